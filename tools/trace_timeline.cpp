// Trace events on the timeline, and the folding of repeated idle polls.
#include "trace_timeline.h"

#include <cstdlib>
#include <mutex>

#include "devstatus.h"
#include "kvmon.h"

namespace kvtools {

namespace {

std::mutex g_mutex;
Timeline* g_timeline = nullptr;

// Events that a quiet poll repeats every cycle.
bool IdleTraceEvent(const std::string& event, const std::string& reason)
{
    if (event == "code")
        return reason.find("unchanged") != std::string::npos;
    if (event == "thread-wake")
        return reason.rfind("timeout", 0) == 0;
    return event == "recognised" || event == "record" || event == "published" || event == "not-queried";
}

void Sink(LPCSTR port, LPCSTR event, LPCSTR reason)
{
    Event e = TraceEventLine(port, event, reason);
    if (e.kind.empty())
        return;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_timeline == nullptr)
        return;
    if (e.text.rfind("thread-start ", 0) == 0)
        g_timeline->NameThread(GetCurrentThreadId(), std::string("poll ") + port);
    g_timeline->Add(e);
}

}  // namespace

Event TraceEventLine(const std::string& port, const std::string& event, const std::string& reason)
{
    Event e;
    if (event == "query")
        return e;
    e.kind = "why";
    e.text = event + " " + port + ": " + reason;
    // A decoded code also gets its meaning and its bits by name.
    if (event == "code") {
        WORD code = static_cast<WORD>(std::strtoul(reason.c_str(), nullptr, 10));
        size_t at = reason.find("bits 0x");
        DWORD bits = at == std::string::npos ? 0 : static_cast<DWORD>(std::strtoul(reason.c_str() + at + 5, nullptr, 16));
        e.text += " [" + CodeMeaning(code) + "; " + StatusBitNames(bits) + "]";
        e.Num("code", code).Num("bits", bits);
    }
    e.Str("port", port).Str("trace", event).Str("reason", reason);
    e.idle = IdleTraceEvent(event, reason);
    e.cycleEnd = event == "thread-wake" && e.idle;
    return e;
}

void AttachTrace(Timeline& timeline)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_timeline = &timeline;
    }
    SetTraceSink(Sink, TRACE_QUERIES);
}

void DetachTrace()
{
    SetTraceSink(NULL, TRACE_OFF);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_timeline = nullptr;
}

void PollFolder::Release(DWORD thread, DWORD ms, Thread& t, std::vector<Event>* due)
{
    if (t.folded != 0) {
        Event note;
        note.kind = "note";
        note.thread = thread;
        note.ms = ms;
        note.seq = t.held.empty() ? 0 : t.held.front().seq;
        note.text = "(" + std::to_string(t.folded) + " more identical idle poll" + (t.folded == 1 ? "" : "s") +
                    ", " + std::to_string(t.firstMs) + "-" + std::to_string(t.lastMs) + " ms)";
        note.Num("folded", t.folded);
        due->push_back(note);
        t.folded = 0;
    }
    due->insert(due->end(), t.held.begin(), t.held.end());
    t.held.clear();
}

bool PollFolder::Take(const Event& e, std::vector<Event>* due)
{
    Thread& t = threads_[e.thread];
    bool idle = e.idle || e.kind == "query" || e.kind == "block";
    size_t index = t.texts.size();
    if (!t.printing && idle && index < t.last.size() && t.last[index] == e.text) {
        t.held.push_back(e);
        t.texts.push_back(e.text);
        if (e.cycleEnd) {
            if (t.folded++ == 0)
                t.firstMs = t.held.front().ms;
            t.lastMs = t.held.front().ms;
            t.held.clear();
            t.texts.clear();
        }
        return true;
    }
    if (!t.printing) {
        Release(e.thread, e.ms, t, due);
        t.printing = true;
    }
    t.texts.push_back(e.text);
    if (e.cycleEnd) {
        // The next cycle compares with this one.
        t.last = t.texts;
        t.texts.clear();
        t.printing = false;
    }
    return false;
}

std::vector<Event> PollFolder::Finish()
{
    std::vector<Event> due;
    for (auto& entry : threads_)
        Release(entry.first, entry.second.lastMs, entry.second, &due);
    return due;
}

}  // namespace kvtools
