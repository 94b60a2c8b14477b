// Threads: creation with their own ids, priorities recorded, the live count and the
// records of what was asked, each with its deterministic-mode path (a fiber, or a kernel
// thread that waits for the scheduler's baton).
#include "internal.h"
#include "sched.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace kvplat {
namespace detail {
namespace {

// Requested stack size and last priority of one created thread. The thread object and
// the record list share it, so clearing the list never invalidates a running thread.
struct ThreadCell {
    SIZE_T stackSize = 0;
    std::atomic<int> priority{THREAD_PRIORITY_NORMAL};
};

std::atomic<long> g_liveThreadHandles{0};

struct ThreadObject : Waitable {
    ThreadObject() : Waitable(Kind::Thread, true, false) {}
    void OnClose() override { g_liveThreadHandles.fetch_sub(1); }
    DWORD id = 0;
    LPTHREAD_START_ROUTINE proc = nullptr;
    LPVOID param = nullptr;
    std::shared_ptr<ThreadCell> cell;
    SchedThread* sched = nullptr;  // deterministic mode: its place in the scheduler
};

// Running threads and the record list. LiveThreads and the end of a thread are read and
// written under one lock, together with the thread's own signal, so that whoever
// sees a thread ended also sees it gone from the live count, and the other way round.
// Never destroyed: detached threads may still end while the process exits.
struct ThreadState {
    std::mutex mutex;
    std::condition_variable allDone;
    long live = 0;
    std::vector<std::shared_ptr<ThreadCell>> records;
};
ThreadState& Threads()
{
    static ThreadState* state = new ThreadState;
    return *state;
}

// Thread ids are our own numbers, so CreateThread can report the id before the thread runs;
// threads not created by CreateThread get one at their first GetCurrentThreadId.
std::atomic<DWORD> g_nextThreadId{0x1000};
thread_local DWORD t_threadId = 0;

DWORD NewThreadId()
{
    return g_nextThreadId.fetch_add(4);
}

}  // namespace

void SetThreadIdOfCaller(DWORD id)
{
    t_threadId = id;
}

namespace {

// The thread's life after its start: the procedure, then its end made visible to waiters.
void RunThread(const std::shared_ptr<ThreadObject>& self)
{
    self->proc(self->param);
    if (self->sched != nullptr)
        SchedPoint("thread exit");

    ThreadState& threads = Threads();
    std::lock_guard<std::mutex> lock(threads.mutex);
    --threads.live;
    {
        std::lock_guard<std::mutex> own(self->mutex);
        self->signalled = true;
        self->cv.notify_all();
    }
    threads.allDone.notify_all();
}

std::shared_ptr<ThreadObject> TakeStart(void* arg)
{
    std::shared_ptr<ThreadObject> self = std::move(*static_cast<std::shared_ptr<ThreadObject>*>(arg));
    delete static_cast<std::shared_ptr<ThreadObject>*>(arg);
    return self;
}

void* ThreadMain(void* arg)
{
    std::shared_ptr<ThreadObject> self = TakeStart(arg);
    t_threadId = self->id;
    if (self->sched != nullptr)
        SchedEnterThread(self->sched);
    RunThread(self);
    if (self->sched != nullptr) {
        self.reset();
        SchedExitThread();
    }
    return nullptr;
}

// A fiber's body; the scheduler ends the fiber when it returns.
void FiberBody(void* arg)
{
    RunThread(TakeStart(arg));
}

}  // namespace

void ResetThreadRecords()
{
    std::lock_guard<std::mutex> lock(Threads().mutex);
    Threads().records.clear();
}

}  // namespace detail

long LiveThreads()
{
    std::lock_guard<std::mutex> lock(detail::Threads().mutex);
    return detail::Threads().live;
}

long LiveThreadHandles()
{
    return detail::g_liveThreadHandles.load();
}

