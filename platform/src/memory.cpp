// Local memory: LocalAlloc/LocalFree over malloc, with a table of live blocks so that a
// double or foreign free is refused the way the platform refuses it instead of crashing.
//
// In deterministic mode a freed block is not given back at once: it is filled with a
// poison byte and kept in a quarantine of the last frees, so that a use of freed memory
// reads poison (a pointer in it faults) instead of whatever the allocator put there next,
// and a write to it is found when the block leaves the quarantine or CheckFreedBlocks runs.
// AddressSanitizer builds give every block back at once: its own quarantine sees reads too.
#include "internal.h"
#include "sched.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVPLAT_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KVPLAT_ASAN 1
#endif

namespace kvplat {
namespace detail {
namespace {

#ifdef KVPLAT_ASAN
const bool kQuarantine = false;
#else
const bool kQuarantine = true;
#endif

const unsigned char kPoison = 0xDD;
const size_t kQuarantined = 64;  // blocks kept after their free

struct Freed {
    unsigned char* block;
    size_t size;
};

// Never destroyed, like all state of this library (threads may outlive exit handlers).
struct AllocState {
    std::mutex mutex;
    std::unordered_map<void*, size_t> blocks;  // live block -> bytes asked for
    std::deque<Freed> quarantine;              // oldest first
    std::string written;                       // the first freed block found written, if any
};
AllocState& Allocs()
{
    static AllocState* state = new AllocState;
    return *state;
}

// Notes a quarantined block whose poison was overwritten; under the lock.
void CheckPoison(AllocState& state, const Freed& f)
{
    static const std::string poison(4096, static_cast<char>(kPoison));
    size_t at = 0;
    while (at < f.size) {
        size_t n = std::min(f.size - at, poison.size());
        if (std::memcmp(f.block + at, poison.data(), n) != 0)
            break;
        at += n;
    }
    for (size_t i = at; i < f.size; i++) {
        if (f.block[i] != kPoison) {
            if (state.written.empty()) {
                char text[128];
                std::snprintf(text, sizeof text, "a freed block of %zu bytes was written at offset %zu after its LocalFree",
                              f.size, i);
                state.written = text;
            }
            return;
        }
    }
}

}  // namespace
}  // namespace detail

std::string CheckFreedBlocks()
{
    detail::AllocState& state = detail::Allocs();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (const detail::Freed& f : state.quarantine)
        detail::CheckPoison(state, f);
    for (const detail::Freed& f : state.quarantine)
        std::free(f.block);
    state.quarantine.clear();
    std::string found;
    found.swap(state.written);
    return found;
}

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
    Allocs().blocks[p] = n;
    return p;
}

// NULL on success; the block itself when it is not a live LocalAlloc block.
HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    using namespace kvplat::detail;
    if (hMem == NULL)
        return NULL;
    AllocState& state = Allocs();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto it = state.blocks.find(hMem);
    if (it == state.blocks.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return hMem;
    }
    Freed freed{static_cast<unsigned char*>(hMem), it->second};
    state.blocks.erase(it);
    if (!kQuarantine || !SchedManaged()) {
        std::free(hMem);
        return NULL;
    }
    std::memset(freed.block, kPoison, freed.size);
    state.quarantine.push_back(freed);
    if (state.quarantine.size() > kQuarantined) {
        CheckPoison(state, state.quarantine.front());
        std::free(state.quarantine.front().block);
        state.quarantine.pop_front();
    }
    return NULL;
}

}  // extern "C"
