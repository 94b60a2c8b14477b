#include "simcli.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "args.h"
#include "cli.h"
#include "explore.h"
#include "gencli.h"
#include "generate.h"
#include "kvplatform.h"
#include "numbers.h"
#include "runguard.h"
#include "scenario.h"
#include "scenfile.h"
#include "simrun.h"

namespace kvtools {

const char* const kRunUsage =
    "usage: kvmon-sim run [SCENARIO | -] [--seed N | --real-time | --speed N] [--stalls on|off] [--json]\n"
    "                     [--verbose] [--quiet-polls | --all-polls] [--hold MS] [--namespace NAME] [--os nt|win98]\n"
    "       kvmon-sim explore [SCENARIO | -] [--seeds N] [--from S] [--jobs N] [--stalls on|off] [--reach]\n"
    "                         [--os nt|win98]\n"
    "       kvmon-sim explore --generate [--ports N] [--length L] [--seeds N] [--from S] [--jobs N]\n"
    "                         [--stalls on|off] [--os nt|win98] [--save DIR | --no-shrink]\n"
    "       kvmon-sim generate --seed N [--ports N] [--length L]\n"
    "       kvmon-sim shrink SCENARIO --seed N [--stalls on|off] [--search K] [--out FILE]\n";

namespace {

const char kRunHelp[] =
    "usage: kvmon-sim run [SCENARIO | -] [--seed N | --real-time | --speed N] [--stalls on|off] [--json]\n"
    "                     [--verbose] [--quiet-polls | --all-polls] [--hold MS] [--namespace NAME] [--os nt|win98]\n"
    "Plays a scenario file (- reads it from standard input; none: the built-in one) against the\n"
    "monitor and prints the timeline.\n"
    "  --seed N       the schedule of the deterministic run (0 to 2^64-1, default 1)\n"
    "  --stalls on|off  on: one seed in four holds runnable threads at some scheduling points\n"
    "                 for up to three read cycles, as a preempted thread is held (default off;\n"
    "                 a seed without stalls plays the same either way)\n"
    "  --real-time    real threads on the real clock (not deterministic)\n"
    "  --speed N      real threads on a clock of N platform ms per real ms (1 to 100, default 20)\n"
    "  --json         the timeline as JSON lines\n"
    "  --verbose      also the monitor's other spooler and port monitor calls\n"
    "  --quiet-polls  idle polls of a polling thread that repeat its poll before line for line,\n"
    "                 as one line with their count (\"idle poll as above, \xc3\x97N more\"); the default\n"
    "  --all-polls    every idle poll in full\n"
    "  --hold MS      after the last line, keep the ports and status blocks open for MS real ms\n"
    "  --namespace NAME  publish the status blocks in NAME, where kvmon-stat --namespace NAME\n"
    "                 reads them (default: $KVMON_SHM_NAMESPACE, else a namespace of this run's own)\n"
    "  --os OS        the Windows the platform answers as: nt (default) or win98, whose stub\n"
    "                 functions fail, version calls report 4.10 and mappings take no security\n"
    "Exit status: 0 played and every check held, 1 a check failed, 2 bad arguments or scenario,\n"
    "3 deadlock, livelock or a spooler call that never returns, 130 interrupted (SIGINT),\n"
    "143 terminated (SIGTERM), 141 standard output closed (a reader such as head went away);\n"
    "all four remove the run's status blocks and temporary folder first.\n"
    "Numbers are decimal digits, or 0x and hexadecimal digits. --NAME=VALUE is --NAME VALUE;\n"
    "-- ends the options.\n";

const char kExploreHelp[] =
    "usage: kvmon-sim explore [SCENARIO | -] [--seeds N] [--from S] [--jobs N] [--stalls on|off] [--reach]\n"
    "                         [--os nt|win98]\n"
    "       kvmon-sim explore --generate [--ports N] [--length L] [--seeds N] [--from S] [--jobs N]\n"
    "                         [--stalls on|off] [--os nt|win98] [--save DIR | --no-shrink]\n"
    "Plays a scenario under many schedules of the deterministic run and reports the seeds that\n"
    "break an invariant or an expect line. With --generate each seed plays a scenario of its own,\n"
    "drawn from the seed (kvmon-sim generate prints it), and the first violation is shrunk to a\n"
    "scenario file.\n"
    "  --seeds N      how many schedules (1 to 100000000, default 1000)\n"
    "  --from S       the first seed (0 to 2^64-1, default 1)\n"
    "  --jobs N       worker processes (1 to 64, default one per processor)\n"
    "  --stalls on|off  seeds that hold runnable threads, as run --stalls (default on)\n"
    "  --reach        count the kinds of the monitor's decisions the seeds reached, list those\n"
    "                 never reached (always with --generate)\n"
    "  --ports N      --generate: ports of each scenario (1 to 4; default drawn per seed)\n"
    "  --length L     --generate: operations of each scenario (1 to 10000, default 40)\n"
    "  --save DIR     --generate: where the shrunk scenarios are written (default .)\n"
    "  --no-shrink    --generate: report the violations without shrinking them\n"
    "  --os OS        the Windows the platform answers as: nt (default) or win98\n"
    "Exit status: 0 no violation, 1 violations, 2 bad arguments or scenario, 130 interrupted\n"
    "(SIGINT), 143 terminated (SIGTERM); both stop the workers and remove their status blocks\n"
    "and temporary folders first.\n"
    "Numbers are decimal digits, or 0x and hexadecimal digits. --NAME=VALUE is --NAME VALUE;\n"
    "-- ends the options.\n";

bool IsHelp(const std::string& a)
{
    return a == "--help" || a == "-h";
}

// One line on standard error that points to the command's help, exit 2.
int Usage(const std::string& command, const std::string& message)
{
    std::cerr << "kvmon-sim: " << message << " (kvmon-sim " << command << " --help)\n";
    return kExitUsage;
}

// The scenario file operand: one at a time. 0 or exit status 2.
int ScenarioOperand(const std::string& command, const std::string& word, std::string* file, bool* haveFile)
{
    if (*haveFile)
        return Usage(command, "one scenario at a time (\"" + *file + "\" and \"" + word + "\")");
    *file = word;
    *haveFile = true;
    return 0;
}

// After the last word: the reader's error, or a scenario named by an empty word (which
// would otherwise play the built-in one). 0 or exit status 2.
int EndOfArgs(const std::string& command, const ArgReader& line, bool haveFile, const std::string& file)
{
    if (!line.error.empty())
        return Usage(command, line.error);
    if (haveFile && file.empty())
        return Usage(command, "the scenario file name is empty");
    return 0;
}


// --os NAME: the platform's personality (then true), or a one-line error (false, *status 2).
bool OptionOs(ArgReader* r, const std::string& command, kvplat::Personality* os, int* status)
{
    std::string name;
    if (!OptionValue(r, &name)) {
        *status = Usage(command, "--os needs nt or win98");
        return false;
    }
    if (!kvplat::ParsePersonality(name, os)) {
        *status = Usage(command, "--os: \"" + name + "\" is not nt or win98");
        return false;
    }
    return true;
}

// The namespace of a run's status blocks when --namespace names none: the one named by
// $KVMON_SHM_NAMESPACE (which kvmon-stat reads as well), else one of this run's own, so
// that runs side by side never read or overwrite each other's blocks.
std::string OwnNamespace()
{
    const char* env = std::getenv("KVMON_SHM_NAMESPACE");
    if (env != nullptr && *env != '\0')
        return env;
    return "kvmon-sim-" + std::to_string(getpid());
}

// Reads, checks and parses the scenario (the built-in one when file is empty, standard
// input for "-"); 0 or exit status 2.
int LoadScenario(const std::string& file, Scenario* scenario)
{
    std::string text = kDefaultScenario;
    std::string name = "default";
    std::string error;
    if (!file.empty()) {
        if (!ReadScenarioFile(file, std::cin, &text, &error)) {
            std::cerr << "kvmon-sim: " << error << '\n';
            return 2;
        }
        name = ScenarioName(file);
    }
    if (!ParseScenario(text, name, scenario, &error)) {
        std::cerr << "kvmon-sim: " << name << ":" << error << '\n';
        return 2;
    }
    return 0;
}

}  // namespace

// The value of option `name` as a number, or a one-line error naming the option, the value
// and the range (then false with *status 2).
bool OptionNumber(ArgReader* r, const std::string& command, const std::string& name, unsigned long long min,
                  unsigned long long max, unsigned long long* value, int* status)
{
    std::string range = std::to_string(min) + ".." + std::to_string(max);
    std::string text;
    if (!OptionValue(r, &text)) {
        *status = Usage(command, name + " needs a number (" + range + ")");
        return false;
    }
    std::string problem;
    std::string why;
    bool tooLarge = false;
    if (!ParseNumberText(text, value, &tooLarge, &why))
        problem = tooLarge ? "is out of range " + range : "is not a number (" + range + "): " + why;
    else if (*value < min || *value > max)
        problem = "is out of range " + range;
    if (!problem.empty()) {
        *status = Usage(command, name + ": \"" + text + "\" " + problem);
        return false;
    }
    return true;
}

// The value of option --stalls: on or off, else a one-line error (then false with *status 2).
bool OptionStalls(ArgReader* r, const std::string& command, bool* on, int* status)
{
    std::string text;
    if (!OptionValue(r, &text) || (text != "on" && text != "off")) {
        *status = Usage(command, "--stalls needs on or off");
        return false;
    }
    *on = text == "on";
    return true;
}

int RunCommand(const std::vector<std::string>& args)
{
    RunOptions options;
    options.foldPolls = true;
    std::string file;
    bool haveFile = false;
    std::string ns;
    bool seeded = false;
    kvplat::Personality os = kvplat::Personality::Nt;
    int status = 0;
    ArgReader line{args};
    std::string a;
    while (NextArg(&line, &a)) {
        unsigned long long n = 0;
        if (!line.option) {
            if (int bad = ScenarioOperand("run", a, &file, &haveFile))
                return bad;
        } else if (a == "--real-time") {
            options.deterministic = false;
            options.speed = 1;
        } else if (a == "--json") {
            options.json = true;
        } else if (a == "--verbose") {
            options.verbose = true;
        } else if (a == "--quiet-polls" || a == "--all-polls") {
            options.foldPolls = a == "--quiet-polls";
        } else if (a == "--seed") {
            if (!OptionNumber(&line, "run", a, 0, UINT64_MAX, &n, &status))
                return status;
            options.seed = n;
            seeded = true;
        } else if (a == "--stalls") {
            if (!OptionStalls(&line, "run", &options.stalls, &status))
                return status;
        } else if (a == "--speed") {
            if (!OptionNumber(&line, "run", a, 1, kMaxSpeed, &n, &status))
                return status;
            options.deterministic = false;
            options.speed = static_cast<unsigned>(n);
        } else if (a == "--namespace") {
            if (!OptionValue(&line, &ns))
                return Usage("run", "--namespace needs a name");
            if (ns.empty() || ns.find('/') != std::string::npos)
                return Usage("run", "--namespace: \"" + ns + "\" is not a name (empty or with '/')");
        } else if (a == "--hold") {
            if (!OptionNumber(&line, "run", a, 0, 86400000, &n, &status))
                return status;
            options.holdMs = static_cast<unsigned>(n);
        } else if (a == "--os") {
            if (!OptionOs(&line, "run", &os, &status))
                return status;
        } else if (IsHelp(a)) {
            std::cout << kRunHelp;
            return kExitOk;
        } else {
            return Usage("run", "unknown option " + a);
        }
    }
    if (int bad = EndOfArgs("run", line, haveFile, file))
        return bad;
    if (seeded && !options.deterministic)
        return Usage("run",
                     "--seed chooses a schedule of the virtual clock; it does not go with --real-time or --speed");

    Scenario scenario;
    if (int bad = LoadScenario(file, &scenario))
        return bad;
    kvplat::SetMappingNamespace(ns.empty() ? OwnNamespace() : ns);
    kvplat::SetPersonality(os);
    RemoveLeftovers();
    GuardRun();
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
    GenerateOptions generate;
    bool generated = false;
    std::string save = ".";
    std::string file;
    bool haveFile = false;
    kvplat::Personality os = kvplat::Personality::Nt;
    int status = 0;
    ArgReader line{args};
    std::string a;
    while (NextArg(&line, &a)) {
        unsigned long long n = 0;
        if (!line.option) {
            if (int bad = ScenarioOperand("explore", a, &file, &haveFile))
                return bad;
        } else if (a == "--seeds" || a == "--from" || a == "--jobs") {
            unsigned long long max = a == "--jobs" ? 64 : a == "--seeds" ? 100000000ull : UINT64_MAX;
            if (!OptionNumber(&line, "explore", a, a == "--from" ? 0 : 1, max, &n, &status))
                return status;
            if (a == "--seeds")
                options.seeds = n;
            else if (a == "--from")
                options.from = n;
            else
                options.jobs = static_cast<unsigned>(n);
        } else if (a == "--stalls") {
            if (!OptionStalls(&line, "explore", &options.stalls, &status))
                return status;
        } else if (a == "--ports" || a == "--length") {
            if (!OptionNumber(&line, "explore", a, 1, a == "--ports" ? 4 : 10000, &n, &status))
                return status;
            (a == "--ports" ? generate.ports : generate.length) = static_cast<unsigned>(n);
        } else if (a == "--generate" || a == "--reach") {
            (a == "--generate" ? generated : options.reach) = true;
        } else if (a == "--no-shrink") {
            save.clear();
        } else if (a == "--save") {
            if (!OptionValue(&line, &save) || save.empty())
                return Usage("explore", "--save needs a folder");
        } else if (a == "--os") {
            if (!OptionOs(&line, "explore", &os, &status))
                return status;
        } else if (IsHelp(a)) {
            std::cout << kExploreHelp;
            return kExitOk;
        } else {
            return Usage("explore", "unknown option " + a);
        }
    }
    if (int bad = EndOfArgs("explore", line, haveFile, file))
        return bad;
    // Seeds from..from+seeds-1, all within 0..2^64-1: none is played twice.
    if (options.seeds - 1 > UINT64_MAX - options.from)
        return Usage("explore", "--from " + std::to_string(options.from) + " with --seeds " +
                                    std::to_string(options.seeds) + " passes the last seed, 18446744073709551615");
    Scenario scenario;
    if (generated) {
        if (!file.empty())
            return Usage("explore", "--generate draws the scenarios; it takes no scenario file (\"" + file + "\")");
        options.generate = [generate](uint64_t seed, Scenario* out, std::string* error) {
            return GenerateScenario(seed, generate, out, error);
        };
        options.generateArgs = GenerateArgs(generate);
        options.reach = true;
    } else if (int bad = LoadScenario(file, &scenario)) {
        return bad;
    } else if (generate.ports != 0 || generate.length != GenerateOptions().length) {
        return Usage("explore", "--ports and --length go with --generate");
    }
    GuardExplore();
    RemoveLeftovers();
    options.replayName = file;
    options.os = kvplat::PersonalityName(os);
    kvplat::SetPersonality(os);
    options.progress = isatty(STDERR_FILENO) != 0;
    ExploreResult result = Explore(scenario, options, std::cerr);
    if (result.seconds < 0)
        return 1;
    return ReportExplore(result, options, generate, save, std::cout);
}

}  // namespace kvtools
