// Running the tools as a user runs them: a program with arguments, standard input and
// extra environment, its exit status and both outputs. Header-only, for the test
// programs that start kvmon-sim and kvmon-stat.
#ifndef KVMON_TESTS_PROGRAMS_H
#define KVMON_TESTS_PROGRAMS_H

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace kvtest {

struct Result {
    int status = -1;  // exit status; -1 when ended by a signal
    std::string out;
    std::string err;
};

// A path of its own for every call: programs may run on two threads at once.
inline std::string TempPath(const std::string& name)
{
    static std::atomic<unsigned> serial{0};
    return std::filesystem::temp_directory_path() /
           ("kvmon-tools-" + std::to_string(getpid()) + "-" + std::to_string(++serial) + "-" + name);
}

// Runs a program with arguments (no shell), optional stdin text and extra environment.
inline Result RunProgram(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::vector<std::string>& env = {})
{
    std::string outPath = TempPath("out");
    std::string errPath = TempPath("err");
    std::string inPath = TempPath("in");
    std::ofstream(inPath, std::ios::binary) << input;
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(inPath.c_str(), O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const auto& e : env)
            putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    Result r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFileBytes(outPath);
    r.err = ReadFileBytes(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    std::remove(inPath.c_str());
    return r;
}

inline bool Has(const std::string& text, const std::string& what)
{
    return text.find(what) != std::string::npos;
}

// Validates output against docs/schema/NAME.schema.json with Debian's python3-jsonschema
// (tests/schema/validate.py); "" when valid, else the validator's report. lines: one
// document per line.
inline std::string ValidateJson(const std::string& sourceDir, const std::string& schema, const std::string& output,
                                bool lines = false)
{
    std::string path = TempPath("doc.json");
    std::ofstream(path, std::ios::binary) << output;
    std::vector<std::string> argv = {"/usr/bin/python3", sourceDir + "/tests/schema/validate.py",
                                     sourceDir + "/docs/schema/" + schema + ".schema.json", path};
    if (lines)
        argv.push_back("--lines");
    Result r = RunProgram(argv);
    std::remove(path.c_str());
    return r.status == 0 ? "" : "status " + std::to_string(r.status) + ": " + r.out + r.err;
}

}  // namespace kvtest

#endif  // KVMON_TESTS_PROGRAMS_H
