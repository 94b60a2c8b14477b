#include "gencli.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "cli.h"
#include "shrink.h"
#include "simcli.h"

namespace kvtools {

namespace {

const char kGenerateHelp[] =
    "usage: kvmon-sim generate --seed N [--ports N] [--length L]\n"
    "Prints the scenario that explore --generate plays for seed N (the same options draw the\n"
    "same scenario); kvmon-sim run FILE --seed N plays it under that seed's schedule.\n"
    "  --seed N       the seed (0 to 2^64-1)\n"
    "  --ports N      ports of the scenario (1 to 4; default: drawn from the seed)\n"
    "  --length L     operations after the set-up lines (1 to 10000, default 40)\n"
    "Exit status: 0 printed, 2 bad arguments.\n"
    "Numbers are decimal digits, or 0x and hexadecimal digits. --NAME=VALUE is --NAME VALUE;\n"
    "-- ends the options.\n";

// The lowest violating seed's scenario, shrunk and saved; one report line or two.
void ShrinkFirst(const FoundViolation& first, const GenerateOptions& generate, bool stalls, const std::string& save,
                 std::ostream& out)
{
    const Violation& v = first.violation;
    if (v.invariant == "generator failure" || v.invariant == "not reproduced alone")
        return;
    auto start = std::chrono::steady_clock::now();
    ShrinkOptions options;
    options.stalls = stalls;
    std::optional<Shrunk> s = Shrink(GenerateScenarioText(first.seed, generate), first.seed, v.invariant, options);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!s) {
        out << "\nshrinking: seed " << first.seed << " does not break \"" << v.invariant
            << "\" again when played alone\n";
        return;
    }
    std::string file = save + "/shrunk-" + std::to_string(first.seed) + ".scn";
    std::ofstream f(file);
    f << ShrunkFile(*s, "the generated scenario of seed " + std::to_string(first.seed) + " (" + GenerateArgs(generate) +
                            ")",
                    file);
    char took[64];
    std::snprintf(took, sizeof took, "%.1f s", seconds);
    out << "\nshrunk: " << s->originalLines << " commands to " << s->lines << " (" << s->plays << " tries, " << took
        << "), seed " << s->seed << ": " << s->invariant << ": " << s->detail << '\n'
        << (f ? "saved: " + file : "cannot write " + file) << "\nreplay: kvmon-sim run " << file << " "
        << ReplayOptions(*s) << "\n\n"
        << s->text;
}

}  // namespace

std::string GenerateArgs(const GenerateOptions& options)
{
    std::string args = "--length " + std::to_string(options.length);
    if (options.ports != 0)
        args += " --ports " + std::to_string(options.ports);
    return args;
}

int GenerateCommand(const std::vector<std::string>& args)
{
    GenerateOptions options;
    bool seeded = false;
    uint64_t seed = 0;
    int status = 0;
    ArgReader line{args};
    std::string a;
    while (NextArg(&line, &a)) {
        unsigned long long n = 0;
        if (a == "--help" || a == "-h") {
            std::cout << kGenerateHelp;
            return kExitOk;
        }
        if (!line.option || (a != "--seed" && a != "--ports" && a != "--length")) {
            std::cerr << "kvmon-sim: " << (line.option ? "unknown option " : "unexpected operand ") << a
                      << " (kvmon-sim generate --help)\n";
            return kExitUsage;
        }
        unsigned long long max = a == "--seed" ? UINT64_MAX : a == "--ports" ? 4 : 10000;
        if (!OptionNumber(&line, "generate", a, a == "--seed" ? 0 : 1, max, &n, &status))
            return status;
        if (a == "--seed") {
            seed = n;
            seeded = true;
        } else if (a == "--ports") {
            options.ports = static_cast<unsigned>(n);
        } else {
            options.length = static_cast<unsigned>(n);
        }
    }
    if (!line.error.empty() || !seeded) {
        std::cerr << "kvmon-sim: " << (line.error.empty() ? "--seed N is needed" : line.error)
                  << " (kvmon-sim generate --help)\n";
        return kExitUsage;
    }
    std::cout << "# generated scenario of seed " << seed << " (" << GenerateArgs(options) << ")\n"
              << GenerateScenarioText(seed, options);
    return kExitOk;
}

int ReportExplore(const ExploreResult& result, const ExploreOptions& options, const GenerateOptions& generate,
                  const std::string& save, std::ostream& out)
{
    int status = PrintExploreReport(result, options, out);
    std::map<std::string, size_t> byInvariant;
    for (const FoundViolation& v : result.violations)
        byInvariant[v.violation.invariant]++;
    if (byInvariant.size() > 1 || (!byInvariant.empty() && result.violations.size() > 21)) {
        out << "\nby invariant:";
        for (const auto& entry : byInvariant)
            out << (entry.first == byInvariant.begin()->first ? " " : ", ") << entry.first << " " << entry.second;
        out << '\n';
    }
    // The lowest seed of each invariant broken.
    std::set<std::string> shrunk;
    for (const FoundViolation& v : result.violations) {
        if (options.generate && !save.empty() && shrunk.insert(v.violation.invariant).second)
            ShrinkFirst(v, generate, options.stalls, save, out);
    }
    if (options.reach) {
        out << '\n';
        PrintReach(result.reach, result.played, out);
    }
    return status;
}

}  // namespace kvtools
