// kvmon-sim explore: plays one scenario under many schedules, each seed in a process of
// its own forked from a parent that never starts a thread, and gathers the violations.
#ifndef KVMON_TOOLS_EXPLORE_H
#define KVMON_TOOLS_EXPLORE_H

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "reach.h"
#include "scenario.h"
#include "simrun.h"

namespace kvtools {

struct ExploreOptions {
    uint64_t from = 1;         // first seed
    uint64_t seeds = 1000;     // schedules to play
    unsigned jobs = 0;         // schedules played at once (0: one per processor)
    bool progress = false;     // a progress line on err, rewritten in place
    bool stalls = true;        // seeds may hold runnable threads (run --stalls on)
    std::string replayName;    // the scenario file as given ("" for the built-in one)
    // Set: each seed plays the scenario this draws for it instead (false with a message when
    // it cannot), and replayName describes the generator's options.
    std::function<bool(uint64_t seed, Scenario* out, std::string* error)> generate;
    std::string generateArgs;  // generate: the options that draw the same scenarios
    bool reach = false;        // count the kinds of the monitor's decisions each seed reached
    std::string os = "nt";     // the platform's personality, for the replay command
};

struct FoundViolation {
    uint64_t seed;
    Violation violation;
};

struct ExploreResult {
    uint64_t played = 0;
    double seconds = 0;                      // wall time
    std::vector<FoundViolation> violations;  // in seed order
    ReachCounts reach;                       // seeds per kind of decision, when counted
};

// In a process forked to play schedules: it dies with its parent, keeps one heap arena and
// publishes in a namespace of its own; the options of a run without a timeline (excerpt:
// the lines are kept for a violation's excerpt).
RunOptions WorkerRunOptions(bool excerpt);

// Writes all of bytes to fd (a worker's report pipe).
void WriteAll(int fd, const std::string& bytes);

ExploreResult Explore(const Scenario& scenario, const ExploreOptions& options, std::ostream& err);

// The time and rate of `played` schedules in `seconds`: "per second" while at least one a
// second, else the seconds each took.
std::string RateText(uint64_t played, double seconds);

// The word as a POSIX shell reads it back: as it is when it holds only plain characters,
// else in single quotes; a name that begins with '-' gets "./" so that it is no option.
std::string ShellWord(const std::string& word);

// The report: a summary line, then the first violation in full (seed, invariant, the
// timeline up to it, the command that replays it) and one line for each further one.
// Returns the exit status: 0 without violations, 1 with.
int PrintExploreReport(const ExploreResult& result, const ExploreOptions& options, std::ostream& out);

}  // namespace kvtools

#endif  // KVMON_TOOLS_EXPLORE_H
