// The Windows 98 answers to kvmon.dll's imports, and the rewriting of its import address
// table that puts them in place.
#include "win98.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "win98stubs.h"

namespace kvwine {
namespace {

// A function Windows 98 exports only as a stub: FALSE, ERROR_CALL_NOT_IMPLEMENTED. One per
// size of the arguments, so that the stdcall return pops what the caller pushed; a stub of a
// new size in win98stubs.h needs its specialisation here.
template <int Bytes>
struct Stub;
template <>
struct Stub<8> {
    static BOOL WINAPI Call(DWORD, DWORD)
    {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
};
template <>
struct Stub<16> {
    static BOOL WINAPI Call(DWORD, DWORD, DWORD, DWORD)
    {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
};

// Windows 98 answers 0xC0000A04: 4.10, the high bit of the 9x platform.
DWORD WINAPI Win98GetVersion()
{
    return 0xC0000A04u;
}

BOOL WINAPI Win98GetVersionExA(LPOSVERSIONINFOA info)
{
    if (info == nullptr || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD size = info->dwOSVersionInfoSize;
    std::memset(info, 0, sizeof(OSVERSIONINFOA));
    info->dwOSVersionInfoSize = size;
    info->dwMajorVersion = 4;
    info->dwMinorVersion = 10;
    info->dwBuildNumber = 0x040A07CEu;  // 4.10.1998
    info->dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
    return TRUE;
}

// Windows 9x writes the new thread's id unconditionally and refuses a NULL place for it.
HANDLE WINAPI Win98CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID param,
                                DWORD flags, LPDWORD id)
{
    if (id == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    return CreateThread(sa, stack, start, param, flags, id);
}

FARPROC WINAPI Win98GetProcAddress(HMODULE module, LPCSTR name);

struct Replacement {
    const char* name;  // the import's name
    FARPROC with;      // the Windows 98 answer
};

template <class F>
FARPROC Proc(F* f)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(f));
}

#define KV_STUB_REPLACEMENT(dll, name, bytes) {#name, Proc(&Stub<bytes>::Call)},
const Replacement kReplacements[] = {
    KV_WIN98_STUBS(KV_STUB_REPLACEMENT)
    {"GetVersion", Proc(&Win98GetVersion)},
    {"GetVersionExA", Proc(&Win98GetVersionExA)},
    {"CreateThread", Proc(&Win98CreateThread)},
    {"GetProcAddress", Proc(&Win98GetProcAddress)},
};
#undef KV_STUB_REPLACEMENT

std::vector<std::string> g_rewritten;  // names of the imports rewritten

FARPROC ReplacementFor(const char* name)
{
    for (const Replacement& r : kReplacements) {
        if (std::strcmp(r.name, name) == 0)
            return r.with;
    }
    return nullptr;
}

// Names bound at run time get the same answers as the import table (ordinals pass through).
FARPROC WINAPI Win98GetProcAddress(HMODULE module, LPCSTR name)
{
    if (reinterpret_cast<UINT_PTR>(name) > 0xFFFF) {
        if (FARPROC r = ReplacementFor(name))
            return r;
    }
    return GetProcAddress(module, name);
}

// Writes one entry of the import address table, which the loader leaves read-only.
bool Rewrite(IMAGE_THUNK_DATA32* entry, FARPROC with)
{
    DWORD old = 0;
    if (!VirtualProtect(&entry->u1.Function, sizeof entry->u1.Function, PAGE_READWRITE, &old))
        return false;
    entry->u1.Function = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(with));
    VirtualProtect(&entry->u1.Function, sizeof entry->u1.Function, old, &old);
    FlushInstructionCache(GetCurrentProcess(), &entry->u1.Function, sizeof entry->u1.Function);
    return true;
}

}  // namespace

bool Win98Mode()
{
    const char* os = std::getenv("KVMON_OS");
    return os != nullptr && std::strcmp(os, "win98") == 0;
}

const std::vector<std::string>& RewrittenImports()
{
    return g_rewritten;
}

bool AnswerAsWindows98(HMODULE module)
{
    BYTE* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || nt->Signature != IMAGE_NT_SIGNATURE) {
        std::printf("as Windows 98: the module is not a PE image\n");
        return false;
    }
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return true;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name != 0; ++d) {
        // The names are read from the lookup table: the loader has overwritten the IAT.
        if (d->OriginalFirstThunk == 0) {
            std::printf("as Windows 98: %s has no import lookup table\n", reinterpret_cast<char*>(base + d->Name));
            return false;
        }
        auto* lookup = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + d->OriginalFirstThunk);
        auto* iat = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + d->FirstThunk);
        for (; lookup->u1.AddressOfData != 0; ++lookup, ++iat) {
            if (IMAGE_SNAP_BY_ORDINAL32(lookup->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + lookup->u1.AddressOfData);
            const char* name = reinterpret_cast<const char*>(byName->Name);
            FARPROC with = ReplacementFor(name);
            if (with == nullptr)
                continue;
            if (!Rewrite(iat, with)) {
                std::printf("as Windows 98: VirtualProtect of the entry of %s failed: error %lu\n", name,
                            GetLastError());
                return false;
            }
            g_rewritten.push_back(name);
        }
    }
    return true;
}

}  // namespace kvwine
