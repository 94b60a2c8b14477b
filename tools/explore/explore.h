// kvmon-sim explore: plays one scenario under many schedules, each seed in a process of
// its own forked from a parent that never starts a thread, and gathers the violations.
#ifndef KVMON_TOOLS_EXPLORE_H
#define KVMON_TOOLS_EXPLORE_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "scenario.h"
#include "simrun.h"

namespace kvtools {

struct ExploreOptions {
    uint64_t from = 1;         // first seed
    uint64_t seeds = 1000;     // schedules to play
    unsigned jobs = 0;         // schedules played at once (0: one per processor)
    bool progress = false;     // a progress line on err, rewritten in place
    std::string replayName;    // the scenario file as given ("" for the built-in one)
};

struct FoundViolation {
    uint64_t seed;
    Violation violation;
};

struct ExploreResult {
    uint64_t played = 0;
    double seconds = 0;                      // wall time
    std::vector<FoundViolation> violations;  // in seed order
};

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
