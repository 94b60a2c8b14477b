// Timeline printing: events are held briefly and printed in sequence order, so that the
// spooler's thread and a polling thread that act at the same moment still print in the
// order things happened.
#include "timeline.h"

#include <algorithm>
#include <cstdio>

#include "json.h"
#include "pollfold.h"
#include "runguard.h"
#include "simcommon.h"

namespace kvtools {

Event& Event::List(const std::string& key, const std::vector<std::string>& values)
{
    std::string list = "[";
    for (const std::string& v : values)
        list += (list.size() > 1 ? "," : "") + JsonQuote(v);
    fields.push_back({key, list + "]", true});
    return *this;
}

namespace {
// How long an event is held before it is printed (real time): long enough for an event of
// another thread with a smaller sequence number to arrive.
const auto kHold = std::chrono::milliseconds(30);
// A deterministic run prints what it holds once this many events have come, all but the
// newest kKeepBack (a line placed after an event comes soon after it), so that a long run
// holds no more than this however long it plays.
const size_t kPrintAt = 8192;
const size_t kKeepBack = 1024;
// Lines kept for an excerpt, at most (an excerpt is the last few lines before a violation).
const size_t kKeptLines = 4096;
}  // namespace


Timeline::Timeline(std::ostream& out, bool json) : out_(out), json_(json) {}

Timeline::~Timeline()
{
    Stop();
}

void Timeline::Start(DWORD spoolerThread, bool deterministic, bool print, bool keep)
{
    spooler_ = spoolerThread;
    deterministic_ = deterministic;
    print_ = print;
    keep_ = print || keep;
    started_ = true;
    if (!json_ && print_)
        out_ << "     ms  thread       event\n";
    if (!deterministic_)
        printer_ = std::thread([this] { Run(); });
    startTick_ = GetTickCount();
}

void Timeline::FoldIdlePolls(bool on)
{
    folder_.reset(on ? new PollFolder : nullptr);
}

void Timeline::NameThread(DWORD thread, const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    names_[thread] = name;
}

void Timeline::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_ || !started_)
            return;
        stop_ = true;
    }
    wake_.notify_all();
    if (printer_.joinable())
        printer_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked(true);
    if (folder_) {
        std::vector<Event> due;
        folder_->Finish(&due);
        for (const Event& e : due)
            Print(e);
    }
    if (havePending_) {
        havePending_ = false;
        PrintLine(pending_, pending_.text + " ...");
    }
    out_.flush();
    if (print_)
        CheckOutput(out_);
}

DWORD Timeline::Now() const
{
    return GetTickCount() - startTick_;
}

void Timeline::Add(Event e)
{
    // Taking a sequence number is a scheduling point: a dropped event takes its number
    // too, so that a run without a timeline plays the same schedule. Lines placed after an
    // event (sub) take none.
    if (e.seq == 0 && e.sub == 0)
        e.seq = sim::NextSequence();
    if (!keep_)
        return;
    if (e.thread == 0)
        e.thread = GetCurrentThreadId();
    if (e.ms == 0 && !e.msGiven)
        e.ms = Now();
    std::lock_guard<std::mutex> lock(mutex_);
    held_.push_back(Held{std::move(e), std::chrono::steady_clock::now()});
    if (deterministic_ && held_.size() >= kPrintAt)
        FlushLocked(false, held_.size() - kKeepBack);
}

void Timeline::Run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        wake_.wait_for(lock, std::chrono::milliseconds(10));
        FlushLocked(false);
    }
}

void Timeline::FlushLocked(bool all, size_t most)
{
    std::stable_sort(held_.begin(), held_.end(),
                     [](const Held& a, const Held& b) {
                         return a.event.seq != b.event.seq ? a.event.seq < b.event.seq : a.event.sub < b.event.sub;
                     });
    auto limit = std::chrono::steady_clock::now() - kHold;
    size_t n = 0;
    while (n < held_.size() && n < most && (all || held_[n].arrived <= limit || deterministic_))
        Emit(held_[n++].event);
    held_.erase(held_.begin(), held_.begin() + static_cast<long>(n));
    if (n != 0 && print_) {
        out_.flush();
        CheckOutput(out_);
    }
}

std::string Timeline::ThreadName(DWORD thread)
{
    auto it = names_.find(thread);
    if (it != names_.end())
        return it->second;
    std::string name = thread == spooler_ ? "spooler" : ++pollers_ == 1 ? "poller" : "poller-" + std::to_string(pollers_);
    names_[thread] = name;
    return name;
}

// Through the folder of idle polls, when there is one.
void Timeline::Emit(const Event& e)
{
    if (!folder_) {
        Print(e);
        return;
    }
    std::vector<Event> due;
    folder_->Take(e, &due);
    for (const Event& d : due)
        Print(d);
}

void Timeline::Print(const Event& e)
{
    if (json_ && print_) {
        PrintLine(e, e.text);
        return;
    }
    if (havePending_) {
        havePending_ = false;
        if (e.kind == "return" && e.callId == pending_.callId) {
            PrintLine(pending_, pending_.text + " = " + e.result);
            return;
        }
        PrintLine(pending_, pending_.text + " ...");
    }
    if (e.kind == "call") {
        pending_ = e;
        havePending_ = true;
        return;
    }
    PrintLine(e, e.text);
}

std::string Timeline::TextLine(const Event& e, const std::string& thread, const std::string& text)
{
    bool effect = e.kind != "call" && e.kind != "return" && e.kind != "scenario" && e.kind != "note";
    char ms[16];
    std::snprintf(ms, sizeof ms, "%7lu  ", static_cast<unsigned long>(e.ms));
    std::string line = ms + thread;
    // "poll USB001" fits the column; a longer port name pushes the event on.
    if (thread.size() < 11)
        line.append(11 - thread.size(), ' ');
    return line + (effect ? "    " : "  ") + text;
}

std::string Timeline::Excerpt(DWORD seq, size_t max) const
{
    size_t end = 0;
    while (end < kept_.size() && kept_[end].first <= seq)
        end++;
    size_t begin = end > max ? end - max : 0;
    std::string out;
    for (size_t i = begin; i < end; i++)
        out += kept_[i].second + "\n";
    return out;
}

void Timeline::PrintLine(const Event& e, const std::string& text)
{
    std::string thread = ThreadName(e.thread);
    if (!print_) {
        kept_.emplace_back(e.seq, TextLine(e, thread, text));
        if (kept_.size() > 2 * kKeptLines)
            kept_.erase(kept_.begin(), kept_.end() - static_cast<long>(kKeptLines));
        return;
    }
    if (json_) {
        out_ << "{\"seq\":" << e.seq;
        if (e.sub != 0)
            out_ << ",\"sub\":" << e.sub;
        out_ << ",\"ms\":" << e.ms << ",\"thread\":" << JsonQuote(thread)
             << ",\"event\":" << JsonQuote(e.kind) << ",\"text\":" << JsonQuote(text);
        if (e.kind == "return")
            out_ << ",\"result\":" << JsonQuote(e.result);
        if (e.callId != 0)
            out_ << ",\"call\":" << e.callId;
        for (const auto& f : e.fields)
            out_ << "," << JsonQuote(f.key) << ":" << (f.number ? f.value : JsonQuote(f.value));
        out_ << "}\n";
        return;
    }
    out_ << TextLine(e, thread, text) << '\n';
}

}  // namespace kvtools
