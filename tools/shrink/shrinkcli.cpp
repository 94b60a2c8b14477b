#include "shrinkcli.h"

#include <fstream>
#include <iostream>

#include "cli.h"
#include "runguard.h"
#include "scenfile.h"
#include "shrink.h"
#include "simcli.h"

namespace kvtools {

namespace {

const char kShrinkHelp[] =
    "usage: kvmon-sim shrink SCENARIO --seed N [--stalls on|off] [--search K] [--out FILE]\n"
    "Plays the scenario under seed N and, when it breaks an invariant, removes lines and\n"
    "simplifies arguments while the same invariant still breaks for one of the seeds N to\n"
    "N+K-1, then writes the result with the command that replays it.\n"
    "  --seed N       the seed that breaks it (0 to 2^64-1)\n"
    "  --stalls on|off  the seeds play with their stalls, as run --stalls (default off)\n"
    "  --search K     seeds tried for each smaller scenario (1 to 1000, default 51; with\n"
    "                 stalls a second round tries 1000)\n"
    "  --out FILE     where the shrunk scenario goes (default: SCENARIO with .shrunk.scn)\n"
    "Exit status: 0 shrunk and written, 1 the scenario breaks nothing under seed N, 2 bad arguments.\n"
    "Numbers are decimal digits, or 0x and hexadecimal digits. --NAME=VALUE is --NAME VALUE;\n"
    "-- ends the options.\n";

}  // namespace

int ShrinkCommand(const std::vector<std::string>& args)
{
    std::string file;
    std::string outFile;
    uint64_t seed = 0;
    bool seeded = false;
    ShrinkOptions options;
    int status = 0;
    ArgReader line{args};
    std::string a;
    while (NextArg(&line, &a)) {
        unsigned long long n = 0;
        if (a == "--help" || a == "-h") {
            std::cout << kShrinkHelp;
            return kExitOk;
        } else if (line.option && (a == "--seed" || a == "--search")) {
            if (!OptionNumber(&line, "shrink", a, a == "--seed" ? 0 : 1, a == "--seed" ? UINT64_MAX : 1000, &n,
                              &status))
                return status;
            if (a == "--seed") {
                seed = n;
                seeded = true;
            } else {
                options.search = static_cast<unsigned>(n);
            }
        } else if (line.option && a == "--stalls") {
            if (!OptionStalls(&line, "shrink", &options.stalls, &status))
                return status;
        } else if (line.option && a == "--out") {
            if (!OptionValue(&line, &outFile) || outFile.empty()) {
                std::cerr << "kvmon-sim: --out needs a file name (kvmon-sim shrink --help)\n";
                return kExitUsage;
            }
        } else if (line.option || !file.empty()) {
            std::cerr << "kvmon-sim: unexpected argument " << a << " (kvmon-sim shrink --help)\n";
            return kExitUsage;
        } else {
            file = a;
        }
    }
    if (!line.error.empty()) {
        std::cerr << "kvmon-sim: " << line.error << " (kvmon-sim shrink --help)\n";
        return kExitUsage;
    }
    if (file.empty() || !seeded) {
        std::cerr << "kvmon-sim: shrink: a scenario and --seed N are needed (kvmon-sim shrink --help)\n";
        return kExitUsage;
    }
    std::string text;
    std::string error;
    if (!ReadScenarioFile(file, std::cin, &text, &error)) {
        std::cerr << "kvmon-sim: " << error << '\n';
        return kExitUsage;
    }
    if (outFile.empty())
        outFile = (file.size() > 4 && file.compare(file.size() - 4, 4, ".scn") == 0 ? file.substr(0, file.size() - 4)
                                                                                     : file) +
                  ".shrunk.scn";
    GuardExplore();
    RemoveLeftovers();
    std::optional<Reproduced> found = Reproduce(text, "", seed, 1, options.stalls);
    if (!found) {
        std::cout << "seed " << seed << " of " << ScenarioName(file) << " breaks no invariant: nothing to shrink\n";
        return 1;
    }
    std::optional<Shrunk> s = Shrink(text, seed, found->invariant, options);
    if (!s) {
        std::cout << "seed " << seed << " of " << ScenarioName(file) << " does not break \"" << found->invariant
                  << "\" again\n";
        return 1;
    }
    std::ofstream out(outFile);
    out << ShrunkFile(*s, ScenarioName(file), outFile);
    if (!out) {
        std::cerr << "kvmon-sim: shrink: cannot write " << outFile << '\n';
        return 1;
    }
    std::cout << "shrunk " << ScenarioName(file) << ": " << s->originalLines << " commands to " << s->lines << " ("
              << s->plays << " tries), seed " << s->seed << ": " << s->invariant << ": " << s->detail << '\n'
              << "replay: kvmon-sim run " << outFile << " " << ReplayOptions(*s) << '\n';
    return 0;
}

}  // namespace kvtools
