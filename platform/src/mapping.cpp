// Paging-file mappings on POSIX shared memory: creating, opening and naming them (views
// are in view.cpp, security descriptors in security.cpp).
//
// A named mapping is the shared memory object ShmObjectName(name), so another process
// (a reader of the status block, a test's child) opens it by the same name. Lifetime
// follows the platform: the object exists while some process holds a handle or a view
// of it. Every holder keeps a shared flock on its descriptor; whoever lets go last (can
// take the lock exclusively) unlinks the name. Views keep their holder's descriptor open.
#include "shm.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace kvplat {
namespace detail {

std::atomic<long> g_liveMappings{0};

ShmFile::~ShmFile()
{
    if (spare.base != nullptr)
        munmap(spare.base, spare.length);
    if (fd < 0)
        return;
    struct stat st;
    bool haveIno = fstat(fd, &st) == 0;
    close(fd);
    if (!shmName.empty() && haveIno)
        UnlinkIfUnheld(shmName, st.st_ino);
}

void ShmFile::UnlinkIfUnheld(const std::string& name, ino_t ino)
{
    int probe = shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (probe < 0)
        return;
    struct stat st;
    // Same object (not a newer one under the same name) and nobody holds it.
    if (fstat(probe, &st) == 0 && st.st_ino == ino && flock(probe, LOCK_EX | LOCK_NB) == 0)
        shm_unlink(name.c_str());
    close(probe);
}

namespace {

// Never destroyed, like all state of this library.
struct NamespaceState {
    std::mutex mutex;
    std::string name;
};
NamespaceState& Namespace()
{
    static NamespaceState* state = [] {
        const char* env = std::getenv("KVMON_SHM_NAMESPACE");
        return new NamespaceState{{}, env != nullptr && *env != '\0' ? env : "kvmon"};
    }();
    return *state;
}

DWORD ErrnoToError(int e)
{
    switch (e) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
    case EINVAL:
        return ERROR_INVALID_NAME;
    default:
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

bool SameObject(int fd, const std::string& name)
{
    int probe = shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (probe < 0)
        return false;
    struct stat a;
    struct stat b;
    bool same = fstat(fd, &a) == 0 && fstat(probe, &b) == 0 && a.st_ino == b.st_ino;
    close(probe);
    return same;
}

// Opens an existing object. Returns null with *error set; ERROR_FILE_NOT_FOUND when no
// object has that name.
std::shared_ptr<ShmFile> OpenExisting(const std::string& name, DWORD* error)
{
    for (int attempt = 0; attempt < 100; attempt++) {
        bool writable = true;
        int fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd < 0 && errno == EACCES) {
            writable = false;
            fd = shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
        }
        if (fd < 0) {
            *error = ErrnoToError(errno);
            return nullptr;
        }
        auto file = std::make_shared<ShmFile>();
        file->fd = fd;
        file->writable = writable;
        flock(fd, LOCK_SH);
        // The last holder may have unlinked the name between our open and our lock; then
        // this object is on its way out and the name has to be looked up again.
        if (!SameObject(fd, name)) {
            close(fd);
            file->fd = -1;
            continue;
        }
        file->shmName = name;
        // A creator in another process sizes the object right after creating it.
        struct stat st;
        for (int wait = 0; wait < 1000; wait++) {
            if (fstat(fd, &st) != 0) {
                *error = ErrnoToError(errno);
                return nullptr;
            }
            if (st.st_size > 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        file->size = static_cast<uint64_t>(st.st_size);
        return file;
    }
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
}

// Creates a new object of `size` bytes; null with *error set, ERROR_ALREADY_EXISTS when
// the name is taken.
std::shared_ptr<ShmFile> CreateNew(const std::string& name, uint64_t size, mode_t mode, DWORD* error)
{
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrnoToError(errno);
        return nullptr;
    }
    auto file = std::make_shared<ShmFile>();
    file->fd = fd;
    file->writable = true;
    flock(fd, LOCK_SH);
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        shm_unlink(name.c_str());
        return nullptr;  // the descriptor closes with file
    }
    fchmod(fd, mode);
    file->shmName = name;
    file->size = size;
    return file;
}

std::shared_ptr<ShmFile> CreateUnnamed(uint64_t size, DWORD* error)
{
    static std::atomic<unsigned> counter{0};
    std::string name = ShmObjectName("anon." + std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1)));
    std::shared_ptr<ShmFile> file = CreateNew(name, size, 0600, error);
    if (file) {
        shm_unlink(name.c_str());
        file->shmName.clear();
    }
    return file;
}

HANDLE NewMappingHandle(std::shared_ptr<ShmFile> file, bool writeAllowed, LPCSTR name = nullptr)
{
    file->writable = file->writable && writeAllowed;
    auto obj = std::make_shared<MappingObject>();
    obj->file = std::move(file);
    obj->name = name != nullptr ? name : "";
    g_liveMappings.fetch_add(1);
    return RegisterHandle(std::move(obj));
}

}  // namespace
}  // namespace detail

