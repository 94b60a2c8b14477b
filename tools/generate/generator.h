// The generator's model of a scenario as the lines so far have left it, and the generator
// itself: generate.cpp sets the scene and plays the spooler's protocol, changes.cpp draws the
// changes around it (devices, the port monitor's faults, printers changing).
#ifndef KVMON_TOOLS_GENERATE_GENERATOR_H
#define KVMON_TOOLS_GENERATE_GENERATOR_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "generate.h"

namespace kvtools {

namespace gen {

// The kinds a seed may enable; the plain protocol (open, start-doc, write, end-doc, close,
// wait) is always on.
enum Kind {
    kRename,         // rename NEWNAME
    kDelete,         // delete-printer, add-printer
    kShared,         // several printers on one port, select
    kStartFails,     // start-fails, answer retry|cancel
    kWriteFails,     // write-fails [zero]
    kWritePartial,   // write-partial
    kWriteMiscount,  // write-miscount
    kStatusRequest,  // status-request
    kCloseMidJob,    // close while a document is open (marked misuse, on purpose)
    kCodes,          // device answers with changing recognised codes
    kUnrecognised,   // device answers of another maker or model, or without status field
    kNoAnswer,       // no-answer, empty
    kSlow,           // device PORT slow MS
    kQueryError,     // query-error ERROR
    kCompanion,      // companion ok|missing|read-only, statovue on|off
    kReadCycle,      // read-cycle MS
    kQueue,          // queue-job, clear-jobs
    kEcp,            // LPT ports described as ECP
    kMisuse,         // a write or end-doc after a start the port monitor refused
    kRaw,            // raw status records
    kDeletedHandles, // deleted-handles fail|pending|answer
    kKinds
};

// The kinds by name, in the order above: the comment that opens a generated scenario.
extern const char* const kKindNames[kKinds];

// splitmix64: the generator's own numbers, independent of the schedule's.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed ^ 0x6b76676e2d67656eull) {}
    uint64_t Next()
    {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    unsigned Below(unsigned n) { return n == 0 ? 0 : static_cast<unsigned>(Next() % n); }
    bool OneIn(unsigned n) { return Below(n) == 0; }
    template <class T, size_t N>
    T Pick(const T (&items)[N])
    {
        return items[Below(N)];
    }

private:
    uint64_t state_;  // advances by the golden ratio each draw
};

// A port as the lines so far have left it.
struct GenPort {
    std::string name;                // USB001, LPT1, ...
    bool ecp = false;                // described as ECP
    bool open = false;               // an open line without close since
    bool doc = false;                // a document is open at the port monitor, as the spooler sees it
    bool refused = false;            // the last start-doc was refused (no document)
    unsigned failsAhead = 0;         // starts the port monitor still refuses
    std::vector<size_t> printers;    // the printers declared on it
    unsigned long long woken = 0;    // when the spooler last woke its polling thread (generator's clock)
    size_t follows = 0;              // the printer its polling thread follows: of the last open or start
};

// A printer as the lines so far have left it.
struct GenPrinter {
    std::string name;      // as declared or renamed
    size_t port = 0;       // index of its port
    bool deleted = false;  // delete-printer without add-printer since
};


// Draws one seed's scenario: Text() once.
class Generator {
public:
    Generator(uint64_t seed, const GenerateOptions& options) : rng_(seed), options_(options)
    {
        for (unsigned k = 0; k < kKinds; k++)
            enabled_[k] = rng_.OneIn(2);
    }

    std::string Text()
    {
        Scene();
        for (unsigned i = 0; i < options_.length; i++)
            Operation();
        Finish();
        std::string text = "# kinds:";
        for (unsigned k = 0; k < kKinds; k++)
            text += enabled_[k] ? std::string(" ") + kKindNames[k] : std::string();
        text += "\n";
        for (const std::string& line : lines_)
            text += line + "\n";
        return text;
    }

private:
    Random rng_;                       // every draw of this seed's scenario
    GenerateOptions options_;          // ports and length asked for
    bool enabled_[kKinds];             // the seed's swarm
    std::vector<std::string> lines_;   // the scenario so far
    std::vector<GenPort> ports_;       // in the order declared
    std::vector<GenPrinter> printers_; // in the order declared
    size_t current_ = 0;               // the current printer
    std::deque<bool> answers_;         // prompt answers waiting: true for Retry
    unsigned names_ = 0;               // printer names handed out
    unsigned cycle_ = 2000;            // the polling interval
    unsigned long long now_ = 0;       // platform ms the waits so far add up to

    void Pass(unsigned ms);

    // A printer added to the spooler on a port that has one already; it becomes current.
    bool AddToPort();

    // The wait after which a polling thread, idle since it was last woken, comes back from
    // the pause that follows a printer it found deleted now: its next poll, plus one cycle.
    // When the deletion falls on a poll, the thread may look just before it or just after.
    unsigned ConfirmWait(const GenPort& port);

    bool On(Kind k) const { return enabled_[k]; }
    void Line(const std::string& s) { lines_.push_back(s); }
    static std::string Q(const std::string& s) { return "\"" + s + "\""; }

    std::string NewName() { return "Kestravon " + std::to_string(++names_); }

    void Scene();

    // Whether this build's scenario language has the deleted-handles line (how a deleted
    // printer's open handles answer the monitor), and where it may stand.
    enum class Where { Unknown, AfterPrinters, First };
    static Where HandlesLine();
    // deleted-handles answer: a deleted printer's handles still answer with its old record.
    // A printer of the same name added again while a port is open would then be the same
    // printer to the monitor, by every answer it can get (see the README's limits), so in
    // that mode a deleted printer comes back only while every port is closed.
    bool answering_ = false;
    bool MayComeBack() const;

    bool Raw() { return On(kRaw) && rng_.OneIn(2); }

    void Declare(size_t port);

    // Makes printer i the current one.
    void Select(size_t i);

    // A printer of this port, made current (the one current already when it is on it).
    void OnPort(size_t port);

    size_t AnyPort() { return rng_.Below(static_cast<unsigned>(ports_.size())); }

    void Operation();

    unsigned Wait();

    // One operation of the given draw; false when its preconditions do not hold. The plain
    // protocol takes most draws, writes the most of them.
    bool Try(unsigned draw);

    void StartDoc(GenPort& port);

    bool StartFails(size_t p);

    bool Device(GenPort& port);

    bool PortMonitorFault(size_t p);

    bool PrinterChange(unsigned draw);

    // A printer deleted on an open port and, about when its polling thread looks again,
    // back (add-printer), or asked for, or sent a new document.
    bool GoneAndBack(size_t i);

    // The spooler ends what it printed and closes its ports (a port closed under its job
    // only where the swarm enabled that).
    void Finish();
};

}  // namespace gen

}  // namespace kvtools

#endif  // KVMON_TOOLS_GENERATE_GENERATOR_H
