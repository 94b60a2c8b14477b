// The state of the deterministic scheduler, shared by the scheduler itself (sched.cpp) and
// the set-up and inspection of its runs (schedrun.cpp).
#ifndef KVMON_PLATFORM_SCHEDSTATE_H
#define KVMON_PLATFORM_SCHEDSTATE_H

#include <semaphore.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "fiber.h"
#include "kvplatform.h"
#include "sched.h"

namespace kvplat {
namespace detail {

struct SchedThread {
    unsigned index = 0;                 // 0 = the driver, then in order of creation
    DWORD id = 0;                       // its GetCurrentThreadId
    bool done = false;                  // its procedure returned
    bool blocked = false;               // in SchedBlock
    std::function<bool()> ready;        // what ends the block (empty: only the deadline)
    uint64_t deadline = UINT64_MAX;     // virtual ms that ends the block
    sem_t wake;                         // posted when the baton reaches this thread (kernel threads)
    Fiber* fiber = nullptr;             // its context (fibers)
    DWORD lastError = 0;                // its last error while another fiber runs
    std::vector<const char*> calls;     // platform calls in progress, outermost first
    void* param = nullptr;              // what CreateThread passed it
    const SchedLock* waitLock = nullptr;  // the critical section it is blocked on, or none
    uint64_t waitSince = 0;             // virtual ms when that wait began

    SchedThread() { sem_init(&wake, 0, 0); }
};

struct Scheduler {
    std::mutex mutex;
    uint64_t state = 0;                 // generator state (splitmix64)
    uint64_t now = 0;                   // virtual ms
    uint64_t points = 0;                // scheduling points passed
    uint64_t idlePoints = 0;            // points since the clock or the driver last moved on
    uint64_t choices = 0;               // points where the generator chose
    uint64_t switches = 0;              // hand-overs to another thread
    uint64_t stepLimit = 0;             // 0 = none
    bool fibers = false;                // threads are fibers on the driver's kernel thread
    bool kernelThreads = false;         // asked for: one kernel thread per thread
    StepHook onStep;                    // called before every hand-over
    StallHook onStall;                  // told of every stall, on the stalled thread
    DWORD stallMaxMs = 0;               // longest stall; 0 = no stalls in any run
    uint64_t stallState = 0;            // the stalls' own generator, seeded from the run's seed
    unsigned stallOdds = 0;             // this run: 1 point in stallOdds stalls; 0 = none
    unsigned stallOnly = UINT_MAX;      // this run stalls only the thread of this index (UINT_MAX: any)
    uint64_t stalls = 0;                // stalls so far
    bool inHook = false;                // onStep runs: scheduling points do nothing
    bool advanced = false;              // the last pick moved the clock on
    std::vector<SchedThread*> threads;  // this run's threads; records are never freed (small)
    SchedThread* current = nullptr;     // holder of the baton
    DeadlockHandler onDeadlock;
};
Scheduler& S();

// The calling thread's record, nullptr outside deterministic mode.
extern thread_local SchedThread* t_self;

// One step of splitmix64.
inline uint64_t Mix(uint64_t* state)
{
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Ends the run with a report whose first line is `why`, the process with status 3. Under
// the scheduler's lock (sched.cpp).
[[noreturn]] void StopLocked(Scheduler& s, const std::string& why);

// Draws the current run's stalls from its seed (schedrun.cpp).
void SeedStalls(Scheduler& s, uint64_t seed);

}  // namespace detail
}  // namespace kvplat

#endif  // KVMON_PLATFORM_SCHEDSTATE_H
