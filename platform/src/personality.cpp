// Which Windows the platform answers as: NT (the default) or Windows 98. Under Windows 98
// the functions that 98 only stubs fail as it fails them, the version calls report 4.10 on
// the 9x platform, CreateThread wants somewhere to write the thread id, and mappings take
// no security descriptor (thread.cpp, security.cpp, mapping.cpp ask Stubbed and Win9x).
#include "internal.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "../win98stubs.h"

namespace kvplat {
namespace detail {
namespace {

#define KV_STUB_NAME(dll, name, bytes) #name,
const char* const kWin98Stubs[] = {KV_WIN98_STUBS(KV_STUB_NAME)};
#undef KV_STUB_NAME

// Windows 98: 4.10, build 1998; NT 4.0, build 1381.
const DWORD kWin98Build = 1998;
const DWORD kNt4Build = 1381;

// $KVMON_OS ("win98" or "nt") when set, else NT; SetPersonality changes it.
std::atomic<int>& PersonalityCell()
{
    static std::atomic<int> cell{[] {
        Personality p = Personality::Nt;
        const char* env = std::getenv("KVMON_OS");
        if (env != nullptr)
            ParsePersonality(env, &p);
        return static_cast<int>(p);
    }()};
    return cell;
}

}  // namespace

bool Win9x()
{
    return CurrentPersonality() == Personality::Win98;
}

bool Stubbed(const char* function)
{
    if (!Win9x())
        return false;
    for (const char* stub : kWin98Stubs) {
        if (std::strcmp(stub, function) == 0) {
            SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
            return true;
        }
    }
    return false;
}

}  // namespace detail

void SetPersonality(Personality personality)
{
    detail::PersonalityCell().store(static_cast<int>(personality));
}

Personality CurrentPersonality()
{
    return static_cast<Personality>(detail::PersonalityCell().load());
}

bool ParsePersonality(const std::string& name, Personality* personality)
{
    if (name == "nt")
        *personality = Personality::Nt;
    else if (name == "win98")
        *personality = Personality::Win98;
    else
        return false;
    return true;
}

const char* PersonalityName(Personality personality)
{
    return personality == Personality::Win98 ? "win98" : "nt";
}

std::vector<std::string> StubbedFunctions(Personality personality)
{
    if (personality != Personality::Win98)
        return {};
    return std::vector<std::string>(std::begin(detail::kWin98Stubs), std::end(detail::kWin98Stubs));
}

}  // namespace kvplat

extern "C" {

// Major version in the low byte, minor in the next. NT: the build in the high word. 9x: the
// high bit set and the rest of the high word reserved (Windows 98 answers 0xC0000A04).
DWORD WINAPI GetVersion(void)
{
    using namespace kvplat::detail;
    if (Win9x())
        return 0xC0000A04u;
    return (kNt4Build << 16) | 4u;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info)
{
    using namespace kvplat::detail;
    if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memset(&info->dwMajorVersion, 0, sizeof(*info) - sizeof(info->dwOSVersionInfoSize));
    info->dwMajorVersion = 4;
    if (Win9x()) {
        info->dwMinorVersion = 10;
        info->dwBuildNumber = (4u << 24) | (10u << 16) | kWin98Build;
        info->dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
    } else {
        info->dwMinorVersion = 0;
        info->dwBuildNumber = kNt4Build;
        info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    }
    return TRUE;
}

}  // extern "C"
