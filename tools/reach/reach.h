// Reach: this room counts which of the monitor's decisions a run of seeds reached. Every
// trace event the monitor reports is reduced to its kind (the event's name and its reason
// with the numbers and quoted texts taken out, so "doc-end: document N ended by ClosePort"
// and "doc-end: document N ended by EndDocPort" stay apart) and counted once per seed. The
// list of every kind the monitor can report tells which were never reached.
#ifndef KVMON_TOOLS_REACH_REACH_H
#define KVMON_TOOLS_REACH_REACH_H

#include <cstdint>
#include <map>
#include <ostream>
#include <string>

namespace kvtools {

// Every kind of trace event the monitor reports, "event: reason" with numbers as N, quoted
// texts as "...".
extern const char* const kReachKinds[];
extern const size_t kReachKindCount;

// Kinds the simulation cannot cause, with the reason (a fault it does not inject).
struct Unreachable {
    const char* kind;  // one of kReachKinds
    const char* why;   // what the simulation lacks to cause it
};
extern const Unreachable kUnreachable[];
extern const size_t kUnreachableCount;

// The kind of one trace event.
std::string ReachKind(const char* event, const char* reason);

// Seeds that reached each kind, by kind; kinds outside kReachKinds are counted too.
using ReachCounts = std::map<std::string, uint64_t>;

// What a worker process gathers and hands to the parent through shared memory: the counts
// of its seeds, kinds of the list by index, others by name.
struct ReachTally {
    static const size_t kMaxKinds = 96;   // room for kReachKinds
    static const size_t kMaxOthers = 16;  // kinds not in the list, kept by name
    static const size_t kNameSize = 160;
    uint64_t counts[kMaxKinds];              // seeds per kind of the list
    uint64_t otherCounts[kMaxOthers];        // seeds per kind outside it
    char otherNames[kMaxOthers][kNameSize];  // those kinds, NUL-terminated
};

// In a worker: the trace sink that notes the kinds of the seed being played (registered by
// the player for a run without a timeline), and, after each seed, adds them to the tally.
void ReachSink(const char* port, const char* event, const char* reason);
void ReachSeedDone(ReachTally* tally);

// In the parent: adds a worker's tally to the counts and clears it.
void CollectReach(ReachTally* tally, ReachCounts* counts);

// The report: how many kinds were reached, each one never reached (those the simulation
// cannot cause apart, with why), and kinds reached that the list does not know.
void PrintReach(const ReachCounts& counts, uint64_t seeds, std::ostream& out);

}  // namespace kvtools

#endif  // KVMON_TOOLS_REACH_REACH_H
