// Files, local time and the debugger's output: the part of the Win32 subset that a trace
// file needs. A file handle is a kernel object around a POSIX descriptor; paths are POSIX
// paths.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "internal.h"

namespace {

using kvplat::detail::Kind;
using kvplat::detail::Object;

struct FileObject : Object {
    explicit FileObject(int descriptor) : Object(Kind::File), fd(descriptor) {}
    ~FileObject() override { OnClose(); }
    void OnClose() override
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    int fd;  // the open descriptor, -1 once the handle is closed
};

DWORD FileError(int e)
{
    switch (e) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EIO:
        return ERROR_WRITE_FAULT;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

int DescriptorOf(HANDLE h)
{
    auto file = kvplat::detail::LookupAs<FileObject>(h, Kind::File);
    return file ? file->fd : -1;
}

std::mutex g_debugMutex;
kvplat::DebugOutputHook g_debugHook;

}  // namespace

namespace kvplat {

void SetDebugOutputHook(DebugOutputHook hook)
{
    std::lock_guard<std::mutex> lock(g_debugMutex);
    g_debugHook = std::move(hook);
}

}  // namespace kvplat

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD, HANDLE)
{
    int flags = O_CLOEXEC;
    if (lpFileName == nullptr || lpFileName[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if ((dwDesiredAccess & GENERIC_WRITE) && (dwDesiredAccess & GENERIC_READ))
        flags |= O_RDWR;
    else if (dwDesiredAccess & GENERIC_WRITE)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    switch (dwCreationDisposition) {
    case CREATE_ALWAYS:
        flags |= O_CREAT | O_TRUNC;
        break;
    case OPEN_ALWAYS:
        flags |= O_CREAT;
        break;
    case OPEN_EXISTING:
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int fd = open(lpFileName, flags, 0644);
    if (fd < 0) {
        SetLastError(FileError(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(dwCreationDisposition == OPEN_ALWAYS && !(flags & O_TRUNC) && st.st_size > 0 ? ERROR_ALREADY_EXISTS
                                                                                                 : ERROR_SUCCESS);
    return kvplat::detail::RegisterHandle(std::make_shared<FileObject>(fd));
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      void*)
{
    int fd = DescriptorOf(hFile);
    DWORD done = 0;
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = 0;
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    while (done < nNumberOfBytesToWrite) {
        ssize_t n = write(fd, static_cast<const char*>(lpBuffer) + done, nNumberOfBytesToWrite - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (lpNumberOfBytesWritten != nullptr)
                *lpNumberOfBytesWritten = done;
            SetLastError(n < 0 ? FileError(errno) : ERROR_DISK_FULL);
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = done;
    return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod)
{
    int fd = DescriptorOf(hFile);
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    off_t distance = lDistanceToMove;
    if (lpDistanceToMoveHigh != nullptr)
        distance = static_cast<off_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                      static_cast<uint32_t>(lDistanceToMove));
    int whence = dwMoveMethod == FILE_END ? SEEK_END : dwMoveMethod == FILE_BEGIN ? SEEK_SET : SEEK_CUR;
    off_t at = lseek(fd, distance, whence);
    if (at < 0) {
        SetLastError(FileError(errno));
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh != nullptr)
        *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(at) >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(at);
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    int fd = DescriptorOf(hFile);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : FileError(errno));
        return INVALID_FILE_SIZE;
    }
    if (lpFileSizeHigh != nullptr)
        *lpFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(st.st_size);
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName)
{
    if (lpFileName == nullptr || unlink(lpFileName) != 0) {
        SetLastError(lpFileName == nullptr ? ERROR_PATH_NOT_FOUND : FileError(errno));
        return FALSE;
    }
    return TRUE;
}

// Fails when the new name exists, as on Windows.
BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName)
{
    struct stat st;
    if (lpExistingFileName == nullptr || lpNewFileName == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (lstat(lpNewFileName, &st) == 0) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (rename(lpExistingFileName, lpNewFileName) != 0) {
        SetLastError(FileError(errno));
        return FALSE;
    }
    return TRUE;
}

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    struct timespec now;
    struct tm local;
    clock_gettime(CLOCK_REALTIME, &now);
    localtime_r(&now.tv_sec, &local);
    lpSystemTime->wYear = static_cast<WORD>(local.tm_year + 1900);
    lpSystemTime->wMonth = static_cast<WORD>(local.tm_mon + 1);
    lpSystemTime->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    lpSystemTime->wDay = static_cast<WORD>(local.tm_mday);
    lpSystemTime->wHour = static_cast<WORD>(local.tm_hour);
    lpSystemTime->wMinute = static_cast<WORD>(local.tm_min);
    lpSystemTime->wSecond = static_cast<WORD>(local.tm_sec);
    lpSystemTime->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

void WINAPI OutputDebugStringA(LPCSTR lpOutputString)
{
    std::lock_guard<std::mutex> lock(g_debugMutex);
    if (g_debugHook && lpOutputString != nullptr)
        g_debugHook(lpOutputString);
}

}  // extern "C"
