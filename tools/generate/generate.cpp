// The scenario generator. Each seed first picks which kinds of operation it may use (swarm
// testing: a random subset, so that rare combinations get dense runs), then sets the scene
// (ports, printers, devices, the companion) and draws operations one at a time from the
// kinds enabled, keeping a model of what the spooler would allow next: which ports are
// open, whether a document is open on each, which printers exist, which prompt answers
// are waiting. Operations whose preconditions do not hold are not drawn.
#include "generate.h"

#include <algorithm>
#include <deque>
#include <vector>

namespace kvtools {

namespace {

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
        std::string text;
        for (const std::string& line : lines_)
            text += line + "\n";
        return text;
    }

private:
    Random rng_;
    GenerateOptions options_;
    bool enabled_[kKinds];             // the seed's swarm
    std::vector<std::string> lines_;   // the scenario so far
    std::vector<GenPort> ports_;
    std::vector<GenPrinter> printers_;
    size_t current_ = 0;               // the current printer
    std::deque<bool> answers_;         // prompt answers waiting: true for Retry
    unsigned names_ = 0;               // printer names handed out
    unsigned cycle_ = 2000;            // the polling interval
    unsigned long long now_ = 0;       // platform ms the waits so far add up to

    void Pass(unsigned ms)
    {
        Line("wait " + std::to_string(ms));
        now_ += ms;
    }

    // A printer added to the spooler on a port that has one already; it becomes current.
    bool AddToPort()
    {
        if (!On(kShared) || printers_.size() >= 8)
            return false;
        Declare(AnyPort());
        current_ = printers_.size() - 1;
        return true;
    }

    // The wait after which a polling thread, idle since it was last woken, comes back from
    // the pause that follows a printer it found deleted now: its next poll, plus one cycle.
    // When the deletion falls on a poll, the thread may look just before it or just after.
    unsigned ConfirmWait(const GenPort& port)
    {
        unsigned long long since = now_ - port.woken;
        unsigned long long cycles = since == 0 ? 1 : (since + cycle_ - 1) / cycle_;
        if (since % cycle_ == 0 && rng_.OneIn(2))
            cycles = since / cycle_;
        return static_cast<unsigned>(port.woken + (cycles + 1) * cycle_ - now_);
    }

    bool On(Kind k) const { return enabled_[k]; }
    void Line(const std::string& s) { lines_.push_back(s); }
    static std::string Q(const std::string& s) { return "\"" + s + "\""; }

    std::string NewName() { return "Kestravon " + std::to_string(++names_); }

    void Scene()
    {
        if (On(kReadCycle)) {
            unsigned ms = rng_.Pick({2000u, 2000u, 3000u, 1000u, 4500u});
            Line("read-cycle " + std::to_string(ms));
            cycle_ = std::max(ms, 2000u);  // the monitor polls every 2000 ms at least
        }
        if (On(kCompanion) && rng_.OneIn(3))
            Line("statovue off");
        std::string handles = On(kDeletedHandles) && HandlesLine() != Where::Unknown
                                  ? std::string("deleted-handles ") +
                                        rng_.Pick({"fail", "pending", "answer"})
                                  : std::string();
        if (!handles.empty() && HandlesLine() == Where::First)
            Line(handles);
        unsigned count = options_.ports != 0 ? options_.ports : 1 + rng_.Below(4);
        const char* usb[] = {"USB001", "USB002", "USB003", "USB004"};
        const char* lpt[] = {"LPT1", "LPT2", "LPT3", "LPT4"};
        unsigned nUsb = 0;
        unsigned nLpt = 0;
        for (unsigned i = 0; i < count; i++) {
            GenPort p;
            unsigned kind = rng_.Below(10);
            if (kind == 0 && On(kUnrecognised))
                p.name = "COM" + std::to_string(i + 1);  // never polled
            else if (kind < 6)
                p.name = usb[nUsb++];
            else
                p.name = lpt[nLpt++];
            p.ecp = p.name[0] == 'L' && On(kEcp) && !rng_.OneIn(3);
            ports_.push_back(p);
            Declare(ports_.size() - 1);
            if (On(kShared) && rng_.OneIn(2))
                Declare(ports_.size() - 1);
            Line("device " + p.name + " code 63400" + (Raw() ? " raw" : ""));
        }
        current_ = printers_.size() - 1;
        if (!handles.empty() && HandlesLine() == Where::AfterPrinters)
            Line(handles);
    }

