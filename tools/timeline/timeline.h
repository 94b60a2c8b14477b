// The simulator's timeline: events from the spooler's thread, the polling threads and the
// platform hooks, printed one per line in the order of the simulation's shared sequence
// numbers, as text or as JSON lines.
#ifndef KVMON_TOOLS_TIMELINE_H
#define KVMON_TOOLS_TIMELINE_H

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace kvtools {

class PollFolder;

struct Event {
    DWORD seq = 0;       // sim::NextSequence() when it happened
    DWORD sub = 0;       // 1, 2, ...: a line placed after the event numbered seq, with none of its own
    DWORD ms = 0;        // platform ms since the start of the run
    bool msGiven = false;  // ms is set, also when 0: Add does not read the clock
    DWORD thread = 0;    // GetCurrentThreadId of the thread it happened on
    std::string kind;    // "call", "return", "query", "status", "block", ...
    std::string text;    // the readable line
    // For "return": the result alone, printed after the matching "call" when nothing came
    // between them; callId pairs the two.
    std::string result;
    unsigned long callId = 0;
    // For folding idle polls: a line a poll repeats while nothing changes, and the idle
    // wake-up that begins a polling thread's next cycle.
    bool idle = false;
    bool cycleStart = false;
    // Extra JSON fields: key and value; numbers, booleans and lists are written as they are
    // (raw), text in quotes.
    struct Field {
        std::string key;
        std::string value;
        bool number;  // raw JSON: a number, a boolean or a list
    };
    std::vector<Field> fields;

    Event& Str(const std::string& key, const std::string& value)
    {
        fields.push_back({key, value, false});
        return *this;
    }
    Event& Num(const std::string& key, unsigned long long value)
    {
        fields.push_back({key, std::to_string(value), true});
        return *this;
    }
    Event& Bool(const std::string& key, bool value)
    {
        fields.push_back({key, value ? "true" : "false", true});
        return *this;
    }
    // A JSON list of strings, e.g. status bits by name.
    Event& List(const std::string& key, const std::vector<std::string>& values);
};

class Timeline {
public:
    Timeline(std::ostream& out, bool json);
    ~Timeline();
    Timeline(const Timeline&) = delete;
    Timeline& operator=(const Timeline&) = delete;

    // Starts the clock and the printing thread; spoolerThread is named "spooler", a thread
    // named by NameThread by that name, every other thread "poller" (then "poller-2", ...).
    // deterministic: no printing thread, everything is printed at Stop (one thread runs at
    // a time, nothing to wait for). print false: nothing is written; the text lines are kept
    // for Excerpt unless keep is false too (then events are dropped as they come).
    void Start(DWORD spoolerThread, bool deterministic = false, bool print = true, bool keep = true);
    // Before Start: identical idle poll cycles print as one line with their count.
    void FoldIdlePolls(bool on);
    // Names a thread from its first event on (thread ids are never reused in a process).
    void NameThread(DWORD thread, const std::string& name);
    // Prints everything still held and stops the printing thread.
    void Stop();
    // Takes the event; fills in seq, ms and thread when they are 0.
    void Add(Event e);
    DWORD Now() const;  // platform ms since Start
    // After Stop: the text lines up to the event with sequence number `seq`, at most `max`.
    std::string Excerpt(DWORD seq, size_t max) const;

private:
    struct Held {
        Event event;
        std::chrono::steady_clock::time_point arrived;
    };
    void Run();
    // Prints held events in sequence order: all, or those held long enough; at most `most`.
    void FlushLocked(bool all, size_t most = SIZE_MAX);
    void Emit(const Event& e);
    void Print(const Event& e);
    void PrintLine(const Event& e, const std::string& text);
    static std::string TextLine(const Event& e, const std::string& thread, const std::string& text);
    std::string ThreadName(DWORD thread);

    std::ostream& out_;
    bool json_;
    DWORD startTick_ = 0;
    DWORD spooler_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Held> held_;
    std::map<DWORD, std::string> names_;
    unsigned pollers_ = 0;
    bool havePending_ = false;
    Event pending_;  // a "call" waiting to see whether its "return" follows directly
    bool stop_ = false;
    std::thread printer_;
    bool deterministic_ = false;
    bool print_ = true;
    bool keep_ = true;
    bool started_ = false;
    std::vector<std::pair<DWORD, std::string>> kept_;  // print_ false: (seq, text line)
    std::unique_ptr<PollFolder> folder_;  // folds idle polls, when asked to
};

}  // namespace kvtools

#endif  // KVMON_TOOLS_TIMELINE_H
