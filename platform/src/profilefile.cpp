// Where INI files live: on disk, or (KeepProfilesInMemory) read from disk once and from
// then on kept and changed in memory, so that a run that writes a file many times pays
// no system call per key.
#include "internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

namespace kvplat {
namespace detail {
namespace {

struct MemoryFile {
    bool exists = false;  // false: absent (read from disk as absent, not written since)
    std::string data;     // the whole file
};

// Never destroyed, like all state of this library.
struct Store {
    std::mutex mutex;
    bool on = false;
    std::unordered_map<std::string, MemoryFile> files;  // by host path as given
};
Store& TheStore()
{
    static Store* store = new Store;
    return *store;
}

DWORD ErrnoToError(int e)
{
    switch (e) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

bool ReadDisk(const std::string& path, std::string* data, bool* exists, DWORD* error)
{
    *exists = false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        *error = ErrnoToError(errno);
        return false;
    }
    *exists = true;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = ErrnoToError(errno);
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        data->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

bool WriteDisk(const std::string& path, const std::string& data, DWORD* error)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error = ErrnoToError(errno);
        return false;
    }
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = write(fd, data.data() + off, data.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = ErrnoToError(errno);
            close(fd);
            return false;
        }
        off += static_cast<size_t>(n);
    }
    close(fd);
    return true;
}

// A file that does not exist yet can be created only in a folder that does.
bool FolderExists(const std::string& path, DWORD* error)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return true;
    struct stat st;
    std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    if (stat(folder.c_str(), &st) != 0) {
        *error = ErrnoToError(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    return true;
}

}  // namespace

bool LoadProfileFile(const std::string& path, std::string* data, bool* exists, DWORD* error)
{
    Store& store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    if (!store.on)
        return ReadDisk(path, data, exists, error);
    auto it = store.files.find(path);
    if (it == store.files.end()) {
        MemoryFile file;
        if (!ReadDisk(path, &file.data, &file.exists, error))
            return false;
        it = store.files.emplace(path, std::move(file)).first;
    }
    *exists = it->second.exists;
    *data = it->second.data;
    return true;
}

bool StoreProfileFile(const std::string& path, const std::string& data, DWORD* error)
{
    Store& store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    if (!store.on)
        return WriteDisk(path, data, error);
    MemoryFile& file = store.files[path];
    if (!file.exists && !FolderExists(path, error))
        return false;
    file.exists = true;
    file.data = data;
    return true;
}

}  // namespace detail

void KeepProfilesInMemory(bool on)
{
    detail::Store& store = detail::TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    store.on = on;
    store.files.clear();
}

}  // namespace kvplat
