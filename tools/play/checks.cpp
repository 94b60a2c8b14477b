// The player's checks: the invariants of a print path, checked as the monitor's calls
// reach the port monitor and after the last ClosePort, and the scenario's expect lines.
//
// No lock of the player is held across a call into the simulation or the timeline: in
// deterministic mode those calls are scheduling points, and a thread that lost the baton
// while holding a std::mutex would stop the next one.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "devstatus.h"
#include "kvplatform.h"
#include "player.h"
#include "runguard.h"
#include "simcommon.h"
#include "simtext.h"

namespace kvtools {

namespace {

std::string Quoted(const std::string& bytes)
{
    return "\"" + Escape(bytes) + "\"";
}

// Offset of the first byte where a and b differ.
size_t FirstDifference(const std::string& a, const std::string& b)
{
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        i++;
    return i;
}

}  // namespace

void Player::Fail(const std::string& invariant, const std::string& detail)
{
    {
        std::lock_guard<std::mutex> lock(trackMutex_);
        if (violation_)
            return;
        violation_ = Violation{invariant, detail, std::string()};
    }
    Event e = MakeEvent("violation", "violation: " + invariant + ": " + detail);
    e.seq = sim::NextSequence();
    e.Str("invariant", invariant).Str("detail", detail);
    violationSeq_ = e.seq;
    timeline_.Add(e);
}

void Player::OnStuck(const std::string& report)
{
    // Called by the scheduler with its lock held: no scheduling point from here on, so the
    // event gets its number, time and thread here (the report's first line says "at N ms").
    size_t nl = report.find('\n');
    violation_ = Violation{"deadlock", report.substr(0, nl), std::string()};
    if (report.compare(0, 8, "livelock") == 0)
        violation_->invariant = "livelock";
    else if (report.compare(0, 5, "hang ") == 0)
        violation_->invariant = "spooler call hangs";
    size_t at = report.find(" at ");
    Event e = MakeEvent("violation", "violation: " + violation_->invariant + ": " + violation_->detail);
    e.seq = sim::CurrentSequence() + 1;
    e.ms = at < nl ? static_cast<DWORD>(std::strtoul(report.c_str() + at + 4, nullptr, 10)) : 0;
    e.msGiven = true;
    e.thread = GetCurrentThreadId();
    e.Str("invariant", violation_->invariant).Str("detail", violation_->detail);
    timeline_.Add(e);
    timeline_.Stop();
    violation_->excerpt = timeline_.Excerpt(~DWORD(0), kExcerptLines) + report.substr(nl + 1);
    if (options_.onStuck)
        options_.onStuck(*violation_);
    else
        err_ << "kvmon-sim: violation (seed " << options_.seed << "): " << violation_->invariant << ": "
             << violation_->detail << '\n'
             << report.substr(nl + 1);
    err_.flush();
    // The process ends next (exit status 3): nothing of the run may stay behind.
    RemoveFolder();
    RemoveHeldBlocks();
}

bool Player::JobExists(DWORD job) const
{
    for (const std::string& printer : spooler_.Printers()) {
        for (const sim::JobInfo& j : spooler_.Jobs(printer)) {
            if (j.id == job)
                return true;
        }
    }
    return false;
}

void Player::TrackDocStarted(const std::string& port, const std::string& printer, DWORD job)
{
    std::lock_guard<std::mutex> lock(trackMutex_);
    PortTrack& t = track_[sim::FoldName(port)];
    t.printing = job;
    t.printer = printer;
    // The bytes of earlier documents are kept only as a length and a hash.
    t.sent.Forget();
}

void Player::TrackDocEnded(const std::string& port)
{
    std::lock_guard<std::mutex> lock(trackMutex_);
    track_[sim::FoldName(port)].printing = 0;
}

void Player::TrackWritten(const std::string& port, const std::string& data, DWORD written)
{
    std::lock_guard<std::mutex> lock(trackMutex_);
    PortTrack& t = track_[sim::FoldName(port)];
    t.sent.keepAtMost = kKeptBytes;
    t.sent.Append(data.data(), std::min<size_t>(written, data.size()));
    t.reported += written;
}

// Every call the monitor makes into the port monitor, when it returns.
void Player::CheckPortCall(const sim::PortCall& call)
{
    if (call.port.empty() && call.function != "OpenPort") {
        Fail("call on a closed handle", call.function + " through a handle the port monitor does not know (" +
                                            ResultText(call.result, call.error) + ")");
        return;
    }
    std::string key = sim::FoldName(call.port);
    uint64_t written = call.function == "StartDocPort" ? pm_.WrittenLog(call.port).total : 0;
    DWORD job = 0;
    DWORD printing = 0;
    unsigned ends = 0;
    {
        std::lock_guard<std::mutex> lock(trackMutex_);
        PortTrack& t = track_[key];
        printing = t.printing;
        if (call.function == "StartDocPort" && call.result) {
            t.atPortMonitor = call.jobId;
            t.jobStart = written;
        } else if (call.function == "WritePort" && call.result) {
            t.pmReported += call.bytes;
            t.miscounted = t.miscounted || call.bytes != call.taken;
        } else if (call.function == "EndDocPort" && call.result) {
            job = t.atPortMonitor;
            t.atPortMonitor = 0;
            ends = ++t.ends[job];
        } else if (call.function == "ClosePort" && call.result) {
            job = t.atPortMonitor;
            t.atPortMonitor = 0;  // the port monitor's port, and any document on it, are gone
        }
    }
    if (call.function == "WritePort" && call.result && call.bytes != call.taken) {
        Event e = MakeEvent("portmon", "port monitor WritePort took " + std::to_string(call.taken) + " of " +
                                           std::to_string(call.cbBuffer) + " bytes and reported " +
                                           std::to_string(call.bytes) + " written");
        e.seq = call.seq;
        e.thread = call.thread;
        e.Num("taken", call.taken).Num("reported", call.bytes);
        timeline_.Add(e);
    }
    std::string who = call.thread == spoolerThread_ ? "the spooler's call" : "a polling thread";
    // A closed port leaves no document open at the port monitor: nothing would ever end it.
    // The spooler's own document, closed without its EndDocPort (an aborted job), is the
    // spooler's to end; the monitor ends a document it held for polling, and ends the
    // spooler's only when a polling thread runs.
    if (call.function == "ClosePort" && call.result && job != 0 && job != printing) {
        Fail("left behind by a closed port", "the port monitor's port " + call.port + " was closed with the document of job " +
                                                 std::to_string(job) + " still open");
        return;
    }
    if (call.function == "EndDocPort" && call.result) {
        if (ends > 1)
            Fail("document ended twice", "job " + std::to_string(job) + " on " + call.port +
                                             ": EndDocPort reached the port monitor " + std::to_string(ends) +
                                             " times, the last from " + who);
        else if (call.thread != spoolerThread_ && job != 0 && job == printing && JobExists(job))
            Fail("job lost", "job " + std::to_string(job) + " on " + call.port + " is still printing, but " + who +
                                 " ended its document at the port monitor");
    } else if (call.function == "EndDocPort") {
        Fail("document ended twice", "EndDocPort on " + call.port + " from " + who +
                                         " with no document open at the port monitor (" +
                                         ResultText(call.result, call.error) + ")");
    } else if (call.function == "WritePort" && !call.result && call.error == ERROR_INVALID_HANDLE && printing != 0 &&
               JobExists(printing)) {
        Fail("job lost", "job " + std::to_string(printing) + " on " + call.port +
                             ": WritePort refused, its document is no longer open at the port monitor");
    }
}

// A notification names the printer whose status bits the same thread set just before: the
// printer object SetPrinterA reached carried that name at some moment since. A printer
// deleted meanwhile has no name to check against.
void Player::CheckNotifiedPrinter(DWORD thread, const std::string& name)
{
    Marked m;
    {
        std::lock_guard<std::mutex> lock(trackMutex_);
        auto it = marked_.find(thread);
        if (it == marked_.end())
            return;
        m = it->second;
    }
    bool deleted = false;
    if (m.printer == 0 || spooler_.CarriedName(m.printer, name, m.seq, sim::CurrentSequence(), &deleted) || deleted)
        return;
    Fail("notification names another printer", "PRNNAME=" + Q(name) + ", but the SetPrinterA before it set the bits of " +
                                                   Q(m.name) + ", which has not been called " + Q(name) + " since");
}

LiveCounts Player::CountLive() const
{
    return LiveCounts{kvplat::LiveAllocations(), kvplat::LiveEvents(),   kvplat::LiveThreadHandles(),
                      kvplat::LiveMappings(),    kvplat::LiveViews(),    kvplat::LiveRegistryKeys()};
}

// After the last ClosePort and the wait for the polling threads.
void Player::CheckEnd(bool threadsEnded)
{
    if (!threadsEnded) {
        Fail("wait outlived its bound",
             "a polling thread still runs " + std::to_string(endBoundMs_) + " ms after the last ClosePort");
        return;
    }
    std::string freed = kvplat::CheckFreedBlocks();
    if (!freed.empty()) {
        Fail("freed memory used", freed);
        return;
    }
    std::map<std::string, PortTrack> tracks;
    {
        std::lock_guard<std::mutex> lock(trackMutex_);
        tracks = track_;
    }
    for (const auto& entry : tracks) {
        const PortTrack& t = entry.second;
        if (t.reported != t.pmReported) {
            Fail("write count changed", "port " + entry.first + ": the port monitor reported " +
                                            std::to_string(t.pmReported) + " bytes written, the monitor " +
                                            std::to_string(t.reported));
            return;
        }
        // A port monitor that reported other counts than it took delivered other bytes
        // than the spooler believes; the monitor can only pass its counts on.
        sim::ByteLog received = pm_.WrittenLog(entry.first);
        if (!t.miscounted && !received.SameBytes(t.sent)) {
            // Where they differ shows only when both still hold the bytes from the same place.
            std::string where = "they differ";
            size_t at = FirstDifference(received.kept, t.sent.kept);
            if (received.RecentFrom() == t.sent.RecentFrom() && at < received.kept.size() && at < t.sent.kept.size())
                where += " from byte " + std::to_string(received.RecentFrom() + at);
            Fail("bytes not delivered exactly once",
                 "port " + entry.first + ": the port monitor received " + std::to_string(received.total) +
                     " bytes, the monitor reported " + std::to_string(t.sent.total) + " written; " + where);
            return;
        }
    }
    LiveCounts now = CountLive();
    const LiveCounts& base = *baseline_;
    struct Item {
        const char* what;
        long before, after;
    } items[] = {
        {"heap blocks", base.allocations, now.allocations}, {"events", base.events, now.events},
        {"thread handles", base.threadHandles, now.threadHandles}, {"mappings", base.mappings, now.mappings},
        {"views", base.views, now.views}, {"registry keys", base.registryKeys, now.registryKeys},
        {"threads", 0, kvplat::LiveThreads()}, {"printer handles", 0, spooler_.OpenHandleCount()},
        {"port monitor handles", 0, pm_.OpenHandleCount()},
    };
    for (const Item& item : items) {
        if (item.after != item.before) {
            Fail("leak after ClosePort", std::string(item.what) + ": " + std::to_string(item.before) +
                                             " before the first OpenPortEx, " + std::to_string(item.after) +
                                             " after the last ClosePort");
            return;
        }
    }
    for (const std::string& printer : spooler_.Printers()) {
        DWORD status = spooler_.PrinterStatus(printer);
        if (status != 0) {
            Fail("status bits after release", "printer " + Q(printer) + " keeps " + StatusBitNames(status) +
                                                  " after its port was closed");
            return;
        }
    }
}

// The value an expect line asks about, as ExpectedText prints it.
std::string Player::Actual(const Command& c, const Expectation& x)
{
    std::string block;
    bool haveBlock = false;
    {
        std::lock_guard<std::mutex> lock(trackMutex_);
        for (const auto& entry : blocks_) {
            const std::string& name = entry.first;
            if (name.size() >= c.port.size() && name.compare(name.size() - c.port.size(), c.port.size(), c.port) == 0) {
                block = entry.second;
                haveBlock = true;
            }
        }
    }
    switch (x.field) {
    case Expectation::Field::Status:
        return StatusBitNames(spooler_.PrinterStatus(c.printer));
    case Expectation::Field::Code: {
        std::lock_guard<std::mutex> lock(trackMutex_);
        auto it = codes_.find(sim::FoldName(c.port));
        return it == codes_.end() ? "none" : std::to_string(it->second);
    }
    case Expectation::Field::Block:
        return haveBlock ? Quoted(AnalyseBlock(block).body) : "none";
    case Expectation::Field::Vuelog: {
        std::string file;
        {
            std::lock_guard<std::mutex> lock(trackMutex_);
            file = vuelogFile_;
        }
        char value[NAME_BUFFER_SIZE * 2];
        const char kMissing[] = "\x01";
        if (file.empty())
            return "none";
        GetPrivateProfileStringA("DEVICE", x.key.c_str(), kMissing, value, sizeof value, file.c_str());
        return std::strcmp(value, kMissing) == 0 ? "none" : Quoted(value);
    }
    case Expectation::Field::Broadcasts: {
        std::lock_guard<std::mutex> lock(trackMutex_);
        return std::to_string(broadcasts_);
    }
    case Expectation::Field::Prompts: {
        std::lock_guard<std::mutex> lock(trackMutex_);
        return std::to_string(prompts_);
    }
    case Expectation::Field::Received: {
        // The port monitor keeps the bytes since the port's last document started, the
        // first of them as they are and all as a length and a hash.
        sim::ByteLog job = pm_.WrittenLog(c.port);
        uint64_t start = 0;
        {
            std::lock_guard<std::mutex> lock(trackMutex_);
            start = track_[sim::FoldName(c.port)].jobStart;
        }
        if (!x.hasBytes)
            return std::to_string(job.total - start) + " bytes";
        if (job.KeptAll())
            return Quoted(job.kept);
        return job.RecentAre(x.bytes) ? Quoted(x.bytes) : std::to_string(job.recent) + " bytes, not these";
    }
    case Expectation::Field::Document:
        return pm_.DocumentOpen(c.port) ? "open" : "closed";
    }
    return std::string();
}

void Player::Expect(const Command& c, const Expectation& x)
{
    std::string expected = ExpectedText(x);
    std::string actual = Actual(c, x);
    if (actual == expected) {
        Note("note", "expect holds: " + actual);
        return;
    }
    std::string what = "line " + std::to_string(c.line) + " \"" + c.source + "\": expected " + expected + ", actual " +
                       actual;
    // An expect line states what the scenario's timing leads to; a thread held for seconds
    // changes that timing, so in a seed with stalls only the invariants are checked.
    if (options_.deterministic && kvplat::RunStalls())
        Note("note", "expect not checked in a seed with stalls: " + what);
    else
        Fail("expect", what);
}

}  // namespace kvtools
