// Controls of the POSIX platform layer for tests, the simulator and tools. Nothing in the
// monitor's own sources includes this file: it is the test seam around the Win32 subset.
#ifndef KVMON_PLATFORM_KVPLATFORM_H
#define KVMON_PLATFORM_KVPLATFORM_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kvplat {

// ---- clock ----
// Sleep and timed waits last ms / divisor (1 = real time). Tests use a large divisor so
// that a 2000 ms poll takes a couple of milliseconds. GetTickCount reports scaled time
// (it advances by `divisor` ticks per real millisecond), so timelines read in platform ms.
void SetTimeScale(unsigned divisor);
unsigned TimeScale();

// ---- deterministic mode ----
// BeginDeterministic(seed): from now on the calling thread (the driver) and every thread
// CreateThread makes run one at a time. Critical sections, events, waits, Sleep, thread
// start and exit and the interlocked operations are scheduling points; at each one a
// generator seeded with `seed` picks the next runnable thread. GetTickCount and every
// timeout read a virtual clock that starts at 0 and moves only when no thread can run,
// straight to the earliest deadline. Call it once per process, before the first thread
// is created; there is no way back to threads that run freely.
void BeginDeterministic(uint64_t seed);
// A new run on the driver thread of the last one, once every thread of that run has
// ended: clock, counters and generator start again. false (nothing changed) otherwise.
bool RestartDeterministic(uint64_t seed);
bool Deterministic();  // true on a thread of the deterministic run
// Every thread blocked and no deadline left, or the step limit reached (that many
// scheduling points in a row without the clock advancing or NoteProgress): the handler gets
// a report (one line, then each thread's stack of platform calls) and the process then
// exits with status 3. Without a handler the report goes to stderr.
using DeadlockHandler = std::function<void(const std::string& report)>;
void SetDeadlockHandler(DeadlockHandler handler);
void SetStepLimit(uint64_t points);  // 0 = none
// Ends the deterministic run the same way, for a fault the caller has seen (a call that will
// never return): the report's first line is `why`. From a step hook.
[[noreturn]] void StopRun(const std::string& why);
void NoteProgress();
// On a thread of the deterministic run: returns once every other thread that can run at
// this virtual time has run until it blocks; the clock does not move meanwhile. Takes no
// scheduling point when no other thread can run.
void Settle();  // the driver moved on (a scenario line): the step limit counts afresh
struct SchedulerCounts {
    uint64_t points;     // scheduling points passed
    uint64_t choices;    // points with more than one runnable thread
    uint64_t switches;   // hand-overs from one thread to another
    uint64_t virtualMs;  // the virtual clock
    uint64_t stalls;     // scheduling points that held their thread
};
SchedulerCounts Scheduling();
// A live thread of the deterministic run, as the scheduler sees it.
struct SchedulerThread {
    DWORD id;            // its GetCurrentThreadId
    void* param;         // the parameter CreateThread passed it (NULL for the driver)
    DWORD waitOwner;     // blocked entering a critical section: the section's owner, else 0
    uint64_t waitSince;  // virtual ms when that wait began (0 without one)
    const void* waitKey; // that section's SectionKey, else NULL
    const char* waitCall; // blocked in a wait that is not over: the call, e.g.
                          // "WaitForSingleObject(event, INFINITE)"; else NULL
};
std::vector<SchedulerThread> SchedulerThreads();
// Deterministic runs use one kernel thread for all their threads (each a context of its
// own) where the build allows it; true asks for a kernel thread per thread instead, the
// same schedule played the slow way. Takes effect at the next BeginDeterministic.
void UseKernelThreads(bool kernel);
// Called on the running thread whenever the baton is about to pass to another thread,
// i.e. at every moment another thread could look at the state, and when the clock moves on. Scheduling points inside
// the hook are not counted and hand nothing over, so a hook that only looks (and enters
// only critical sections nobody holds) leaves the schedule as it was.
using StepHook = std::function<void()>;
void SetStepHook(StepHook hook);
// Stalls: at a scheduling point the running thread may be held, runnable, for up to maxMs
// virtual ms while the others run (the clock moves on to the stall's end when none can),
// as a preempted or faulting thread is held on a real machine. One seed in four stalls
// (any thread, or in some seeds only one, by order of creation, the driver's included);
// which seeds and where is drawn from a generator of the stalls' own, so a seed without
// stalls makes exactly the choices it makes with stalls off. 0 (the default) turns them
// off. Takes effect at the next BeginDeterministic or RestartDeterministic.
void SetStalls(DWORD maxMs);
// True when the current run's seed stalls; SeedHasStalls: when a seed would, with stalls on.
bool RunStalls();
bool SeedHasStalls(uint64_t seed);
// Told of each stall on the stalled thread before it is held, with the platform call whose
// scheduling point it is; like the step hook, it may only look and record.
using StallHook = std::function<void(DWORD ms, const char* call)>;
void SetStallHook(StallHook hook);
// The thread id of the owner of a critical section in deterministic mode, 0 when free.
DWORD SectionOwner(CRITICAL_SECTION* cs);
// What names a critical section in SchedulerThread::waitKey.
const void* SectionKey(CRITICAL_SECTION* cs);
// An entry point of a simulated component: a scheduling point, and a frame on the calling
// thread's stack of calls for the time it lives. Does nothing outside deterministic mode.
class CallScope {
public:
    explicit CallScope(const char* call);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
};

