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

#include <cstdint>

#include <cstring>
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
    void* sp = nullptr;           // x86-64: its stack pointer while switched away from
    void* stack = nullptr;        // base of the mapping (guard page first); null: the driver's
    size_t stackSize = 0;         // usable bytes above the guard page
    void (*entry)(void*) = nullptr;  // what the fiber runs, once
    void* arg = nullptr;             // its argument
};

namespace {

const size_t kGuard = 4096;

#if defined(__x86_64__) && !defined(KVPLAT_NO_FIBERS)
// Saves the callee-saved registers, the SSE and x87 control words and the stack pointer
// of the running context in *from, and resumes the one saved at `to`. Unlike swapcontext
// it leaves the signal mask alone (every fiber shares the driver's), which spares a
// system call per switch.
extern "C" void kvplat_fiber_switch(void** from, void* to);
asm(R"(
    .text
    .p2align 4
    .type kvplat_fiber_switch, @function
kvplat_fiber_switch:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size kvplat_fiber_switch, .-kvplat_fiber_switch
)");
const bool kOwnSwitch = true;
#else
void kvplat_fiber_switch(void**, void*)
{
    __builtin_trap();
}
const bool kOwnSwitch = false;
#endif

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

[[noreturn]] void Trampoline()
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
    if (kOwnSwitch) {
        // The first switch pops what kvplat_fiber_switch pushes, then "returns" into
        // Trampoline as if it had been called: the stack pointer it finds is 8 past a
        // 16-byte boundary, as after a call.
        uintptr_t top = reinterpret_cast<uintptr_t>(f->stack) + kGuard + f->stackSize;
        auto* frame = reinterpret_cast<uint64_t*>(((top - 80) & ~static_cast<uintptr_t>(15)) + 8);
        frame[8] = 0;  // where Trampoline's own return address would be
        frame[7] = reinterpret_cast<uint64_t>(&Trampoline);
        for (int i = 1; i < 7; i++)
            frame[i] = 0;  // rbp, rbx, r12-r15
        uint32_t mxcsr;
        uint16_t fpucw;
        asm volatile("stmxcsr %0" : "=m"(mxcsr));
        asm volatile("fnstcw %0" : "=m"(fpucw));
        std::memcpy(&frame[0], &mxcsr, sizeof mxcsr);
        std::memcpy(reinterpret_cast<char*>(&frame[0]) + 4, &fpucw, sizeof fpucw);
        f->sp = frame;
        return f;
    }
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
    if (kOwnSwitch)
        kvplat_fiber_switch(&from->sp, to->sp);
    else
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
    if (kOwnSwitch) {
        // Where the ended fiber's registers go: nobody resumes it.
        void* discard = nullptr;
        kvplat_fiber_switch(&discard, to->sp);
    } else {
        setcontext(&to->context);
    }
    __builtin_trap();
}

}  // namespace detail
}  // namespace kvplat