    // Whether this build's scenario language has the deleted-handles line (how a deleted
    // printer's open handles answer the monitor), and where it may stand.
    enum class Where { Unknown, AfterPrinters, First };
    static Where HandlesLine()
    {
        static const Where where = [] {
            Scenario s;
            std::string error;
            if (ParseScenario("printer \"P\" port USB001\ndeleted-handles fail\n", "probe", &s, &error))
                return Where::AfterPrinters;
            if (ParseScenario("deleted-handles fail\nprinter \"P\" port USB001\n", "probe", &s, &error))
                return Where::First;
            return Where::Unknown;
        }();
        return where;
    }

    bool Raw() { return On(kRaw) && rng_.OneIn(2); }

    void Declare(size_t port)
    {
        GenPrinter p{NewName(), port, false};
        std::string extra;
        if (rng_.OneIn(12))
            extra = " monitor none";  // a driver that names no language monitor
        Line("printer " + Q(p.name) + " port " + ports_[port].name + extra + (ports_[port].ecp ? " ecp" : ""));
        ports_[port].printers.push_back(printers_.size());
        printers_.push_back(p);
    }

    // Makes printer i the current one.
    void Select(size_t i)
    {
        if (i != current_)
            Line("select " + Q(printers_[i].name));
        current_ = i;
    }

    // A printer of this port, made current (the one current already when it is on it).
    void OnPort(size_t port)
    {
        const std::vector<size_t>& list = ports_[port].printers;
        if (printers_[current_].port == port && !rng_.OneIn(6))
            return;
        Select(list[rng_.Below(static_cast<unsigned>(list.size()))]);
    }

    size_t AnyPort() { return rng_.Below(static_cast<unsigned>(ports_.size())); }

    void Operation()
    {
        for (int tries = 0; tries < 20; tries++) {
            if (Try(rng_.Below(32)))
                return;
        }
        Pass(Wait());
    }

    unsigned Wait()
    {
        return rng_.Pick({0u, 1u, 100u, 500u, 1000u, 1999u, 2000u, 2001u, 2500u, 3000u, 4000u, 5000u, 7000u, 12000u});
    }

    // One operation of the given draw; false when its preconditions do not hold. The plain
    // protocol takes most draws, writes the most of them.
    bool Try(unsigned draw)
    {
        size_t p = AnyPort();
        GenPort& port = ports_[p];
        if (draw <= 2) {
            if (port.open)
                return false;
            OnPort(p);
            Line("open");
            port.open = true;
            port.follows = current_;
            return true;
        }
        if (draw <= 6) {
            if (!port.open || port.doc)
                return false;
            OnPort(p);
            StartDoc(port);
            return true;
        }
        if (draw <= 13) {
            if (!port.open || !(port.doc || (port.refused && On(kMisuse))))
                return false;
            OnPort(p);
            Line(rng_.OneIn(3) ? "write " + Q(rng_.Pick({"%!PS\\n", "page\\n", "x", "\\x1b%-12345X"}))
                               : "write " + std::to_string(rng_.Pick({1u, 9u, 100u, 2048u, 5000u})));
            return true;
        }
        if (draw <= 15) {
            if (!port.open || !(port.doc || (port.refused && On(kMisuse))))
                return false;
            OnPort(p);
            Line("end-doc");
            port.woken = now_;
            port.doc = false;
            port.refused = false;
            return true;
        }
        if (draw == 16) {
            if (!port.open || (port.doc && !On(kCloseMidJob)))
                return false;
            OnPort(p);
            Line("close");
            port.open = false;
            port.doc = false;
            port.refused = false;
            return true;
        }
        if (draw <= 18) {
            Pass(Wait());
            return true;
        }
        if (draw <= 20)
            return Device(port);
        if (draw <= 22)
            return PortMonitorFault(p);
        if (draw == 23) {
            if (!On(kStatusRequest) || !port.open)
                return false;
            OnPort(p);
            Line("status-request");
            port.woken = now_;
            return true;
        }
        if (draw == 24)
            return StartFails(p);
        return PrinterChange(draw);
    }

