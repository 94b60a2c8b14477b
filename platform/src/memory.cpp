// Local memory: LocalAlloc/LocalFree over malloc, with a table of live blocks so that a
// double or foreign free is refused the way the platform refuses it instead of crashing.
#include "internal.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace kvplat {
namespace detail {
namespace {

// Never destroyed, like all state of this library (threads may outlive exit handlers).
struct AllocState {
    std::mutex mutex;
    std::unordered_set<void*> blocks;
};
AllocState& Allocs()
{
    static AllocState* state = new AllocState;
    return *state;
}

}  // namespace
}  // namespace detail

long LiveAllocations()
{
    std::lock_guard<std::mutex> lock(detail::Allocs().mutex);
    return static_cast<long>(detail::Allocs().blocks.size());
}

}  // namespace kvplat

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    using namespace kvplat::detail;
    if (ShouldFail(kvplat::Fault::Alloc)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    // A zero-byte request still yields a distinct block, as on the platform.
    size_t n = uBytes == 0 ? 1 : uBytes;
    void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, n) : std::malloc(n);
    if (p == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    std::lock_guard<std::mutex> lock(Allocs().mutex);
    Allocs().blocks.insert(p);
    return p;
}

// NULL on success; the block itself when it is not a live LocalAlloc block.
HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    using namespace kvplat::detail;
    if (hMem == NULL)
        return NULL;
    {
        std::lock_guard<std::mutex> lock(Allocs().mutex);
        if (Allocs().blocks.erase(hMem) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return hMem;
        }
    }
    std::free(hMem);
    return NULL;
}

}  // extern "C"
