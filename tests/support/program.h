// Runs one of the built programs (no shell) and gathers its exit status and output.
#ifndef KVMON_TESTS_PROGRAM_H
#define KVMON_TESTS_PROGRAM_H

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"

namespace kvtest {

struct ProgramResult {
    int status = -1;  // exit status, -1 when killed by a signal
    std::string out;
    std::string err;
};

inline ProgramResult RunProgramOutput(const std::vector<std::string>& argv)
{
    char outPath[] = "/tmp/kvmon-test-out-XXXXXX";
    char errPath[] = "/tmp/kvmon-test-err-XXXXXX";
    int out = mkstemp(outPath);
    int err = mkstemp(errPath);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out);
    close(err);
    ProgramResult r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFileBytes(outPath);
    r.err = ReadFileBytes(errPath);
    std::remove(outPath);
    std::remove(errPath);
    return r;
}

}  // namespace kvtest

#endif  // KVMON_TESTS_PROGRAM_H