    void StartDoc(GenPort& port)
    {
        Line("start-doc " + Q(rng_.Pick({"Report", "Labels", "Invoice", "Page"})));
        port.woken = now_;
        port.follows = current_;
        // Each attempt the port monitor refuses shows the prompt; Retry restarts the job
        // when its printer is still in the spooler, at most ten attempts in all.
        bool exists = !printers_[current_].deleted;
        for (unsigned attempt = 0;; attempt++) {
            if (port.failsAhead == 0) {
                port.doc = true;
                port.refused = false;
                return;
            }
            port.failsAhead--;
            bool retry = false;
            if (!answers_.empty()) {
                retry = answers_.front();
                answers_.pop_front();
            }
            if (!retry || !exists || attempt + 1 >= 10) {
                port.doc = false;
                port.refused = true;
                return;
            }
        }
    }

    bool StartFails(size_t p)
    {
        if (!On(kStartFails))
            return false;
        OnPort(p);
        unsigned n = 1 + rng_.Below(3);
        Line("start-fails" + (n == 1 && rng_.OneIn(2) ? std::string() : " " + std::to_string(n)));
        ports_[p].failsAhead = n;
        for (unsigned i = rng_.Below(3); i > 0; i--) {
            bool retry = rng_.OneIn(2);
            Line(retry ? "answer retry" : "answer cancel");
            answers_.push_back(retry);
        }
        return true;
    }

    bool Device(GenPort& port)
    {
        std::vector<std::string> choices;
        const std::string d = "device " + port.name + " ";
        if (On(kCodes)) {
            unsigned code = rng_.Pick({63400u, 42632u, 40401u, 12211u, 63256u, 40251u, 15011u, 12345u, 63400u});
            choices.push_back(d + "code " + std::to_string(code) + (Raw() ? " raw" : ""));
        }
        if (On(kUnrecognised)) {
            choices.push_back(d + "code 42632 maker " + Q("Brother"));
            choices.push_back(d + "code 63400 model " + Q("XQ-100"));
            choices.push_back(d + "answer " + Q("MFG:Kestravon;MDL:ZR-QM4471;CMD:PJL;"));
            choices.push_back(d + "answer " + Q("MFG:Kestravon;MDL:ZR-QM4471;VSTATUS:AB;"));
            choices.push_back(d + "answer " + Q("MFG:Kestravon;CMD:PJL;VSTATUS:AAAAAAAAAAAAAAAAAAAAAAAAAAAA96gA"));
        }
        if (On(kNoAnswer)) {
            choices.push_back(d + "no-answer");
            choices.push_back(d + "empty");
        }
        if (On(kSlow))
            choices.push_back(d + "slow " + std::to_string(rng_.Pick({0u, 100u, 1500u, 2500u, 6000u})));
        if (On(kQueryError))
            choices.push_back(d + "query-error " +
                              rng_.Pick({"ERROR_GEN_FAILURE", "ERROR_DEVICE_NOT_CONNECTED", "ERROR_SEM_TIMEOUT", "31"}));
        if (choices.empty())
            return false;
        Line(choices[rng_.Below(static_cast<unsigned>(choices.size()))]);
        return true;
    }

    bool PortMonitorFault(size_t p)
    {
        std::vector<std::string> choices;
        unsigned n = 1 + rng_.Below(3);
        std::string count = n == 1 ? "" : " " + std::to_string(n);
        if (On(kWriteFails))
            choices.push_back("write-fails" + count + (rng_.OneIn(3) ? " zero" : ""));
        if (On(kWritePartial))
            choices.push_back("write-partial " + std::to_string(rng_.Pick({1u, 4u, 100u})) + count);
        if (On(kWriteMiscount))
            choices.push_back("write-miscount " + std::to_string(rng_.Pick({0u, 2u, 100u})) + count);
        if (choices.empty())
            return false;
        OnPort(p);
        Line(choices[rng_.Below(static_cast<unsigned>(choices.size()))]);
        return true;
    }

