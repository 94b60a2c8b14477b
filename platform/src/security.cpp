// The small part of security descriptors that goes with mappings: a descriptor with a NULL
// DACL opens a new object to every user, anything else to the owner only.
#include "shm.h"

#include <cstring>

namespace kvplat {
namespace detail {
namespace {

// Security descriptor as laid out in the caller's buffer (SECURITY_DESCRIPTOR_MIN_LENGTH
// bytes): revision, a reserved byte, the control word, then the DACL pointer.
const size_t kSdRevision = 0;
const size_t kSdControl = 2;
const size_t kSdDacl = 4;
const WORD kSeDaclPresent = 0x0004;
const WORD kSeDaclDefaulted = 0x0008;

}  // namespace

// NULL DACL in the descriptor = every user has access; otherwise the owner only. Windows 98
// has no object security: every process may open any mapping, whatever the descriptor.
mode_t ModeFor(LPSECURITY_ATTRIBUTES sa)
{
    if (Win9x())
        return 0666;
    if (sa == nullptr || sa->lpSecurityDescriptor == nullptr)
        return 0600;
    const auto* sd = static_cast<const BYTE*>(sa->lpSecurityDescriptor);
    WORD control;
    void* dacl;
    std::memcpy(&control, sd + kSdControl, sizeof control);
    std::memcpy(&dacl, sd + kSdDacl, sizeof dacl);
    return sd[kSdRevision] == SECURITY_DESCRIPTOR_REVISION && (control & kSeDaclPresent) && dacl == nullptr ? 0666
                                                                                                            : 0600;
}

}  // namespace detail
}  // namespace kvplat

extern "C" {

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision)
{
    using namespace kvplat::detail;
    if (Stubbed("InitializeSecurityDescriptor"))
        return FALSE;
    if (pSecurityDescriptor == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    auto* sd = static_cast<BYTE*>(pSecurityDescriptor);
    std::memset(sd, 0, SECURITY_DESCRIPTOR_MIN_LENGTH);
    sd[kSdRevision] = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, void* pDacl,
                                      BOOL bDaclDefaulted)
{
    using namespace kvplat::detail;
    if (Stubbed("SetSecurityDescriptorDacl"))
        return FALSE;
    if (pSecurityDescriptor == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* sd = static_cast<BYTE*>(pSecurityDescriptor);
    if (sd[kSdRevision] != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    WORD control;
    std::memcpy(&control, sd + kSdControl, sizeof control);
    control = static_cast<WORD>(control & ~(kSeDaclPresent | kSeDaclDefaulted));
    void* dacl = nullptr;
    if (bDaclPresent) {
        control |= kSeDaclPresent;
        if (bDaclDefaulted)
            control |= kSeDaclDefaulted;
        dacl = pDacl;
    }
    std::memcpy(sd + kSdControl, &control, sizeof control);
    std::memcpy(sd + kSdDacl, &dacl, sizeof dacl);
    return TRUE;
}

}  // extern "C"