void SetMappingNamespace(const std::string& ns)
{
    std::lock_guard<std::mutex> lock(detail::Namespace().mutex);
    detail::Namespace().name = ns;
}

std::string MappingNamespace()
{
    std::lock_guard<std::mutex> lock(detail::Namespace().mutex);
    return detail::Namespace().name;
}

std::string ShmObjectName(const std::string& mappingName)
{
    // '/' cannot be part of an object name: it is written %2F, and '%' itself %25, so
    // that distinct mapping names stay distinct objects.
    std::string name = "/";
    for (char c : MappingNamespace() + "." + mappingName) {
        if (c == '/')
            name += "%2F";
        else if (c == '%')
            name += "%25";
        else
            name += c;
    }
    // POSIX limits object names to NAME_MAX; a longer one keeps its start and gets a hash
    // of the whole in place of its tail, so it stays unique and every process derives
    // the same object name.
    const size_t kMax = 240;
    if (name.size() > kMax) {
        uint64_t h = 1469598103934665603ULL;
        for (unsigned char c : name)
            h = (h ^ c) * 1099511628211ULL;
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
        name = name.substr(0, kMax - 17) + "~" + hex;
    }
    return name;
}

MappingPresence ProbeMapping(const std::string& mappingName)
{
    int fd = shm_open(ShmObjectName(mappingName).c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return errno == ENOENT ? MappingPresence::Absent : MappingPresence::Held;
    MappingPresence presence = MappingPresence::Held;
    struct stat st;
    // Every holder keeps a shared lock. A creator takes it before it sizes the object, so
    // an unlocked object of size 0 is still being created.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        if (fstat(fd, &st) == 0 && st.st_size > 0)
            presence = MappingPresence::Unheld;
        flock(fd, LOCK_UN);
    }
    close(fd);
    return presence;
}

long LiveMappings()
{
    return detail::g_liveMappings.load();
}

}  // namespace kvplat

extern "C" {

HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES sa, DWORD flProtect, DWORD dwMaximumSizeHigh,
                                 DWORD dwMaximumSizeLow, LPCSTR lpName)
{
    using namespace kvplat::detail;
    if (ShouldFail(kvplat::Fault::Mapping)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    // Only paging-file mappings are supported.
    if (hFile != INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    if (flProtect != PAGE_READWRITE && flProtect != PAGE_READONLY) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    uint64_t size = (static_cast<uint64_t>(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow;
    DWORD error = 0;

    if (lpName == nullptr || *lpName == '\0') {
        if (size == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return NULL;
        }
        std::shared_ptr<ShmFile> file = CreateUnnamed(size, &error);
        if (!file) {
            SetLastError(error);
            return NULL;
        }
        HANDLE h = NewMappingHandle(std::move(file), flProtect == PAGE_READWRITE);
        SetLastError(ERROR_SUCCESS);
        return h;
    }

    std::string name = kvplat::ShmObjectName(lpName);
    // Create, or take the existing object as it is; retried when the other side's object
    // disappears between our two attempts.
    for (int attempt = 0; attempt < 100; attempt++) {
        if (size != 0) {
            std::shared_ptr<ShmFile> file = CreateNew(name, size, ModeFor(sa), &error);
            if (file) {
                HANDLE h = NewMappingHandle(std::move(file), flProtect == PAGE_READWRITE, lpName);
                SetLastError(ERROR_SUCCESS);
                return h;
            }
            if (error != ERROR_ALREADY_EXISTS) {
                SetLastError(error);
                return NULL;
            }
        }
        std::shared_ptr<ShmFile> file = OpenExisting(name, &error);
        if (file) {
            HANDLE h = NewMappingHandle(std::move(file), flProtect == PAGE_READWRITE, lpName);
            SetLastError(ERROR_ALREADY_EXISTS);
            return h;
        }
        if (error != ERROR_FILE_NOT_FOUND) {
            SetLastError(error);
            return NULL;
        }
        if (size == 0) {
            // A new paging-file mapping needs a size.
            SetLastError(ERROR_INVALID_PARAMETER);
            return NULL;
        }
    }
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
}

HANDLE WINAPI OpenFileMappingA(DWORD dwDesiredAccess, BOOL, LPCSTR lpName)
{
    using namespace kvplat::detail;
    if (lpName == nullptr || *lpName == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    DWORD error = 0;
    std::shared_ptr<ShmFile> file = OpenExisting(kvplat::ShmObjectName(lpName), &error);
    if (!file) {
        SetLastError(error);
        return NULL;
    }
    // Views of this handle may write only when the handle was opened for writing.
    HANDLE h = NewMappingHandle(std::move(file), (dwDesiredAccess & FILE_MAP_WRITE) != 0, lpName);
    SetLastError(ERROR_SUCCESS);
    return h;
}

}  // extern "C"
