// Plays a scenario: loads the monitor as the spooler does, with the simulated spooler,
// port monitor and printers, and prints what happens as a timeline.
#ifndef KVMON_TOOLS_SIMRUN_H
#define KVMON_TOOLS_SIMRUN_H

#include <ostream>

#include "scenario.h"

namespace kvtools {

struct RunOptions {
    unsigned speed = 20;     // platform ms per real ms (1 = real time)
    bool json = false;       // JSON lines instead of text
    bool verbose = false;    // also every other spooler and port monitor call
    unsigned holdMs = 0;     // real ms to stay alive, blocks open, after the last command
    bool quietPolls = true;  // fold repeated identical idle polls into one line
};

// The registry root handed to InitializeMonitorEx.
extern const char* const kMonitorRegistryRoot;

// Returns the process exit code: 0 when the scenario played, 1 on a failure of the
// simulator itself (message on err).
int RunScenario(const Scenario& scenario, const RunOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kvtools

#endif  // KVMON_TOOLS_SIMRUN_H
