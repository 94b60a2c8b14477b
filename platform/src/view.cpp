// Views of mappings, and the hook that sees what a writable view held when it goes.
#include "sched.h"
#include "shm.h"

#include <sys/mman.h>

#include <mutex>
#include <unordered_map>

namespace kvplat {
namespace detail {
namespace {

struct View {
    size_t length;                  // bytes mapped
    uint64_t offset;                // offset in the object
    std::shared_ptr<ShmFile> file;  // the object, kept open while the view lives
    bool write = false;             // mapped writable
    std::string name;               // the mapping's name, for the hook
};

std::mutex g_viewHookMutex;
ViewWriteHook& TheViewWriteHook()
{
    static ViewWriteHook hook;
    return hook;
}
struct ViewState {
    std::mutex mutex;
    std::unordered_map<const void*, View> views;
};
ViewState& ViewTable()
{
    static ViewState* state = new ViewState;
    return *state;
}

}  // namespace
}  // namespace detail

long LiveViews()
{
    std::lock_guard<std::mutex> lock(detail::ViewTable().mutex);
    return static_cast<long>(detail::ViewTable().views.size());
}

void SetViewWriteHook(ViewWriteHook hook)
{
    std::lock_guard<std::mutex> lock(detail::g_viewHookMutex);
    detail::TheViewWriteHook() = std::move(hook);
}

namespace detail {
void ResetMappingHooks()
{
    SetViewWriteHook(nullptr);
}
}  // namespace detail

}  // namespace kvplat

extern "C" {

// Views are page-granular: one that ends within the last page of the mapping is granted
// (the tail of that page reads as zeros), one that reaches past it is refused.
LPVOID WINAPI MapViewOfFile(HANDLE hMapping, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                            SIZE_T dwNumberOfBytesToMap)
{
    using namespace kvplat::detail;
    if (ShouldFail(kvplat::Fault::View)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    auto mapping = LookupAs<MappingObject>(hMapping, Kind::Mapping);
    if (!mapping) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    const std::shared_ptr<ShmFile>& file = mapping->file;
    bool write = (dwDesiredAccess & FILE_MAP_WRITE) != 0;
    bool read = (dwDesiredAccess & FILE_MAP_READ) != 0;
    if (!write && !read) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    if (write && !file->writable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    uint64_t offset = (static_cast<uint64_t>(dwFileOffsetHigh) << 32) | dwFileOffsetLow;
    if (offset % kAllocationGranularity != 0) {
        SetLastError(ERROR_MAPPED_ALIGNMENT);
        return NULL;
    }
    uint64_t rounded = (file->size + kPage - 1) / kPage * kPage;
    uint64_t length = dwNumberOfBytesToMap;
    if (length == 0) {
        if (offset >= file->size) {
            SetLastError(ERROR_ACCESS_DENIED);
            return NULL;
        }
        length = file->size - offset;
    }
    if (offset + length > rounded) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    std::lock_guard<std::mutex> lock(ViewTable().mutex);
    SpareView& spare = file->spare;
    void* p;
    if (spare.base != nullptr && spare.length == length && spare.offset == offset && spare.write == write) {
        p = spare.base;
        spare.base = nullptr;
    } else {
        int prot = PROT_READ | (write ? PROT_WRITE : 0);
        p = mmap(nullptr, static_cast<size_t>(length), prot, MAP_SHARED, file->fd, static_cast<off_t>(offset));
        if (p == MAP_FAILED) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return NULL;
        }
    }
    ViewTable().views[p] = View{static_cast<size_t>(length), offset, file, write, mapping->name};
    return p;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress)
{
    using namespace kvplat::detail;
    View view;
    {
        std::lock_guard<std::mutex> lock(ViewTable().mutex);
        auto& views = ViewTable().views;
        auto it = views.find(lpBaseAddress);
        if (it == views.end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        view = std::move(it->second);
        views.erase(it);
    }
    if (view.write) {
        kvplat::ViewWriteHook hook;
        {
            std::lock_guard<std::mutex> lock(g_viewHookMutex);
            hook = TheViewWriteHook();
        }
        if (hook) {
            DWORD saved = GetLastError();
            hook(view.name, std::string(static_cast<const char*>(lpBaseAddress), view.length));
            SetLastError(saved);
        }
    }
    // Deterministic runs publish the same block again and again: the view stays mapped for
    // the next one (the object's pages stay shared, only the address is not given back).
    if (SchedManaged()) {
        std::lock_guard<std::mutex> lock(ViewTable().mutex);
        SpareView& spare = view.file->spare;
        if (spare.base == nullptr) {
            spare = SpareView{const_cast<void*>(lpBaseAddress), view.length, view.offset, view.write};
            return TRUE;
        }
    }
    munmap(const_cast<void*>(lpBaseAddress), view.length);
    return TRUE;
}

}  // extern "C"
