// Process-wide heap counter: malloc, calloc, realloc, the aligned allocators and free are
// replaced in the benchmark programs by counting versions over the C library's own
// allocator. operator new and every LocalAlloc of the platform layer end in malloc/calloc,
// so they are counted as well.
#ifndef KVBENCH_ALLOCS_H
#define KVBENCH_ALLOCS_H

#include <cstddef>
#include <cstdint>

namespace kvbench {

struct HeapCount {
    uint64_t calls = 0;   // allocating calls (malloc, calloc, realloc, aligned)
    uint64_t bytes = 0;   // bytes asked for by those calls
    uint64_t frees = 0;   // free of a non-NULL block (realloc moves count as one free)
    int64_t liveBlocks = 0;
    int64_t liveBytes = 0;  // by the usable size of each block

    HeapCount operator-(const HeapCount& o) const
    {
        HeapCount d;
        d.calls = calls - o.calls;
        d.bytes = bytes - o.bytes;
        d.frees = frees - o.frees;
        d.liveBlocks = liveBlocks - o.liveBlocks;
        d.liveBytes = liveBytes - o.liveBytes;
        return d;
    }
};

HeapCount Heap();

}  // namespace kvbench

#endif
