// Counting replacements of the C allocator. The executable's definitions take precedence
// over the C library's for every caller in the process (libstdc++'s operator new included);
// the blocks themselves come from the C library's allocator.
#include "allocs.h"

#include <malloc.h>

#include <atomic>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t n, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {

std::atomic<uint64_t> g_calls{0};
std::atomic<uint64_t> g_bytes{0};
std::atomic<uint64_t> g_frees{0};
std::atomic<int64_t> g_liveBlocks{0};
std::atomic<int64_t> g_liveBytes{0};

inline void* Counted(void* p, size_t asked)
{
    if (p != nullptr) {
        g_calls.fetch_add(1, std::memory_order_relaxed);
        g_bytes.fetch_add(asked, std::memory_order_relaxed);
        g_liveBlocks.fetch_add(1, std::memory_order_relaxed);
        g_liveBytes.fetch_add(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
    }
    return p;
}

inline void Released(void* p)
{
    if (p != nullptr) {
        g_frees.fetch_add(1, std::memory_order_relaxed);
        g_liveBlocks.fetch_sub(1, std::memory_order_relaxed);
        g_liveBytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
    }
}

}  // namespace

namespace kvbench {

HeapCount Heap()
{
    HeapCount h;
    h.calls = g_calls.load(std::memory_order_relaxed);
    h.bytes = g_bytes.load(std::memory_order_relaxed);
    h.frees = g_frees.load(std::memory_order_relaxed);
    h.liveBlocks = g_liveBlocks.load(std::memory_order_relaxed);
    h.liveBytes = g_liveBytes.load(std::memory_order_relaxed);
    return h;
}

}  // namespace kvbench

extern "C" {

void* malloc(size_t size) { return Counted(__libc_malloc(size), size); }

void* calloc(size_t n, size_t size) { return Counted(__libc_calloc(n, size), n * size); }

void* realloc(void* p, size_t size)
{
    Released(p);
    void* q = __libc_realloc(p, size);
    if (q == nullptr && p != nullptr && size != 0) {
        // The old block stays; count it live again.
        g_frees.fetch_sub(1, std::memory_order_relaxed);
        g_liveBlocks.fetch_add(1, std::memory_order_relaxed);
        g_liveBytes.fetch_add(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
        return nullptr;
    }
    return Counted(q, size);
}

void free(void* p)
{
    Released(p);
    __libc_free(p);
}

void* memalign(size_t alignment, size_t size) { return Counted(__libc_memalign(alignment, size), size); }

void* aligned_alloc(size_t alignment, size_t size) { return Counted(__libc_memalign(alignment, size), size); }

int posix_memalign(void** out, size_t alignment, size_t size)
{
    void* p = Counted(__libc_memalign(alignment, size), size);
    if (p == nullptr)
        return 12;  // ENOMEM
    *out = p;
    return 0;
}

}  // extern "C"
