// The set-up of a deterministic run and what it tells: seeding, stalls, hooks, limits and
// the counts and threads of the scheduler (sched.cpp), as kvplatform.h offers them.
#include <cstdint>
#include <mutex>
#include <vector>

#include "fiber.h"
#include "internal.h"
#include "schedstate.h"

namespace kvplat {
namespace detail {

// The density of a seed's stalls (1 scheduling point in that many holds its thread), 0 for
// a seed without: drawn from a generator of the stalls' own, so that the choices of a
// seed without stalls are those it always made. One seed in four stalls, at one of three
// densities. *state is left where the stalls of the run go on drawing.
unsigned StallOdds(uint64_t seed, uint64_t* state)
{
    static const unsigned kOdds[] = {4, 16, 64};
    *state = seed ^ 0x736C6174732D3031ull;
    uint64_t r = Mix(state);
    return r % 4 == 0 ? kOdds[(r >> 8) % 3] : 0;
}

// Which threads a seed with stalls holds: all of them in half the seeds; in the others
// only one, by its order of creation (the driver, the first thread made, the second),
// so that the rest run freely past the held one, as the races worth finding need.
void SeedStalls(Scheduler& s, uint64_t seed)
{
    s.stallOdds = StallOdds(seed, &s.stallState);
    if (s.stallMaxMs == 0)
        s.stallOdds = 0;
    s.stallOnly = UINT_MAX;
    if (s.stallOdds != 0) {
        uint64_t r = Mix(&s.stallState) % 6;
        s.stallOnly = r < 3 ? static_cast<unsigned>(r) : UINT_MAX;
    }
    s.stalls = 0;
}

}  // namespace detail

void BeginDeterministic(uint64_t seed)
{
    detail::Scheduler& s = detail::S();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.state = seed;
    s.now = 0;
    detail::SeedStalls(s, seed);
    auto* driver = new detail::SchedThread;
    driver->id = GetCurrentThreadId();
    s.fibers = detail::FibersAvailable() && !s.kernelThreads;
    if (s.fibers)
        driver->fiber = detail::FiberOfCaller();
    s.threads.assign(1, driver);
    s.current = driver;
    detail::t_self = driver;
}

bool RestartDeterministic(uint64_t seed)
{
    detail::Scheduler& s = detail::S();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (detail::t_self == nullptr || s.threads.empty() || detail::t_self != s.threads[0])
        return false;
    for (const detail::SchedThread* t : s.threads) {
        if (t != s.threads[0] && !t->done)
            return false;
    }
    // Parked threads are gone once done; their records are not reused.
    s.threads.resize(1);
    s.state = seed;
    s.now = 0;
    s.points = s.choices = s.switches = s.idlePoints = 0;
    detail::SeedStalls(s, seed);
    return true;
}

bool Deterministic()
{
    return detail::t_self != nullptr;
}

void SetDeadlockHandler(DeadlockHandler handler)
{
    std::lock_guard<std::mutex> lock(detail::S().mutex);
    detail::S().onDeadlock = std::move(handler);
}

void StopRun(const std::string& why)
{
    std::unique_lock<std::mutex> lock(detail::S().mutex);
    detail::StopLocked(detail::S(), why);
}

void SetStepLimit(uint64_t points)
{
    std::lock_guard<std::mutex> lock(detail::S().mutex);
    detail::S().stepLimit = points;
}

void UseKernelThreads(bool kernel)
{
    std::lock_guard<std::mutex> lock(detail::S().mutex);
    detail::S().kernelThreads = kernel;
}

void SetStepHook(StepHook hook)
{
    std::lock_guard<std::mutex> lock(detail::S().mutex);
    detail::S().onStep = std::move(hook);
}

void SetStalls(DWORD maxMs)
{
    std::lock_guard<std::mutex> lock(detail::S().mutex);
    detail::S().stallMaxMs = maxMs;
}

void SetStallHook(StallHook hook)
{
    std::lock_guard<std::mutex> lock(detail::S().mutex);
    detail::S().onStall = std::move(hook);
}

bool SeedHasStalls(uint64_t seed)
{
    uint64_t state = 0;
    return detail::StallOdds(seed, &state) != 0;
}

bool RunStalls()
{
    std::lock_guard<std::mutex> lock(detail::S().mutex);
    return detail::S().stallOdds != 0;
}

std::vector<SchedulerThread> SchedulerThreads()
{
    detail::Scheduler& s = detail::S();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::vector<SchedulerThread> out;
    for (const detail::SchedThread* t : s.threads) {
        if (t->done)
            continue;
        const detail::SchedThread* owner = t->waitLock != nullptr ? t->waitLock->owner : nullptr;
        // A wait whose object is signalled is over: the thread only waits for the baton.
        const char* waitCall = t->blocked && !t->calls.empty() && !(t->ready && t->ready()) ? t->calls.back() : nullptr;
        out.push_back(SchedulerThread{t->id, t->param, owner != nullptr ? owner->id : 0,
                                      owner != nullptr ? t->waitSince : 0, owner != nullptr ? t->waitLock : nullptr,
                                      waitCall});
    }
    return out;
}

SchedulerCounts Scheduling()
{
    detail::Scheduler& s = detail::S();
    std::lock_guard<std::mutex> lock(s.mutex);
    return SchedulerCounts{s.points, s.choices, s.switches, s.now, s.stalls};
}

CallScope::CallScope(const char* call)
{
    detail::SchedPoint(call);
    detail::SchedPushCall(call);
}

CallScope::~CallScope()
{
    detail::SchedPopCall();
}

}  // namespace kvplat
