// What the mapping sources share: the shared memory object behind a mapping handle.
#ifndef KVMON_PLATFORM_SHM_H
#define KVMON_PLATFORM_SHM_H

#include <sys/types.h>

#include "internal.h"

namespace kvplat {
namespace detail {

const size_t kPage = 4096;
const uint64_t kAllocationGranularity = 65536;

// A view unmapped in deterministic mode, kept mapped for the next view of the same range.
struct SpareView {
    void* base = nullptr;  // null: none kept
    size_t length = 0;     // bytes mapped
    uint64_t offset = 0;   // offset in the object
    bool write = false;    // mapped writable
};

// One open descriptor of a shared memory object, with this holder's shared lock.
struct ShmFile {
    int fd = -1;
    std::string shmName;  // empty for an unnamed mapping
    uint64_t size = 0;
    bool writable = false;
    SpareView spare;      // guarded by the view table's lock

    ShmFile() = default;
    ShmFile(const ShmFile&) = delete;
    ShmFile& operator=(const ShmFile&) = delete;
    ~ShmFile();
    // Unlinks the object's name when it is still that object and nobody holds it.
    static void UnlinkIfUnheld(const std::string& name, ino_t ino);
};

extern std::atomic<long> g_liveMappings;

struct MappingObject : Object {
    MappingObject() : Object(Kind::Mapping) {}
    void OnClose() override { g_liveMappings.fetch_sub(1); }
    std::shared_ptr<ShmFile> file;
    std::string name;  // as the caller named it, for the view write hook
};

// Access mode of a new object from the caller's security attributes (security.cpp).
mode_t ModeFor(LPSECURITY_ATTRIBUTES sa);

}  // namespace detail
}  // namespace kvplat

#endif  // KVMON_PLATFORM_SHM_H
