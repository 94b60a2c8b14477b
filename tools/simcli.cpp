#include "simcli.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "explore.h"
#include "scenario.h"
#include "simrun.h"

namespace kvtools {

const char* const kRunUsage =
    "usage: kvmon-sim run [SCENARIO] [--seed N | --real-time | --speed N] [--json] [--verbose] [--hold MS]\n"
    "       kvmon-sim explore [SCENARIO] [--seeds N] [--from S] [--jobs N]\n";

namespace {

int Usage(const std::string& message)
{
    std::cerr << "kvmon-sim: " << message << '\n' << kRunUsage;
    return 2;
}

bool ParseCount(const std::string& text, unsigned long long max, unsigned long long* value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19)
        return false;
    *value = std::stoull(text);
    return *value <= max;
}

// The option's number, or a one-line error (then false).
bool OptionNumber(const std::vector<std::string>& args, size_t* i, unsigned long long min, unsigned long long max,
                  unsigned long long* value, int* status)
{
    const std::string& name = args[*i];
    if (*i + 1 >= args.size()) {
        *status = Usage(name + " needs a number");
        return false;
    }
    const std::string& text = args[++*i];
    if (!ParseCount(text, max, value) || *value < min) {
        std::cerr << "kvmon-sim: " << name << ": \"" << text << "\" is not a number from " << min << " to " << max
                  << '\n';
        *status = 2;
        return false;
    }
    return true;
}

// Reads and parses the scenario (the built-in one when file is empty); 0 or exit status 2.
int LoadScenario(const std::string& file, Scenario* scenario)
{
    std::string text = kDefaultScenario;
    std::string name = "default";
    if (!file.empty()) {
        if (!ReadFile(file, &text)) {
            std::cerr << "kvmon-sim: cannot read scenario " << file << ": " << std::strerror(errno) << '\n';
            return 2;
        }
        name = file;
    }
    std::string error;
    if (!ParseScenario(text, name, scenario, &error)) {
        std::cerr << "kvmon-sim: " << name << ":" << error << '\n';
        return 2;
    }
    return 0;
}

}  // namespace

bool ReadAll(std::istream& in, std::string* out)
{
    std::ostringstream s;
    s << in.rdbuf();
    *out = s.str();
    return !in.bad();
}

bool ReadFile(const std::string& path, std::string* out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    return ReadAll(in, out);
}

int RunCommand(const std::vector<std::string>& args)
{
    RunOptions options;
    std::string file;
    bool seeded = false;
    int status = 0;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& a = args[i];
        unsigned long long n = 0;
        if (a == "--real-time") {
            options.deterministic = false;
            options.speed = 1;
        } else if (a == "--json") {
            options.json = true;
        } else if (a == "--verbose") {
            options.verbose = true;
        } else if (a == "--seed") {
            if (!OptionNumber(args, &i, 0, UINT64_MAX, &n, &status))
                return status;
            options.seed = n;
            seeded = true;
        } else if (a == "--speed") {
            if (!OptionNumber(args, &i, 1, 100000, &n, &status))
                return status;
            options.deterministic = false;
            options.speed = static_cast<unsigned>(n);
        } else if (a == "--hold") {
            if (!OptionNumber(args, &i, 0, 86400000, &n, &status))
                return status;
            options.holdMs = static_cast<unsigned>(n);
        } else if (!a.empty() && a[0] == '-') {
            return Usage("run: unknown option " + a);
        } else if (!file.empty()) {
            return Usage("run: one scenario at a time (\"" + file + "\" and \"" + a + "\")");
        } else {
            file = a;
        }
    }
    if (seeded && !options.deterministic)
        return Usage("run: --seed chooses a schedule of the virtual clock; it does not go with --real-time or --speed");

    Scenario scenario;
    if (int bad = LoadScenario(file, &scenario))
        return bad;
    RunResult r = RunScenario(scenario, options, std::cout, std::cerr);
    std::cout.flush();
    if (r.violated) {
        std::cerr << "kvmon-sim: violation";
        if (options.deterministic)
            std::cerr << " (seed " << options.seed << ")";
        std::cerr << ": " << r.violation.invariant << ": " << r.violation.detail << '\n';
        return 1;
    }
    return r.exitCode;
}

int ExploreCommand(const std::vector<std::string>& args)
{
    ExploreOptions options;
    std::string file;
    int status = 0;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& a = args[i];
        unsigned long long n = 0;
        if (a == "--seeds" || a == "--from" || a == "--jobs") {
            unsigned long long max = a == "--jobs" ? 64 : a == "--seeds" ? 100000000ull : UINT64_MAX / 2;
            if (!OptionNumber(args, &i, a == "--from" ? 0 : 1, max, &n, &status))
                return status;
            if (a == "--seeds")
                options.seeds = n;
            else if (a == "--from")
                options.from = n;
            else
                options.jobs = static_cast<unsigned>(n);
        } else if (!a.empty() && a[0] == '-') {
            return Usage("explore: unknown option " + a);
        } else if (!file.empty()) {
            return Usage("explore: one scenario at a time (\"" + file + "\" and \"" + a + "\")");
        } else {
            file = a;
        }
    }
    Scenario scenario;
    if (int bad = LoadScenario(file, &scenario))
        return bad;
    options.replayName = file;
    options.progress = isatty(STDERR_FILENO) != 0;
    ExploreResult result = Explore(scenario, options, std::cerr);
    if (result.seconds < 0)
        return 1;
    return PrintExploreReport(result, options, std::cout);
}

}  // namespace kvtools
