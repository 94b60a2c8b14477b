// The deterministic scheduler behind kvplat::BeginDeterministic: one baton passed between
// the driver thread and the threads CreateThread made, a seeded choice at every
// scheduling point, and a virtual clock that jumps to the earliest deadline when every
// thread is blocked.
#ifndef KVMON_PLATFORM_SCHED_H
#define KVMON_PLATFORM_SCHED_H

#include <windows.h>

#include <cstdint>
#include <functional>

namespace kvplat {
namespace detail {

struct SchedThread;

// True while deterministic mode is on and the calling thread is one of its threads.
bool SchedManaged();

// A scheduling point: the generator may hand the baton to another runnable thread.
void SchedPoint(const char* call);

// Blocks the calling thread until ready() holds or the virtual clock reaches `ms` from
// now (INFINITE: no deadline). Returns true when ready() held, false on the deadline.
// ready may be empty (then only the deadline ends the block). ready() runs under the
// scheduler's lock while the caller is blocked, so it may only read state.
bool SchedBlock(const char* call, const std::function<bool()>& ready, DWORD ms);

// Registers a thread about to be created (param: what CreateThread passes it); it stays
// parked until the baton reaches it.
SchedThread* SchedAddThread(DWORD id, void* param);
// The first thing the new thread does: waits for the baton.
void SchedEnterThread(SchedThread* self);
// The last thing a thread does: hands the baton on for good.
void SchedExitThread();

// Threads of this run are fibers on the driver's kernel thread (see fiber.h).
bool SchedFibers();
// Gives a registered thread its fiber, which runs body(arg) once the baton reaches it;
// false when no stack can be had.
bool SchedStartFiber(SchedThread* t, size_t stackSize, void (*body)(void*), void* arg);
// A registered thread that never started: it is never chosen.
void SchedDropThread(SchedThread* t);

// Virtual ms since BeginDeterministic.
uint64_t SchedNow();

// Pushes and pops an entry of the calling thread's stack of platform calls (for the
// deadlock report).
void SchedPushCall(const char* call);
void SchedPopCall();

// Critical sections in deterministic mode: an owner and a recursion count.
struct SchedLock {
    SchedThread* owner = nullptr;
    unsigned count = 0;
};
void SchedEnter(SchedLock* lock);
void SchedLeave(SchedLock* lock);
// Thread id of the lock's owner, 0 when free.
DWORD SchedLockOwner(const SchedLock* lock);

}  // namespace detail
}  // namespace kvplat

#endif  // KVMON_PLATFORM_SCHED_H
