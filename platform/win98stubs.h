// The functions kvmon.dll imports that Windows 95, 98 and ME export only as stubs: each
// returns FALSE with ERROR_CALL_NOT_IMPLEMENTED and does nothing. One entry per function,
// X(dll, name, bytes of its stdcall arguments). The platform layer's Windows 98 personality
// and the Wine runner's Windows 98 mode both answer these calls from this one list.
#ifndef KVMON_PLATFORM_WIN98STUBS_H
#define KVMON_PLATFORM_WIN98STUBS_H

#define KV_WIN98_STUBS(X)                           \
    X("ADVAPI32", InitializeSecurityDescriptor, 8)  \
    X("ADVAPI32", SetSecurityDescriptorDacl, 16)

#endif  // KVMON_PLATFORM_WIN98STUBS_H