// ---- personality: which Windows the platform answers as ----
// Nt: as Windows NT. Win98: as Windows 98 does. The functions the DLL imports that 98
// only stubs fail (FALSE, ERROR_CALL_NOT_IMPLEMENTED), GetVersion/GetVersionExA report
// 4.10 build 1998 on the 9x platform, CreateThread fails (ERROR_INVALID_PARAMETER) without
// a place for the thread id, and CreateFileMappingA ignores the security descriptor (every
// process may open a mapping). The default is $KVMON_OS ("nt" or "win98"), else Nt;
// ResetForTest keeps the personality.
enum class Personality { Nt, Win98 };
void SetPersonality(Personality personality);
Personality CurrentPersonality();
bool ParsePersonality(const std::string& name, Personality* personality);  // "nt", "win98"
const char* PersonalityName(Personality personality);
std::vector<std::string> StubbedFunctions(Personality personality);  // the stubs' names

// ---- fault injection ----
// FailNth(kind, n): the n-th call of that kind counted from now fails as the platform
// fails it (NULL and a last error); n = 0 disables. Calls() counts calls since the last
// FailNth/ResetFaults of that kind, so a test can first count the points of a scenario
// and then fail each one in turn.
enum class Fault { Alloc, Event, Thread, Mapping, View, Count };
void FailNth(Fault kind, unsigned n);
unsigned Calls(Fault kind);
void ResetFaults();

// ---- live object counters (leak checks) ----
long LiveAllocations();   // LocalAlloc blocks not yet freed
long LiveEvents();
long LiveThreads();       // threads created by CreateThread and still running
long LiveThreadHandles(); // thread handles not yet closed
long LiveMappings();      // mapping handles not yet closed
long LiveViews();         // views not yet unmapped
long LiveRegistryKeys();  // registry handles not yet closed
// Deterministic mode keeps the last LocalFree'd blocks filled with poison. This checks and
// lets go of them: "" when none was written after its free, else what was found (also a
// block checked earlier, when it left the quarantine).
std::string CheckFreedBlocks();
// Waits (real time; virtual ms in deterministic mode) until no thread created by
// CreateThread runs; false on timeout.
bool WaitForThreads(unsigned realMs);

// ---- threads ----
struct ThreadRecord {
    SIZE_T stackSize;  // stack size the caller asked for
    int priority;      // last priority set (THREAD_PRIORITY_NORMAL until SetThreadPriority)
};
std::vector<ThreadRecord> CreatedThreads();  // every thread created, in order
void ClearThreadRecords();

