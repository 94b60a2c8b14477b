// Contexts on one kernel thread, for the deterministic scheduler's threads.
#ifndef KVMON_PLATFORM_FIBER_H
#define KVMON_PLATFORM_FIBER_H

#include <cstddef>

namespace kvplat {
namespace detail {

struct Fiber;

// false in sanitizer builds: the scheduler then gives every thread a kernel thread.
bool FibersAvailable();
// A record for the calling context (the driver), to switch away from and back to.
Fiber* FiberOfCaller();
// A fiber that runs entry(arg) on a stack of at least stackSize bytes the first time it is
// switched to. entry must end with FiberExit. Null when no stack can be had.
Fiber* FiberNew(size_t stackSize, void (*entry)(void*), void* arg);
// Saves the running context into `from` and resumes `to`; returns when something
// switches back to `from`.
void FiberSwitch(Fiber* from, Fiber* to);
// Resumes `to` for good: `from` has ended and its stack goes back to the pool.
[[noreturn]] void FiberExit(Fiber* from, Fiber* to);

}  // namespace detail
}  // namespace kvplat

#endif  // KVMON_PLATFORM_FIBER_H
