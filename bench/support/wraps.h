// Counters of the platform calls the probe program wraps at link time (-Wl,--wrap): every
// call of these functions from the monitor, the simulation or the platform layer passes
// through a counting wrapper first.
#ifndef KVBENCH_WRAPS_H
#define KVBENCH_WRAPS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvbench {

struct PlatformCount {
    uint64_t locks = 0;         // EnterCriticalSection
    uint64_t localAllocs = 0;   // LocalAlloc
    uint64_t localBytes = 0;    // bytes asked of LocalAlloc
    uint64_t localFrees = 0;    // LocalFree of a non-NULL block
    uint64_t interlocked = 0;   // Interlocked* (flags, handles, status word)
    uint64_t views = 0;         // MapViewOfFile that gave a view

    PlatformCount operator-(const PlatformCount& o) const
    {
        PlatformCount d;
        d.locks = locks - o.locks;
        d.localAllocs = localAllocs - o.localAllocs;
        d.localBytes = localBytes - o.localBytes;
        d.localFrees = localFrees - o.localFrees;
        d.interlocked = interlocked - o.interlocked;
        d.views = views - o.views;
        return d;
    }
};

PlatformCount Platform();

// Sizes of the LocalAlloc blocks asked for while recording (in order), and of those of them
// still live when recording stops.
void StartLocalLog();
struct LocalLog {
    std::vector<size_t> allocated;
    std::vector<size_t> retained;
};
LocalLog StopLocalLog();

}  // namespace kvbench

#endif
