// Fibers for the deterministic scheduler: every thread of a deterministic run is a
// context on the driver's own kernel thread, so handing the baton over is a register
// switch instead of a semaphore post, a wait and a context switch of the kernel.
//
// Stacks come from a pool and go back to it when their fiber has ended; a stack is never
// freed while the process runs, so the pages a schedule touched serve the next one.
// Sanitizer builds keep one kernel thread per simulated thread: their run-time checks
// follow kernel threads, not contexts switched behind their back.
#include "fiber.h"

#include <sys/mman.h>
#include <ucontext.h>

#include <mutex>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define KVPLAT_NO_FIBERS 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KVPLAT_NO_FIBERS 1
#endif

namespace kvplat {
namespace detail {

struct Fiber {
    ucontext_t context;           // registers saved when the fiber is switched away from
    void* stack = nullptr;        // base of the mapping (guard page first); null: the driver's
    size_t stackSize = 0;         // usable bytes above the guard page
    void (*entry)(void*) = nullptr;  // what the fiber runs, once
    void* arg = nullptr;             // its argument
};

namespace {

const size_t kGuard = 4096;

// Stacks of ended fibers, ready for the next one. Never destroyed, like all state of this
// library.
struct Pool {
    std::mutex mutex;
    std::vector<Fiber*> idle;   // ended fibers whose stacks can be taken again
};
Pool& ThePool()
{
    static Pool* pool = new Pool;
    return *pool;
}

// The fiber being started: makecontext passes int arguments only.
thread_local Fiber* t_starting = nullptr;

void Trampoline()
{
    Fiber* self = t_starting;
    t_starting = nullptr;
    self->entry(self->arg);
    // The entry ends with FiberExit; a fiber never returns from its first frame.
    __builtin_trap();
}

Fiber* TakeIdle(size_t stackSize)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    for (size_t i = 0; i < pool.idle.size(); i++) {
        if (pool.idle[i]->stackSize >= stackSize) {
            Fiber* f = pool.idle[i];
            pool.idle[i] = pool.idle.back();
            pool.idle.pop_back();
            return f;
        }
    }
    return nullptr;
}

}  // namespace

bool FibersAvailable()
{
#ifdef KVPLAT_NO_FIBERS
    return false;
#else
    return true;
#endif
}

Fiber* FiberOfCaller()
{
    return new Fiber;
}

Fiber* FiberNew(size_t stackSize, void (*entry)(void*), void* arg)
{
    stackSize = (stackSize + 4095) & ~static_cast<size_t>(4095);
    Fiber* f = TakeIdle(stackSize);
    if (f == nullptr) {
        void* base = mmap(nullptr, stackSize + kGuard, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                          -1, 0);
        if (base == MAP_FAILED)
            return nullptr;
        // A stack overflow faults on the guard page instead of running into the next stack.
        mprotect(base, kGuard, PROT_NONE);
        f = new Fiber;
        f->stack = base;
        f->stackSize = stackSize;
    }
    f->entry = entry;
    f->arg = arg;
    getcontext(&f->context);
    f->context.uc_stack.ss_sp = static_cast<char*>(f->stack) + kGuard;
    f->context.uc_stack.ss_size = f->stackSize;
    f->context.uc_link = nullptr;
    makecontext(&f->context, Trampoline, 0);
    return f;
}

void FiberSwitch(Fiber* from, Fiber* to)
{
    t_starting = to;
    swapcontext(&from->context, &to->context);
}

void FiberExit(Fiber* from, Fiber* to)
{
    {
        // Safe to hand out again: the only fiber that could run on it is switched away
        // from below, and nothing runs in between on this kernel thread.
        Pool& pool = ThePool();
        std::lock_guard<std::mutex> lock(pool.mutex);
        pool.idle.push_back(from);
    }
    t_starting = to;
    setcontext(&to->context);
    __builtin_trap();
}

}  // namespace detail
}  // namespace kvplat
