// Last error, the handle table, fault injection, the clock (scaled real time, or the
// deterministic scheduler's virtual time) and the test reset.
#include "internal.h"
#include "sched.h"

#include <cstdlib>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace kvplat {
namespace detail {
namespace {

thread_local DWORD t_lastError = 0;

// Process-wide state of this library is created on first use and never destroyed: a
// thread whose handle was closed may still be running while the process exits.
struct HandleState {
    std::mutex mutex;
    std::unordered_map<HANDLE, std::shared_ptr<Object>> table;
};
HandleState& Handles()
{
    static HandleState* state = new HandleState;
    return *state;
}

// One counter pair per fault kind: calls since the last FailNth/ResetFaults and the
// ordinal of the call that fails (0 = none).
struct FaultSlot {
    std::atomic<unsigned> calls{0};
    std::atomic<unsigned> failAt{0};
};
FaultSlot g_faults[static_cast<int>(Fault::Count)];

unsigned InitialTimeScale()
{
    const char* env = std::getenv("KVMON_TIME_SCALE");
    if (env == nullptr || *env == '\0')
        return 1;
    char* end = nullptr;
    unsigned long v = std::strtoul(env, &end, 10);
    if (*end != '\0' || v == 0 || v > 1000000000UL)
        return 1;
    return static_cast<unsigned>(v);
}

// The scaled clock. GetTickCount = ticks at the last scale change plus the real time
// since then multiplied by the divisor, so a change of scale never moves the tick count
// backwards.
struct Clock {
    std::mutex mutex;
    std::chrono::steady_clock::time_point baseReal = std::chrono::steady_clock::now();
    uint64_t baseTickUs = 0;
    std::atomic<unsigned> divisor{InitialTimeScale()};

    uint64_t TickUsLocked(std::chrono::steady_clock::time_point now)
    {
        auto realUs = std::chrono::duration_cast<std::chrono::microseconds>(now - baseReal).count();
        return baseTickUs + static_cast<uint64_t>(realUs) * divisor.load();
    }
};
Clock& TheClock()
{
    static Clock* clock = new Clock;
    return *clock;
}
// Start the clock when the library loads, not at the first GetTickCount.
[[maybe_unused]] const bool g_clockStarted = (TheClock(), true);

}  // namespace

HANDLE RegisterHandle(std::shared_ptr<Object> obj)
{
    HANDLE h = obj.get();
    std::lock_guard<std::mutex> lock(Handles().mutex);
    Handles().table[h] = std::move(obj);
    return h;
}

std::shared_ptr<Object> LookupHandle(HANDLE h)
{
    std::lock_guard<std::mutex> lock(Handles().mutex);
    auto it = Handles().table.find(h);
    return it == Handles().table.end() ? nullptr : it->second;
}

bool ShouldFail(Fault kind)
{
    FaultSlot& slot = g_faults[static_cast<int>(kind)];
    unsigned n = slot.calls.fetch_add(1) + 1;
    unsigned at = slot.failAt.load();
    return at != 0 && n == at;
}

namespace {
std::mutex g_holdMutex;
std::shared_ptr<HoldHook> g_holdHook;
}  // namespace

void Hold(const char* call, DWORD value)
{
    std::shared_ptr<HoldHook> hook;
    {
        std::lock_guard<std::mutex> lock(g_holdMutex);
        hook = g_holdHook;
    }
    if (hook)
        (*hook)(call, value);
}

std::chrono::microseconds ScaledDuration(DWORD ms)
{
    uint64_t us = static_cast<uint64_t>(ms) * 1000u / TheClock().divisor.load();
    return std::chrono::microseconds(static_cast<int64_t>(us));
}

}  // namespace detail

// ---- controls ----
void SetTimeScale(unsigned divisor)
{
    detail::Clock& c = detail::TheClock();
    std::lock_guard<std::mutex> lock(c.mutex);
    auto now = std::chrono::steady_clock::now();
    c.baseTickUs = c.TickUsLocked(now);
    c.baseReal = now;
    c.divisor.store(divisor == 0 ? 1 : divisor);
}

void SetHoldHook(HoldHook hook)
{
    std::lock_guard<std::mutex> lock(detail::g_holdMutex);
    detail::g_holdHook = hook ? std::make_shared<HoldHook>(std::move(hook)) : nullptr;
}

unsigned TimeScale()
{
    return detail::TheClock().divisor.load();
}

void FailNth(Fault kind, unsigned n)
{
    if (kind == Fault::Count)
        return;
    detail::FaultSlot& slot = detail::g_faults[static_cast<int>(kind)];
    slot.failAt.store(0);
    slot.calls.store(0);
    slot.failAt.store(n);
}

unsigned Calls(Fault kind)
{
    if (kind == Fault::Count)
        return 0;
    return detail::g_faults[static_cast<int>(kind)].calls.load();
}

void ResetFaults()
{
    for (auto& slot : detail::g_faults) {
        slot.failAt.store(0);
        slot.calls.store(0);
    }
}

void ResetForTest()
{
    ResetFaults();
    detail::ResetThreadRecords();
    detail::ResetRegistry();
    detail::ResetWindowLogs();
    detail::ResetMappingHooks();
    detail::ResetProfileHooks();
    SetHoldHook(nullptr);
}

}  // namespace kvplat

// ---- Win32 ----
extern "C" {

DWORD WINAPI GetLastError(void)
{
    return kvplat::detail::t_lastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    kvplat::detail::t_lastError = dwErrCode;
}

BOOL WINAPI CloseHandle(HANDLE h)
{
    std::shared_ptr<kvplat::detail::Object> obj;
    {
        kvplat::detail::HandleState& handles = kvplat::detail::Handles();
        std::lock_guard<std::mutex> lock(handles.mutex);
        auto& table = handles.table;
        auto it = table.find(h);
        if (it != table.end()) {
            obj = std::move(it->second);
            table.erase(it);
        }
    }
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    obj->OnClose();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD dwMilliseconds)
{
    std::shared_ptr<kvplat::detail::Object> obj = kvplat::detail::LookupHandle(h);
    if (!obj || obj->kind == kvplat::detail::Kind::Mapping) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return kvplat::detail::WaitOnObject(obj, dwMilliseconds);
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    kvplat::detail::Hold("Sleep", dwMilliseconds);
    if (kvplat::detail::SchedManaged()) {
        if (dwMilliseconds == 0)
            kvplat::detail::SchedPoint("Sleep(0)");
        else
            kvplat::detail::SchedBlock(dwMilliseconds == INFINITE ? "Sleep(INFINITE)" : "Sleep", nullptr,
                                       dwMilliseconds);
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
    auto d = kvplat::detail::ScaledDuration(dwMilliseconds);
    if (d.count() == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(d);
}

DWORD WINAPI GetTickCount(void)
{
    if (kvplat::detail::SchedManaged())
        return static_cast<DWORD>(kvplat::detail::SchedNow());
    kvplat::detail::Clock& c = kvplat::detail::TheClock();
    std::lock_guard<std::mutex> lock(c.mutex);
    return static_cast<DWORD>(c.TickUsLocked(std::chrono::steady_clock::now()) / 1000u);
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE)
{
    return TRUE;
}

}  // extern "C"
