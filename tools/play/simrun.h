// Plays a scenario: loads the monitor as the spooler does, with the simulated spooler,
// port monitor and printers, prints what happens as a timeline and checks what the
// monitor did against the invariants of a print path.
#ifndef KVMON_TOOLS_SIMRUN_H
#define KVMON_TOOLS_SIMRUN_H

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "scenario.h"

namespace kvtools {

// A broken invariant or a failed expect.
struct Violation {
    std::string invariant;  // "job lost", "expect", "deadlock", ...
    std::string detail;     // what was seen, with expected and actual values
    std::string excerpt;    // the timeline lines up to it
};

struct RunOptions {
    bool deterministic = true;  // one thread at a time, virtual time, choices from seed
    uint64_t seed = 1;          // deterministic mode: the schedule
    bool stalls = false;        // deterministic mode: seeds may hold runnable threads
    unsigned speed = 20;        // otherwise: platform ms per real ms (1 = real time)
    bool json = false;          // JSON lines instead of text
    bool verbose = false;       // also every other spooler and port monitor call
    bool foldPolls = false;     // identical idle poll cycles as one line with their count
    unsigned holdMs = 0;        // real ms to stay alive, blocks open, after the last command
    bool timeline = true;       // false: print nothing (explore), keep lines for an excerpt
    bool excerpt = true;        // timeline false: keep the lines for a violation's excerpt
    bool diskFiles = true;      // false: INI files stay in memory (nobody outside reads them)
    // Without a timeline: a trace sink that takes every event (reach counting), or none.
    void (*traceSink)(const char* port, const char* event, const char* reason) = nullptr;
    // Deterministic mode, on a deadlock: receives the violation before the process ends.
    std::function<void(const Violation&)> onStuck;
};

struct RunResult {
    int exitCode = 0;  // 0 played and held; 1 violation or simulator failure
    bool violated = false;
    Violation violation;
    unsigned misuses = 0;  // calls the spooler would not make, played as marked misuse
};

// The registry root handed to InitializeMonitorEx.
extern const char* const kMonitorRegistryRoot;

// Deterministic mode can be entered once per process: play each schedule in a process
// of its own. A deadlock ends the process (exit status 3) after writing the violation
// to err. Messages of the simulator's own failures go to err.
RunResult RunScenario(const Scenario& scenario, const RunOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kvtools

#endif  // KVMON_TOOLS_SIMRUN_H
