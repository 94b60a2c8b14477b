// The scenario generator. Each seed first picks which kinds of operation it may use (swarm
// testing: a random subset, so that rare combinations get dense runs), then sets the scene
// (ports, printers, devices, the companion) and draws operations one at a time from the
// kinds enabled, keeping a model of what the spooler would allow next: which ports are
// open, whether a document is open on each, which printers exist, which prompt answers
// are waiting. Operations whose preconditions do not hold are not drawn.
#include "generate.h"

#include <algorithm>

#include "generator.h"

namespace kvtools {

namespace gen {

const char* const kKindNames[kKinds] = {
    "rename",     "delete",      "shared",  "start-fails", "write-fails", "write-partial", "write-miscount",
    "status-request", "close-mid-job", "codes", "unrecognised", "no-answer", "slow", "query-error",
    "companion",  "read-cycle",  "queue",   "ecp",         "misuse",      "raw",           "deleted-handles",
};

void Generator::Pass(unsigned ms)
{
    Line("wait " + std::to_string(ms));
    now_ += ms;
}

// A printer added to the spooler on a port that has one already; it becomes current.
bool Generator::AddToPort()
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
unsigned Generator::ConfirmWait(const GenPort& port)
{
    unsigned long long since = now_ - port.woken;
    unsigned long long cycles = since == 0 ? 1 : (since + cycle_ - 1) / cycle_;
    if (since % cycle_ == 0 && rng_.OneIn(2))
        cycles = since / cycle_;
    return static_cast<unsigned>(port.woken + (cycles + 1) * cycle_ - now_);
}

void Generator::Scene()
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
    answering_ = handles == "deleted-handles answer";
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

Generator::Where Generator::HandlesLine()
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

void Generator::Declare(size_t port)
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
void Generator::Select(size_t i)
{
    if (i != current_)
        Line("select " + Q(printers_[i].name));
    current_ = i;
}

// A printer of this port, made current (the one current already when it is on it).
void Generator::OnPort(size_t port)
{
    const std::vector<size_t>& list = ports_[port].printers;
    if (printers_[current_].port == port && !rng_.OneIn(6))
        return;
    Select(list[rng_.Below(static_cast<unsigned>(list.size()))]);
}

void Generator::Operation()
{
    for (int tries = 0; tries < 20; tries++) {
        if (Try(rng_.Below(32)))
            return;
    }
    Pass(Wait());
}

unsigned Generator::Wait()
{
    return rng_.Pick({0u, 1u, 100u, 500u, 1000u, 1999u, 2000u, 2001u, 2500u, 3000u, 4000u, 5000u, 7000u, 12000u});
}

// One operation of the given draw; false when its preconditions do not hold. The plain
// protocol takes most draws, writes the most of them.
bool Generator::Try(unsigned draw)
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

void Generator::StartDoc(GenPort& port)
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

// The spooler ends what it printed and closes its ports (a port closed under its job
// only where the swarm enabled that).
void Generator::Finish()
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

}  // namespace gen


std::string GenerateScenarioText(uint64_t seed, const GenerateOptions& options)
{
    return gen::Generator(seed, options).Text();
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
