#include "proposals.h"

#include <string.h>

namespace kvbench {

namespace {

inline LONG LoadFlags(PortContext* ctx) { return __atomic_load_n(&ctx->flags, __ATOMIC_ACQUIRE); }
inline DWORD LoadStatus(PortContext* ctx) { return __atomic_load_n(&ctx->printerStatus, __ATOMIC_ACQUIRE); }

struct Base64Table {
    BYTE v[256];
    constexpr Base64Table() : v()
    {
        for (int i = 0; i < 256; i++)
            v[i] = 255;
        for (int i = 0; i < 26; i++) {
            v['A' + i] = static_cast<BYTE>(i);
            v['a' + i] = static_cast<BYTE>(26 + i);
        }
        for (int i = 0; i < 10; i++)
            v['0' + i] = static_cast<BYTE>(52 + i);
        v[static_cast<unsigned char>('+')] = 62;
        v[static_cast<unsigned char>('/')] = 63;
    }
};
constexpr Base64Table kBase64;

inline BYTE Value(char c) { return kBase64.v[static_cast<unsigned char>(c)]; }

}  // namespace

BOOL WINAPI ProposedWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten)
{
    PortContext* ctx = (PortContext*)hPort;
    BOOL result;

    if (ctx == NULL || ctx->signature != PORT_CONTEXT_SIGNATURE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (pcbWritten == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((LoadFlags(ctx) & PCF_DOC_STARTED) == 0) {
        *pcbWritten = 0;
        return FALSE;
    }
    result = ctx->portMonitor.pfnWritePort(ctx->hMonitorPort, pBuffer, cbBuf, pcbWritten);
    if (!result || *pcbWritten == 0)
        MarkWriteError(ctx);
    else if ((LoadFlags(ctx) & PCF_WRITE_ERROR) != 0 || LoadStatus(ctx) != 0)
        ClearWriteError(ctx);  // the rare case: an error or a status to clear
    return result;
}

// Groups before the first padded one decode without a test per group: the first group with
// '=' in its third or fourth place is found first (memchr), then a straight loop runs up to it.
void ProposedBase64Decode(const char* in, DWORD* len, BYTE* out)
{
    const DWORD n = *len;
    const DWORD whole = n / 4;  // complete groups
    DWORD padded = whole;       // index of the first padded group, whole when none
    const char* from = in;
    const char* end = in + whole * 4;
    while (from < end) {
        const char* eq = static_cast<const char*>(memchr(from, '=', static_cast<size_t>(end - from)));
        if (eq == NULL)
            break;
        DWORD at = static_cast<DWORD>(eq - in);
        if (at % 4 >= 2) {
            padded = at / 4;
            break;
        }
        from = eq + 1;  // '=' in a first or second place is an ordinary (foreign) character
    }

    const unsigned char* __restrict src = reinterpret_cast<const unsigned char*>(in);
    BYTE* __restrict dst = out;
    for (DWORD g = 0; g < padded; g++, src += 4, dst += 3) {
        BYTE a = kBase64.v[src[0]], b = kBase64.v[src[1]], c = kBase64.v[src[2]], d = kBase64.v[src[3]];
        dst[0] = (BYTE)((a << 2) | ((b >> 4) & 3));
        dst[1] = (BYTE)((b << 4) | ((c >> 2) & 0x0F));
        dst[2] = (BYTE)((c << 6) | d);
    }
    DWORD o = padded * 3;
    if (padded < whole) {
        BYTE a = Value(in[padded * 4]), b = Value(in[padded * 4 + 1]);
        out[o++] = (BYTE)((a << 2) | ((b >> 4) & 3));
        if (in[padded * 4 + 2] != '=')
            out[o++] = (BYTE)((b << 4) | ((Value(in[padded * 4 + 2]) >> 2) & 0x0F));
    }
    *len = o;
}

}  // namespace kvbench