bool WaitForThreads(unsigned realMs)
{
    detail::ThreadState& threads = detail::Threads();
    if (detail::SchedManaged()) {
        // Virtual ms in deterministic mode.
        return detail::SchedBlock("WaitForThreads", [&threads] {
            std::lock_guard<std::mutex> lock(threads.mutex);
            return threads.live == 0;
        }, realMs);
    }
    std::unique_lock<std::mutex> lock(threads.mutex);
    return threads.allDone.wait_for(lock, std::chrono::milliseconds(realMs), [&threads] { return threads.live == 0; });
}

std::vector<ThreadRecord> CreatedThreads()
{
    std::lock_guard<std::mutex> lock(detail::Threads().mutex);
    std::vector<ThreadRecord> out;
    for (const auto& cell : detail::Threads().records)
        out.push_back(ThreadRecord{cell->stackSize, cell->priority.load()});
    return out;
}

void ClearThreadRecords()
{
    detail::ResetThreadRecords();
}

}  // namespace kvplat

using kvplat::detail::Kind;
using kvplat::detail::ThreadObject;

extern "C" {

// ---- threads ----
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE start, LPVOID param,
                           DWORD, LPDWORD lpThreadId)
{
    using namespace kvplat::detail;
    if (ShouldFail(kvplat::Fault::Thread)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    // Windows 9x writes the thread id unconditionally and refuses a NULL place for it.
    if (start == nullptr || (lpThreadId == nullptr && Win9x())) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }

    auto thread = std::make_shared<ThreadObject>();
    thread->id = NewThreadId();
    thread->proc = start;
    thread->param = param;
    thread->cell = std::make_shared<ThreadCell>();
    thread->cell->stackSize = dwStackSize;

    // The requested size is recorded as asked, but the real stack is at least 512 KiB:
    // the monitor asks for small stacks that sanitizer builds would overflow.
    const SIZE_T minStack = 512 * 1024;
    SIZE_T realStack = std::max<SIZE_T>(dwStackSize, minStack);
    realStack = (realStack + 4095) & ~static_cast<SIZE_T>(4095);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (pthread_attr_setstacksize(&attr, realStack) != 0) {
        pthread_attr_destroy(&attr);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }

    if (SchedManaged())
        thread->sched = SchedAddThread(thread->id, param);
    ThreadState& threads = Threads();
    {
        std::lock_guard<std::mutex> lock(threads.mutex);
        ++threads.live;
        threads.records.push_back(thread->cell);
    }
    auto* arg = new std::shared_ptr<ThreadObject>(thread);
    bool started;
    if (SchedFibers()) {
        started = SchedStartFiber(thread->sched, realStack, FiberBody, arg);
    } else {
        pthread_t tid;
        started = pthread_create(&tid, &attr, ThreadMain, arg) == 0;
    }
    pthread_attr_destroy(&attr);
    if (!started) {
        delete arg;
        if (thread->sched != nullptr)
            SchedDropThread(thread->sched);
        std::lock_guard<std::mutex> lock(threads.mutex);
        --threads.live;
        auto& records = threads.records;
        records.erase(std::remove(records.begin(), records.end(), thread->cell), records.end());
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }

    g_liveThreadHandles.fetch_add(1);
    if (lpThreadId != nullptr)
        *lpThreadId = thread->id;
    DWORD id = thread->id;
    HANDLE h = RegisterHandle(std::move(thread));
    Hold("CreateThread", id);
    SchedPoint("CreateThread");
    return h;
}

// The priority is recorded, not applied: raising priorities needs privileges on POSIX
// and the simulation does not depend on scheduling.
BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority)
{
    auto thread = kvplat::detail::LookupAs<ThreadObject>(hThread, Kind::Thread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (nPriority < -15 || nPriority > 15) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    thread->cell->priority.store(nPriority);
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE hThread)
{
    auto thread = kvplat::detail::LookupAs<ThreadObject>(hThread, Kind::Thread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    return thread->cell->priority.load();
}

DWORD WINAPI GetCurrentThreadId(void)
{
    if (kvplat::detail::t_threadId == 0)
        kvplat::detail::t_threadId = kvplat::detail::NewThreadId();
    return kvplat::detail::t_threadId;
}

}  // extern "C"
