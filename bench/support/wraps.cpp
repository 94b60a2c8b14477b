#include "wraps.h"

#include <windows.h>

#include <atomic>
#include <mutex>

extern "C" {
void WINAPI __real_EnterCriticalSection(LPCRITICAL_SECTION cs);
HLOCAL WINAPI __real_LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL WINAPI __real_LocalFree(HLOCAL hMem);
LONG __real_InterlockedOr(LONG volatile* target, LONG value);
LONG __real_InterlockedAnd(LONG volatile* target, LONG value);
LONG __real_InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand);
LONG __real_InterlockedExchange(LONG volatile* target, LONG value);
PVOID __real_InterlockedExchangePointer(PVOID volatile* target, PVOID value);
PVOID __real_InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange, PVOID comparand);
LPVOID WINAPI __real_MapViewOfFile(HANDLE hMapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes);
}

namespace {

std::atomic<uint64_t> g_locks{0};
std::atomic<uint64_t> g_localAllocs{0};
std::atomic<uint64_t> g_localBytes{0};
std::atomic<uint64_t> g_localFrees{0};
std::atomic<uint64_t> g_interlocked{0};
std::atomic<uint64_t> g_views{0};

// The log has a fixed capacity so that recording itself never allocates.
constexpr size_t kLogCapacity = 4096;
struct LogEntry {
    void* block;
    size_t size;
    bool freed;
};
std::mutex g_logMutex;
bool g_logging = false;
LogEntry g_log[kLogCapacity];
size_t g_logUsed = 0;

void CountInterlocked() { g_interlocked.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

namespace kvbench {

PlatformCount Platform()
{
    PlatformCount c;
    c.locks = g_locks.load();
    c.localAllocs = g_localAllocs.load();
    c.localBytes = g_localBytes.load();
    c.localFrees = g_localFrees.load();
    c.interlocked = g_interlocked.load();
    c.views = g_views.load();
    return c;
}

void StartLocalLog()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logUsed = 0;
    g_logging = true;
}

LocalLog StopLocalLog()
{
    LocalLog out;
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logging = false;
    for (size_t i = 0; i < g_logUsed; i++) {
        out.allocated.push_back(g_log[i].size);
        if (!g_log[i].freed)
            out.retained.push_back(g_log[i].size);
    }
    return out;
}

}  // namespace kvbench

extern "C" {

void WINAPI __wrap_EnterCriticalSection(LPCRITICAL_SECTION cs)
{
    g_locks.fetch_add(1, std::memory_order_relaxed);
    __real_EnterCriticalSection(cs);
}

HLOCAL WINAPI __wrap_LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    HLOCAL p = __real_LocalAlloc(uFlags, uBytes);
    if (p != NULL) {
        g_localAllocs.fetch_add(1, std::memory_order_relaxed);
        g_localBytes.fetch_add(uBytes, std::memory_order_relaxed);
        std::lock_guard<std::mutex> lock(g_logMutex);
        if (g_logging && g_logUsed < kLogCapacity)
            g_log[g_logUsed++] = LogEntry{p, uBytes, false};
    }
    return p;
}

HLOCAL WINAPI __wrap_LocalFree(HLOCAL hMem)
{
    if (hMem != NULL) {
        g_localFrees.fetch_add(1, std::memory_order_relaxed);
        std::lock_guard<std::mutex> lock(g_logMutex);
        if (g_logging) {
            for (size_t i = g_logUsed; i-- > 0;) {
                if (g_log[i].block == hMem && !g_log[i].freed) {
                    g_log[i].freed = true;
                    break;
                }
            }
        }
    }
    return __real_LocalFree(hMem);
}

LONG __wrap_InterlockedOr(LONG volatile* target, LONG value)
{
    CountInterlocked();
    return __real_InterlockedOr(target, value);
}

LONG __wrap_InterlockedAnd(LONG volatile* target, LONG value)
{
    CountInterlocked();
    return __real_InterlockedAnd(target, value);
}

LONG __wrap_InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand)
{
    CountInterlocked();
    return __real_InterlockedCompareExchange(target, exchange, comparand);
}

LONG __wrap_InterlockedExchange(LONG volatile* target, LONG value)
{
    CountInterlocked();
    return __real_InterlockedExchange(target, value);
}

PVOID __wrap_InterlockedExchangePointer(PVOID volatile* target, PVOID value)
{
    CountInterlocked();
    return __real_InterlockedExchangePointer(target, value);
}

PVOID __wrap_InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange, PVOID comparand)
{
    CountInterlocked();
    return __real_InterlockedCompareExchangePointer(target, exchange, comparand);
}

LPVOID WINAPI __wrap_MapViewOfFile(HANDLE hMapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes)
{
    LPVOID view = __real_MapViewOfFile(hMapping, access, offsetHigh, offsetLow, bytes);
    if (view != NULL)
        g_views.fetch_add(1, std::memory_order_relaxed);
    return view;
}

}  // extern "C"