// ---- registry ----
void RegistryReset();  // empties the store

// ---- string table ----
// LoadStringA yields the resource text in the platform's ANSI code page, 1251 (a Russian
// system) unless set to 1252 (a Western one); false for any other. These convert between
// that code page and UTF-8 for tests and printing ('?' for a character it lacks).
bool SetAnsiCodePage(UINT cp);
UINT AnsiCodePage();
std::string AnsiToUtf8(const std::string& ansi);
std::string Utf8ToAnsi(const std::string& utf8);

// ---- message box ----
struct MessageBoxRecord {
    std::string text;     // as passed (ANSI, code page 1251)
    std::string caption;  // as passed
    UINT flags;
    int answer;
};
// The hook answers a box (IDRETRY, IDCANCEL, ...). Without a hook a box answers IDCANCEL.
using MessageBoxHook = std::function<int(const MessageBoxRecord&)>;
void SetMessageBoxHook(MessageBoxHook hook);
std::vector<MessageBoxRecord> MessageBoxes();

// ---- window messages ----
struct PostedMessage {
    HWND hwnd;
    UINT msg;
    std::string name;  // registered name of msg, empty if it was not registered
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<PostedMessage> PostedMessages();
using PostHook = std::function<void(const PostedMessage&)>;
void SetPostHook(PostHook hook);

// ---- named mappings ----
// Mappings are POSIX shared memory objects named "/<namespace>.<mapping name>" (with any
// '/' in the name written %2F and '%' written %25), so another process can open them. The namespace
// defaults to $KVMON_SHM_NAMESPACE or "kvmon".
void SetMappingNamespace(const std::string& ns);
std::string MappingNamespace();
std::string ShmObjectName(const std::string& mappingName);
// Whether a named mapping is there and held, without holding it. Held: a process has a
// handle or view of it. Unheld: the object is there but nobody holds it, left by a process
// that ended without closing it (killed); a platform mapping would not exist any more.
enum class MappingPresence { Absent, Held, Unheld };
MappingPresence ProbeMapping(const std::string& mappingName);

// ---- observation hooks (the simulator's timeline) ----
// Called when a view mapped with FILE_MAP_WRITE is unmapped, with the name the mapping
// was created or opened by ("" when unnamed) and the view's bytes, before they go.
using ViewWriteHook = std::function<void(const std::string& mappingName, const std::string& bytes)>;
void SetViewWriteHook(ViewWriteHook hook);

// Called after every WritePrivateProfileStringA, outside the INI lock, with its arguments
// and result.
struct ProfileWrite {
    std::string file;     // as passed
    std::string section;
    bool hasKey;          // false: NULL key (the section is removed)
    std::string key;
    bool hasValue;        // false: NULL value (the key is removed)
    std::string value;
    BOOL result;
};
using ProfileWriteHook = std::function<void(const ProfileWrite&)>;
void SetProfileWriteHook(ProfileWriteHook hook);
// true: from now on each INI file is read from disk once, then kept and changed in memory
// only (for runs whose files nobody else reads); false: read and written on disk. Either
// call forgets what memory held.
void KeepProfilesInMemory(bool on);

// ---- holds: a test stops a thread at a platform call until it lets it go ----
// Called on the calling thread, before the call goes on: at the start of Sleep ("Sleep",
// the ms asked for) and in CreateThread once the new thread has been started ("CreateThread",
// its id). The hook may block; the thread then waits at exactly that point.
using HoldHook = std::function<void(const std::string& call, DWORD value)>;
void SetHoldHook(HoldHook hook);

// ---- the debugger ----
// Receives each OutputDebugStringA text; without a hook the texts go nowhere.
using DebugOutputHook = std::function<void(const std::string& text)>;
void SetDebugOutputHook(DebugOutputHook hook);

// Clears logs, hooks, faults, thread records and the registry; keeps the time scale.
void ResetForTest();

}  // namespace kvplat

#endif  // KVMON_PLATFORM_KVPLATFORM_H
