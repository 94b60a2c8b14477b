// Prototypes of two changes proposed for the monitor, measured beside the current code.
// They are not used by the monitor; they live here only so that the proposals come with
// figures. Same behaviour as the monitor's functions they stand for.
#ifndef KVBENCH_PROPOSALS_H
#define KVBENCH_PROPOSALS_H

#include "kvmon.h"

namespace kvbench {

// WritePort with the flag and status tests done as acquire loads instead of
// InterlockedCompareExchange(x, 0, 0): a plain load on x86, where a locked compare-exchange
// is a full read-modify-write of the context's cache line. Three per write today.
BOOL WINAPI ProposedWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);

// Base64Decode with a 256-entry table in place of Base64CharValue's chain of range tests;
// characters outside the alphabet still count 255, groups and padding as before.
void ProposedBase64Decode(const char* in, DWORD* len, BYTE* out);

}  // namespace kvbench

#endif
