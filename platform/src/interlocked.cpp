// The interlocked operations: sequentially consistent, like the platform's full barriers.
// In deterministic mode each one is a scheduling point (they publish a change to the
// other threads).
#include "internal.h"
#include "sched.h"

extern "C" {

LONG InterlockedOr(LONG volatile* target, LONG value)
{
    kvplat::detail::SchedPoint("InterlockedOr");
    return __atomic_fetch_or(target, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedAnd(LONG volatile* target, LONG value)
{
    kvplat::detail::SchedPoint("InterlockedAnd");
    return __atomic_fetch_and(target, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand)
{
    kvplat::detail::SchedPoint("InterlockedCompareExchange");
    // On failure the builtin stores the current value into comparand; on success the
    // current value was comparand. Either way comparand is the initial value.
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

LONG InterlockedExchange(LONG volatile* target, LONG value)
{
    kvplat::detail::SchedPoint("InterlockedExchange");
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value)
{
    kvplat::detail::SchedPoint("InterlockedExchangePointer");
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange, PVOID comparand)
{
    kvplat::detail::SchedPoint("InterlockedCompareExchangePointer");
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

}  // extern "C"
