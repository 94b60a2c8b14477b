// The monitor's trace events on the simulator's timeline: each event becomes a timeline
// line with its reason, polling threads are named by their port ("poll USB001"), and
// repeated identical idle polls can be folded into one line with a count.
#ifndef KVMON_TOOLS_TRACE_TIMELINE_H
#define KVMON_TOOLS_TRACE_TIMELINE_H

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "timeline.h"

namespace kvtools {

// Registers the monitor's trace sink (every query level) that adds each event to timeline;
// DetachTrace unregisters it. One timeline at a time.
void AttachTrace(Timeline& timeline);
void DetachTrace();

// The timeline event for one trace event (kind "why"); empty kind for events the timeline
// already shows otherwise (the device query, which it prints with the reply).
Event TraceEventLine(const std::string& port, const std::string& event, const std::string& reason);

// Folds a polling thread's idle poll cycles that repeat the one before exactly. A cycle is
// every line of one thread up to and including its idle wake-up ("cycleEnd"); it folds when
// each of its lines is idle and the same text as in the cycle before.
class PollFolder {
public:
    // Takes a polling thread's event. True when it is held back (folded so far); otherwise
    // *due receives what must be printed before it: a line with the count of the cycles
    // folded, and the held lines of the cycle in progress.
    bool Take(const Event& e, std::vector<Event>* due);
    // What is still held at the end: the count lines and held lines of every thread.
    std::vector<Event> Finish();

private:
    struct Thread {
        std::vector<std::string> last;     // texts of the last cycle
        std::vector<std::string> texts;    // texts of the cycle in progress
        std::vector<Event> held;           // lines of the cycle in progress, held back
        bool printing = false;             // the cycle in progress differs: its lines print
        unsigned folded = 0;               // cycles folded since the last printed line
        DWORD firstMs = 0, lastMs = 0;     // platform ms of the first and last folded cycle
    };
    // Moves the count line (at platform ms) and the held lines of t to *due.
    void Release(DWORD thread, DWORD ms, Thread& t, std::vector<Event>* due);
    std::map<DWORD, Thread> threads_;
};

}  // namespace kvtools

#endif  // KVMON_TOOLS_TRACE_TIMELINE_H
