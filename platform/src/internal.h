// Shared pieces of the POSIX platform layer: the kernel-object handle table, fault
// injection, the scaled clock and the code page 1251 helpers.
#ifndef KVMON_PLATFORM_INTERNAL_H
#define KVMON_PLATFORM_INTERNAL_H

#include <windows.h>

#include "kvplatform.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace kvplat {
namespace detail {

// ---- personality (personality.cpp) ----
bool Win9x();  // the platform answers as Windows 98
// true when the personality only stubs `function`: the caller returns its failure, the
// last error already set to ERROR_CALL_NOT_IMPLEMENTED.
bool Stubbed(const char* function);

// ---- kernel objects ----
enum class Kind { Event, Thread, Mapping, File };

// A kernel object behind a HANDLE. The handle value is the object's address; the table
// below holds the only owning reference besides those of callers that are using the
// object right now (a wait in progress keeps its event alive across a CloseHandle).
struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    // Called once, when the handle is closed (not when the last reference goes).
    virtual void OnClose() {}
    const Kind kind;
};

HANDLE RegisterHandle(std::shared_ptr<Object> obj);
// The live object behind h, or null when h is not an open handle.
std::shared_ptr<Object> LookupHandle(HANDLE h);
// Same, restricted to one kind.
template <class T>
std::shared_ptr<T> LookupAs(HANDLE h, Kind kind)
{
    std::shared_ptr<Object> obj = LookupHandle(h);
    if (!obj || obj->kind != kind)
        return nullptr;
    return std::static_pointer_cast<T>(obj);
}
// Waits on an event or thread object; the body lives with the synchronisation code.
DWORD WaitOnObject(const std::shared_ptr<Object>& obj, DWORD ms);

// Events (sync.cpp) and threads (thread.cpp) are both waited on the same way: a flag under
// a lock. A thread's flag is set once, when its procedure has returned; it never resets.
struct Waitable : Object {
    Waitable(Kind k, bool manual, bool initial) : Object(k), manualReset(manual), signalled(initial) {}
    std::mutex mutex;          // guards signalled for threads that run freely
    std::condition_variable cv;  // told when signalled is set
    const bool manualReset;    // false: a wait that succeeds clears signalled again
    bool signalled;            // the state waits look at
};

// ---- threads ----
// The id GetCurrentThreadId reports on the calling kernel thread (fibers switch it).
void SetThreadIdOfCaller(DWORD id);

// ---- fault injection ----
// Counts one call of that kind; true when this call is the one chosen to fail.
bool ShouldFail(Fault kind);

// ---- clock ----
// Real duration of a platform wait of `ms` under the current time scale.
std::chrono::microseconds ScaledDuration(DWORD ms);

// ---- code page 1251 ----
// Unicode code point of one byte of code page 1251.
uint32_t Cp1251ToUnicode(unsigned char c);
// Byte for a code point, or -1 when code page 1251 has no character for it.
int UnicodeToCp1251(uint32_t cp);
// The same for the ANSI code page (CP_ACP: the system's, SetAnsiCodePage) or 1251, 1252.
uint32_t AnsiToUnicode(unsigned char c, UINT cp = CP_ACP);
int UnicodeToAnsi(uint32_t u, UINT cp = CP_ACP);
// Decodes one UTF-8 sequence starting at s (n bytes available). Returns the bytes used
// (at least 1) and stores the code point, U+FFFD for a malformed sequence.
size_t DecodeUtf8(const unsigned char* s, size_t n, uint32_t* cp);
void AppendUtf8(std::string& out, uint32_t cp);
// Case-insensitive equality of two ANSI strings (ASCII and Cyrillic letters fold).
bool EqualNoCase(const std::string& a, const std::string& b);

// ---- INI file contents (profilefile.cpp), called under the INI lock ----
// Whole file; true with *exists = false when it is absent, false with an error code when
// it cannot be read.
bool LoadProfileFile(const std::string& path, std::string* data, bool* exists, DWORD* error);
// Replaces the whole file; false with an error code.
bool StoreProfileFile(const std::string& path, const std::string& data, DWORD* error);

// ---- resets used by ResetForTest ----
void ResetThreadRecords();
// Runs the test hold hook, if one is set (kvplatform.h).
void Hold(const char* call, DWORD value);
void ResetRegistry();
void ResetWindowLogs();
void ResetMappingHooks();
void ResetProfileHooks();

}  // namespace detail
}  // namespace kvplat

#endif  // KVMON_PLATFORM_INTERNAL_H
