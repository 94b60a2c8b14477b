// Critical sections, events and waits, each with its deterministic-mode path.
#include "internal.h"
#include "sched.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace kvplat {
namespace detail {
namespace {

std::atomic<long> g_liveEvents{0};

struct EventObject : Waitable {
    EventObject(bool manual, bool initial) : Waitable(Kind::Event, manual, initial) {}
    void OnClose() override { g_liveEvents.fetch_sub(1); }
};

// The object behind a CRITICAL_SECTION: a real lock for threads that run freely, an owner
// and count for the deterministic scheduler.
struct SectionLock {
    std::recursive_mutex mutex;
    SchedLock sched;
};

SectionLock* LockOf(LPCRITICAL_SECTION cs)
{
    if (cs == nullptr || cs->impl == nullptr) {
        // Entering a section that was never initialised is a programming error that
        // would hang or crash on the real platform; stop here with a clear message.
        std::fprintf(stderr, "kvplatform: critical section %p used before InitializeCriticalSection\n",
                     static_cast<void*>(cs));
        std::abort();
    }
    return static_cast<SectionLock*>(cs->impl);
}

}  // namespace

DWORD WaitOnObject(const std::shared_ptr<Object>& obj, DWORD ms)
{
    Waitable& w = static_cast<Waitable&>(*obj);
    if (SchedManaged()) {
        // Only one thread runs, so the flag is read and taken without its lock.
        SchedPoint("WaitForSingleObject");
        bool ok = w.signalled;
        if (!ok && ms != 0) {
            const char* call = obj->kind == Kind::Thread ? "WaitForSingleObject(thread)"
                               : ms == INFINITE          ? "WaitForSingleObject(event, INFINITE)"
                                                         : "WaitForSingleObject(event, timed)";
            ok = SchedBlock(call, [&w] { return w.signalled; }, ms);
        }
        if (!ok)
            return WAIT_TIMEOUT;
        if (!w.manualReset)
            w.signalled = false;
        return WAIT_OBJECT_0;
    }
    std::unique_lock<std::mutex> lock(w.mutex);
    auto ready = [&w] { return w.signalled; };
    if (ms == INFINITE) {
        w.cv.wait(lock, ready);
    } else {
        auto deadline = std::chrono::steady_clock::now() + ScaledDuration(ms);
        if (!w.cv.wait_until(lock, deadline, ready))
            return WAIT_TIMEOUT;
    }
    if (!w.manualReset)
        w.signalled = false;
    return WAIT_OBJECT_0;
}

}  // namespace detail

DWORD SectionOwner(CRITICAL_SECTION* cs)
{
    if (cs == nullptr || cs->impl == nullptr)
        return 0;
    return detail::SchedLockOwner(&static_cast<detail::SectionLock*>(cs->impl)->sched);
}

const void* SectionKey(CRITICAL_SECTION* cs)
{
    if (cs == nullptr || cs->impl == nullptr)
        return nullptr;
    return &static_cast<detail::SectionLock*>(cs->impl)->sched;
}

long LiveEvents()
{
    return detail::g_liveEvents.load();
}

}  // namespace kvplat

using kvplat::detail::EventObject;
using kvplat::detail::Kind;

extern "C" {

// ---- critical sections ----
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs)
{
    cs->impl = new kvplat::detail::SectionLock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs)
{
    delete static_cast<kvplat::detail::SectionLock*>(cs->impl);
    cs->impl = nullptr;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs)
{
    kvplat::detail::SectionLock* lock = kvplat::detail::LockOf(cs);
    if (kvplat::detail::SchedManaged())
        kvplat::detail::SchedEnter(&lock->sched);
    else
        lock->mutex.lock();
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs)
{
    kvplat::detail::SectionLock* lock = kvplat::detail::LockOf(cs);
    if (kvplat::detail::SchedManaged())
        kvplat::detail::SchedLeave(&lock->sched);
    else
        lock->mutex.unlock();
}

// ---- events ----
// Names are not supported: every call makes a new, process-local event.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR)
{
    if (kvplat::detail::ShouldFail(kvplat::Fault::Event)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    HANDLE h = kvplat::detail::RegisterHandle(std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE));
    kvplat::detail::g_liveEvents.fetch_add(1);
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    kvplat::detail::SchedPoint("SetEvent");
    auto ev = kvplat::detail::LookupAs<EventObject>(hEvent, Kind::Event);
    if (!ev) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(ev->mutex);
        ev->signalled = true;
    }
    // An auto-reset event releases one waiter; the flag stays set until a wait takes it.
    if (ev->manualReset)
        ev->cv.notify_all();
    else
        ev->cv.notify_one();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    kvplat::detail::SchedPoint("ResetEvent");
    auto ev = kvplat::detail::LookupAs<EventObject>(hEvent, Kind::Event);
    if (!ev) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(ev->mutex);
    ev->signalled = false;
    return TRUE;
}

}  // extern "C"
