// The deterministic scheduler: only the thread holding the baton runs. Every scheduling
// point asks the seeded generator which runnable thread goes next (only when there is a
// choice, so the same seed makes the same choices). When no thread can run, the virtual
// clock jumps to the earliest deadline; with no deadline left the run is deadlocked and
// every thread's stack of platform calls is reported.
#include "schedstate.h"

#include <semaphore.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "fiber.h"
#include "internal.h"

namespace kvplat {
namespace detail {

thread_local SchedThread* t_self = nullptr;

Scheduler& S()
{
    static Scheduler* s = new Scheduler;
    return *s;
}

namespace {

uint64_t NextRandom(Scheduler& s)
{
    return Mix(&s.state);
}

// The stall of `self` at this scheduling point in ms, 0 for none (always 0 in a run
// without stalls, which never draws).
DWORD DrawStall(Scheduler& s, const SchedThread* self)
{
    if (s.stallOdds == 0 || (s.stallOnly != UINT_MAX && self->index != s.stallOnly))
        return 0;
    uint64_t r = Mix(&s.stallState);
    if (r % s.stallOdds != 0)
        return 0;
    return 1 + static_cast<DWORD>((r >> 16) % s.stallMaxMs);
}
bool Runnable(const SchedThread* t, uint64_t now)
{
    if (t->done)
        return false;
    if (!t->blocked)
        return true;
    return t->deadline <= now || (t->ready && t->ready());
}

// Picks the next holder of the baton; advances the clock when nobody can run.
SchedThread* PickLocked(Scheduler& s)
{
    std::vector<SchedThread*> runnable;
    s.advanced = false;
    for (;;) {
        runnable.clear();
        uint64_t earliest = UINT64_MAX;
        for (SchedThread* t : s.threads) {
            if (Runnable(t, s.now))
                runnable.push_back(t);
            else if (!t->done && t->blocked && t->deadline < earliest)
                earliest = t->deadline;
        }
        if (!runnable.empty())
            break;
        if (earliest == UINT64_MAX) {
            char why[80];
            std::snprintf(why, sizeof why, "deadlock at %llu ms: every thread is blocked and no wait has a deadline",
                          static_cast<unsigned long long>(s.now));
            StopLocked(s, why);
        }
        s.now = earliest;
        s.advanced = true;
        s.idlePoints = 0;
    }
    if (runnable.size() == 1)
        return runnable[0];
    s.choices++;
    return runnable[NextRandom(s) % runnable.size()];
}

// Waits for the baton on the thread's own semaphore (one post per hand-over).
void WaitForBaton(SchedThread* self)
{
    while (sem_wait(&self->wake) != 0 && errno == EINTR) {
    }
}

// Runs the step hook before the baton leaves the running thread, or when the clock moved
// on, without the lock.
void BeforeHandOver(Scheduler& s, std::unique_lock<std::mutex>& lock, SchedThread* self, SchedThread* next)
{
    if ((next == self && !s.advanced) || !s.onStep || s.inHook)
        return;
    lock.unlock();
    s.inHook = true;
    s.onStep();
    s.inHook = false;
    lock.lock();
}

// What the platform keeps per kernel thread, put back when a fiber resumes.
void RestoreThreadState(SchedThread* self)
{
    t_self = self;
    SetThreadIdOfCaller(self->id);
    SetLastError(self->lastError);
}

// Hands the baton to `next` and waits until it comes back to the caller. The scheduler's
// lock is let go in between, so that the woken thread does not wait for it.
void HandOver(Scheduler& s, std::unique_lock<std::mutex>& lock, SchedThread* self, SchedThread* next)
{
    if (next == self)
        return;
    s.switches++;
    s.current = next;
    lock.unlock();
    if (s.fibers) {
        self->lastError = GetLastError();
        FiberSwitch(self->fiber, next->fiber);
        RestoreThreadState(self);
    } else {
        sem_post(&next->wake);
        WaitForBaton(self);
    }
    lock.lock();
}

// Threads that keep running while neither the clock nor the driver moves on are stuck in a
// livelock; a long run that keeps waiting on the clock is not.
void CountPoint(Scheduler& s)
{
    s.points++;
    if (++s.idlePoints == s.stepLimit) {
        char why[160];
        std::snprintf(why, sizeof why,
                      "livelock at %llu ms: %llu scheduling points without the clock or the driver moving on",
                      static_cast<unsigned long long>(s.now), static_cast<unsigned long long>(s.idlePoints));
        StopLocked(s, why);
    }
}

// Blocks the running thread until ready() holds or `ms` virtual ms have passed, handing
// the baton on meanwhile. Returns true when ready() held.
bool BlockLocked(Scheduler& s, std::unique_lock<std::mutex>& lock, SchedThread* self,
                 const std::function<bool()>& ready, DWORD ms)
{
    self->blocked = true;
    self->ready = ready;
    self->deadline = ms == INFINITE ? UINT64_MAX : s.now + ms;
    SchedThread* next = PickLocked(s);
    BeforeHandOver(s, lock, self, next);
    HandOver(s, lock, self, next);
    bool ok = ready && ready();
    self->blocked = false;
    self->ready = nullptr;
    self->deadline = UINT64_MAX;
    return ok;
}

// Holds the running thread, runnable as it is, for ms virtual ms: the others run, and the
// clock moves on to the stall's end when none of them can.
void Stall(Scheduler& s, std::unique_lock<std::mutex>& lock, SchedThread* self, const char* call, DWORD ms)
{
    s.stalls++;
    if (s.onStall) {
        lock.unlock();
        s.inHook = true;
        s.onStall(ms, call);
        s.inHook = false;
        lock.lock();
    }
    BlockLocked(s, lock, self, nullptr, ms);
}

}  // namespace

void StopLocked(Scheduler& s, const std::string& why)
{
    std::string report = why + "\n";
    for (const SchedThread* t : s.threads) {
        if (t->done)
            continue;
        char head[64];
        std::snprintf(head, sizeof head, "  %s %u (id 0x%lx):", t->index == 0 ? "driver" : "thread", t->index,
                      static_cast<unsigned long>(t->id));
        report += head;
        if (t->calls.empty())
            report += " running";
        for (size_t i = 0; i < t->calls.size(); i++)
            report += std::string(i == 0 ? " " : " > ") + t->calls[i];
        if (t->blocked && t->deadline != UINT64_MAX)
            report += " (until " + std::to_string(t->deadline) + " ms)";
        report += "\n";
    }
    if (s.onDeadlock)
        s.onDeadlock(report);
    else
        std::fputs(report.c_str(), stderr);
    std::fflush(nullptr);
    _exit(3);
}

bool SchedManaged()
{
    return t_self != nullptr;
}

void SchedPoint(const char* call)
{
    SchedThread* self = t_self;
    if (self == nullptr)
        return;
    Scheduler& s = S();
    if (s.inHook)
        return;
    std::unique_lock<std::mutex> lock(s.mutex);
    self->calls.push_back(call);
    CountPoint(s);
    if (DWORD ms = DrawStall(s, self)) {
        Stall(s, lock, self, call, ms);
    } else {
        SchedThread* next = PickLocked(s);
        BeforeHandOver(s, lock, self, next);
        HandOver(s, lock, self, next);
    }
    self->calls.pop_back();
}

bool SchedBlock(const char* call, const std::function<bool()>& ready, DWORD ms)
{
    SchedThread* self = t_self;
    Scheduler& s = S();
    if (s.inHook) {
        std::fprintf(stderr, "kvplatform: a step hook would block in %s\n", call);
        std::abort();
    }
    std::unique_lock<std::mutex> lock(s.mutex);
    self->calls.push_back(call);
    CountPoint(s);
    bool ok = BlockLocked(s, lock, self, ready, ms);
    self->calls.pop_back();
    return ok;
}

SchedThread* SchedAddThread(DWORD id, void* param)
{
    Scheduler& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto* t = new SchedThread;
    t->id = id;
    t->param = param;
    t->index = static_cast<unsigned>(s.threads.size());
    s.threads.push_back(t);
    return t;
}

void SchedEnterThread(SchedThread* self)
{
    t_self = self;
    WaitForBaton(self);
}

void SchedExitThread()
{
    SchedThread* self = t_self;
    Scheduler& s = S();
    SchedThread* next;
    if (s.onStep) {
        s.inHook = true;
        s.onStep();
        s.inHook = false;
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        self->done = true;
        t_self = nullptr;
        next = PickLocked(s);
        s.switches++;
        s.current = next;
    }
    if (s.fibers) {
        Fiber* own = self->fiber;
        self->fiber = nullptr;
        FiberExit(own, next->fiber);
    }
    sem_post(&next->wake);
}

bool SchedFibers()
{
    return t_self != nullptr && S().fibers;
}

namespace {
struct FiberStart {
    SchedThread* self;
    void (*body)(void*);
    void* arg;
};

void FiberMain(void* p)
{
    FiberStart start = *static_cast<FiberStart*>(p);
    delete static_cast<FiberStart*>(p);
    RestoreThreadState(start.self);
    start.body(start.arg);
    SchedExitThread();
}
}  // namespace

bool SchedStartFiber(SchedThread* t, size_t stackSize, void (*body)(void*), void* arg)
{
    auto* start = new FiberStart{t, body, arg};
    Fiber* f = FiberNew(stackSize, FiberMain, start);
    if (f == nullptr) {
        delete start;
        return false;
    }
    std::lock_guard<std::mutex> lock(S().mutex);
    t->fiber = f;
    return true;
}

void SchedDropThread(SchedThread* t)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    t->done = true;
}

uint64_t SchedNow()
{
    Scheduler& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.now;
}

}  // namespace detail

void NoteProgress()
{
    std::lock_guard<std::mutex> lock(detail::S().mutex);
    detail::S().idlePoints = 0;
}

void Settle()
{
    detail::SchedThread* self = detail::t_self;
    if (self == nullptr)
        return;
    detail::Scheduler& s = detail::S();
    auto othersRunnable = [&s, self] {
        for (const detail::SchedThread* t : s.threads) {
            if (t != self && detail::Runnable(t, s.now))
                return true;
        }
        return false;
    };
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!othersRunnable())
            return;
    }
    // Ready once no other thread can run; the clock cannot move while this one can.
    detail::SchedBlock("Settle", [othersRunnable] { return !othersRunnable(); }, INFINITE);
}

}  // namespace kvplat
