// The deterministic scheduler's critical sections (an owner and a count; a thread that finds
// the section held blocks until it is free) and each thread's stack of platform calls in
// progress, for the deadlock report.
#include "schedstate.h"

#include <mutex>

#include "internal.h"

namespace kvplat {
namespace detail {

void SchedPushCall(const char* call)
{
    if (t_self == nullptr)
        return;
    std::lock_guard<std::mutex> lock(S().mutex);
    t_self->calls.push_back(call);
}

void SchedPopCall()
{
    if (t_self == nullptr)
        return;
    std::lock_guard<std::mutex> lock(S().mutex);
    t_self->calls.pop_back();
}

void SchedEnter(SchedLock* cs)
{
    SchedThread* self = t_self;
    SchedPoint("EnterCriticalSection");
    if (cs->owner != self && cs->owner != nullptr) {
        {
            std::lock_guard<std::mutex> lock(S().mutex);
            self->waitLock = cs;
            self->waitSince = S().now;
        }
        SchedBlock("EnterCriticalSection (held)", [cs] { return cs->owner == nullptr; }, INFINITE);
        std::lock_guard<std::mutex> lock(S().mutex);
        self->waitLock = nullptr;
    }
    cs->owner = self;
    cs->count++;
}

DWORD SchedLockOwner(const SchedLock* cs)
{
    return cs->owner != nullptr ? cs->owner->id : 0;
}

void SchedLeave(SchedLock* cs)
{
    if (cs->count != 0 && --cs->count == 0)
        cs->owner = nullptr;
}

}  // namespace detail
}  // namespace kvplat