    bool PrinterChange(unsigned draw)
    {
        size_t i = rng_.Below(static_cast<unsigned>(printers_.size()));
        GenPrinter& printer = printers_[i];
        if (draw <= 26) {
            if (!On(kRename) || printer.deleted)
                return false;
            Select(i);
            printer.name = NewName();
            Line("rename " + Q(printer.name));
            return true;
        }
        if ((draw == 28 || draw == 25) && On(kDelete)) {
            size_t p = AnyPort();
            if (ports_[p].open && !printers_[ports_[p].follows].deleted)
                return GoneAndBack(ports_[p].follows);
        }
        if (draw <= 28) {
            if (!On(kDelete))
                return false;
            Select(i);
            Line(printer.deleted ? "add-printer" : "delete-printer");
            printer.deleted = !printer.deleted;
            return true;
        }
        if (draw == 29) {
            if (!On(kQueue))
                return false;
            Select(i);
            Line(rng_.OneIn(2) ? "queue-job" : "clear-jobs");
            return true;
        }
        if (draw == 30) {
            if (!On(kCompanion))
                return false;
            Line(rng_.OneIn(4) ? std::string("statovue ") + rng_.Pick({"on", "off"})
                               : std::string("companion ") + rng_.Pick({"ok", "missing", "read-only"}));
            return true;
        }
        if (rng_.OneIn(3) && AddToPort())
            return true;
        Pass(Wait());
        return true;
    }

    // A printer deleted on an open port and, about when its polling thread looks again,
    // back (add-printer), or asked for, or sent a new document.
    bool GoneAndBack(size_t i)
    {
        GenPort& port = ports_[printers_[i].port];
        Select(i);
        bool held = false;
        if (port.doc && rng_.OneIn(2)) {
            // The document ends first: its thread holds it and polls from now on (with no
            // status block, when the device stops answering).
            if ((On(kNoAnswer) || On(kStatusRequest)) && rng_.OneIn(2))
                Line("device " + port.name + " no-answer");
            held = true;
            Line("end-doc");
            port.woken = now_;
            port.doc = false;
        }
        Line("delete-printer");
        printers_[i].deleted = true;
        // What comes next is timed to the thread's second look at the printer, mostly.
        unsigned next = held && On(kStatusRequest) && rng_.OneIn(2) ? 1 : std::min(rng_.Below(4), 2u);
        switch (rng_.Below(next == 0 ? 4 : 6)) {
        case 0:
            Pass(cycle_ * (1 + rng_.Below(2)));
            break;
        case 1:
            Pass(rng_.Pick({0u, 1000u, 1999u, 2000u, 2001u, 3000u, 4000u}));
            break;
        default:
            Pass(ConfirmWait(port));
            break;
        }
        if (next == 0 || port.doc) {
            Line("add-printer");
            printers_[i].deleted = false;
            return true;
        }
        if (next == 1 && On(kStatusRequest)) {
            Line("status-request");
            port.woken = now_;
        } else {
            StartDoc(port);
        }
        return true;
    }

    // The spooler ends what it printed and closes its ports (a port closed under its job
    // only where the swarm enabled that).
    void Finish()
    {
        if (rng_.OneIn(2))
            Pass(Wait());
        for (size_t p = 0; p < ports_.size(); p++) {
            GenPort& port = ports_[p];
            if (!port.open)
                continue;
            OnPort(p);
            if (port.doc && !(On(kCloseMidJob) && rng_.OneIn(2)))
                Line("end-doc");
            Line("close");
        }
    }
};

}  // namespace

std::string GenerateScenarioText(uint64_t seed, const GenerateOptions& options)
{
    return Generator(seed, options).Text();
}

bool GenerateScenario(uint64_t seed, const GenerateOptions& options, Scenario* out, std::string* error)
{
    std::string text = GenerateScenarioText(seed, options);
    if (ParseScenario(text, "generated-" + std::to_string(seed) + ".scn", out, error))
        return true;
    *error = "the generated scenario of seed " + std::to_string(seed) + " is refused at line " + *error;
    return false;
}

}  // namespace kvtools
