// The trace sink of a run. The monitor calls it on the thread that decided, possibly with
// its own locks held: it only formats and queues the line.
#include "tracesink.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "devstatus.h"
#include "kvmon.h"
#include "kvplatform.h"
#include "simcommon.h"

namespace kvtools {

namespace {

std::mutex g_mutex;
Timeline* g_timeline = nullptr;
std::string g_folder;  // shown as kFolderName
const char kFolderName[] = "<Statovue folder>";
DWORD g_lastSeq = 0;  // sequence number the last event was numbered after
DWORD g_sub = 0;      // and its place after it

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// Lines a poll repeats as long as nothing changes: the timeout that ends the wait, what the
// reply was found to be, and a status that stays as it was.
bool IdleEvent(const std::string& event, const std::string& reason)
{
    if (event == "thread-wake")
        return StartsWith(reason, "timeout");
    if (event == "code")
        return reason.find(": unchanged") != std::string::npos;
    return event == "recognised" || event == "record" || event == "published" || event == "not-queried" ||
           event == "no-answer" || event == "not-recognised" || event == "not-published";
}

// The timeline shows no temporary path: a run reads the same in any folder.
void HideFolder(std::string* text)
{
    if (g_folder.empty())
        return;
    for (size_t at = text->find(g_folder); at != std::string::npos; at = text->find(g_folder, at + 1))
        text->replace(at, g_folder.size(), kFolderName);
}

void Sink(LPCSTR port, LPCSTR event, LPCSTR reason)
{
    Event e = TraceLine(port, event, reason);
    if (e.kind.empty())
        return;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_timeline == nullptr)
        return;
    // Numbered after the simulation's last event without taking a number of its own: the
    // counter stays as the run's other events leave it.
    DWORD seq = sim::CurrentSequence();
    if (seq != g_lastSeq) {
        g_lastSeq = seq;
        g_sub = 0;
    }
    e.seq = seq;
    e.sub = ++g_sub;
    HideFolder(&e.text);
    for (auto& f : e.fields)
        HideFolder(&f.value);
    if (std::strcmp(event, "thread-start") == 0)
        g_timeline->NameThread(GetCurrentThreadId(), std::string("poll ") + port);
    g_timeline->Add(std::move(e));
}

}  // namespace

Event TraceLine(const std::string& ansiPort, const std::string& event, const std::string& ansiReason)
{
    // The monitor writes ANSI text: the timeline and JSON are UTF-8.
    std::string port = kvplat::AnsiToUtf8(ansiPort);
    std::string reason = kvplat::AnsiToUtf8(ansiReason);
    Event e;
    if (event == "query")
        return e;
    e.kind = "trace";
    e.text = event + (port == "-" ? std::string() : " " + port) + ": " + reason;
    e.Str("port", port).Str("name", event).Str("reason", reason);
    // The code's meaning and its bits by name, from the code table.
    if (event == "code") {
        WORD code = static_cast<WORD>(std::strtoul(reason.c_str(), nullptr, 10));
        size_t at = reason.find("bits 0x");
        DWORD bits = at == std::string::npos ? 0 : static_cast<DWORD>(std::strtoul(reason.c_str() + at + 5, nullptr, 16));
        e.text += " [" + CodeMeaning(code) + "; " + StatusBitNames(bits) + "]";
        e.Num("code", code).Num("bits", bits).List("bit_names", StatusBitList(bits)).Str("meaning", CodeMeaning(code));
    }
    e.idle = IdleEvent(event, reason);
    e.cycleStart = event == "thread-wake" && e.idle;
    return e;
}

void AttachTrace(Timeline& timeline, const std::string& folder)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_timeline = &timeline;
        g_folder = folder;
        g_lastSeq = 0;
        g_sub = 0;
    }
    SetTraceSink(Sink, TRACE_QUERIES);
}

void DetachTrace()
{
    SetTraceSink(NULL, TRACE_OFF);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_timeline = nullptr;
}

}  // namespace kvtools
