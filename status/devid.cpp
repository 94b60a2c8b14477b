// Device ID recognition and decoding of the status record in its VSTATUS: field.
// The device's bytes are untrusted: every search stops at the text's NUL and every copy is
// bounded by its output buffer.
#include <string.h>

#include "kvmon.h"

static const char c_szMaker[] = "Kestravon";
static const char c_szVStatus[] = "VSTATUS:";
static const char c_szBase64Flag[] = "FL1;";
static const char c_szRawFlag[] = "FL0;";

// Accepted model prefixes, tried in order. An empty entry accepts every model.
static const char* const c_aszModels[10] = {"ZR-QM4471", "", "", "", "", "", "", "", "", ""};

// The first keyLen characters at key (which end with its colon) are exactly name.
static BOOL KeyIs(const char* key, int keyLen, const char* name)
{
    return keyLen == lstrlenA(name) && StrCompareN(key, name, keyLen) == 0;
}

// Copies value up to its ';' (or the end of the text) into a 260-byte output buffer. The
// buffer is cleared first so that a later duplicate key replaces the whole earlier value;
// a longer value is cut to 259 characters and terminated.
static void CopyValue(char* out, const char* value)
{
    int n = 0;

    memset(out, 0, NAME_BUFFER_SIZE);
    while (n < NAME_BUFFER_SIZE - 1 && value[n] != '\0' && value[n] != ';') {
        out[n] = value[n];
        n++;
    }
}

BOOL ParseDeviceId(PortContext* ctx, char* text, char* mfgOut, char* mdlOut)
{
    char* p = text;

    ClearFlags(ctx, PCF_MODEL_OK | PCF_MAKER_OK);
    while (p != NULL && *p != '\0') {
        char* colon = (char*)StrFindChar(p, ':');
        char* value;
        char* semicolon;
        int keyLen;
        int i;

        if (colon == NULL)
            break;
        value = colon + 1;
        keyLen = (int)(value - p);

        // Keys are taken exactly as they stand: a blank or a bare token before a key
        // becomes part of it.
        if (*p == 'M') {
            if (KeyIs(p, keyLen, "MODEL:") || KeyIs(p, keyLen, "MDL:")) {
                for (i = 0; i < 10; i++) {
                    if (StrCompareN(value, c_aszModels[i], lstrlenA(c_aszModels[i])) == 0) {
                        SetFlags(ctx, PCF_MODEL_OK);
                        CopyValue(mdlOut, value);
                        break;
                    }
                }
            } else if (KeyIs(p, keyLen, "MANUFACTURER:") || KeyIs(p, keyLen, "MFG:")) {
                if (StrCompareN(value, c_szMaker, lstrlenA(c_szMaker)) == 0) {
                    SetFlags(ctx, PCF_MAKER_OK);
                    CopyValue(mfgOut, value);
                }
            }
        }

        semicolon = (char*)StrFindChar(value, ';');
        if (semicolon != NULL) {
            *semicolon = '\0';
            p = semicolon + 1;
        } else {
            p = NULL;
        }
    }

    if (TestFlags(ctx, PCF_MODEL_OK) && TestFlags(ctx, PCF_MAKER_OK)) {
        ClearFlags(ctx, PCF_UNRECOGNISED);
        return TRUE;
    }
    SetFlags(ctx, PCF_UNRECOGNISED);
    return FALSE;
}

char* FindVStatus(const char* text)
{
    const char* p;

    for (p = StrFindChar(text, 'V'); p != NULL; p = StrFindChar(p + 1, 'V')) {
        if (StrCompareN(p, c_szVStatus, 8) == 0)
            return (char*)p + 8;
    }
    return NULL;
}

// Decodes a Base64 payload flagged by "FL1;" before it and rewrites that flag to "FL0;".
BOOL DecodeVStatus(char* text, const char* payload, BYTE* out, DWORD* len)
{
    char* flag = NULL;
    char* p;

    for (p = (char*)StrFindChar(text, 'F'); p != NULL && p < payload; p = (char*)StrFindChar(p + 1, 'F')) {
        if (StrCompareN(p, c_szBase64Flag, 4) == 0) {
            flag = p;
            break;
        }
    }
    if (flag == NULL)
        return FALSE;

    *len = (DWORD)lstrlenA(payload);
    if (*len % 4 != 0)
        return FALSE;

    memcpy(flag, c_szRawFlag, 4);
    Base64Decode(payload, len, out);
    return TRUE;
}

WORD StatusCodeAt(const BYTE* buffer, DWORD start)
{
    BYTE high = start + 21 < DEVID_BUFFER_SIZE ? buffer[start + 21] : 0;
    BYTE low = start + 22 < DEVID_BUFFER_SIZE ? buffer[start + 22] : 0;

    return (WORD)(high * 256 + low);
}

// Value of every byte in the Base64 alphabet; 255 for bytes outside it. A table rather than
// range tests: the tests mispredict on almost every character of a payload.
static const BYTE c_abBase64Values[256] = {
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  62, 255, 255, 255,  63,
     52,  53,  54,  55,  56,  57,  58,  59,  60,  61, 255, 255, 255, 255, 255, 255,
    255,   0,   1,   2,   3,   4,   5,   6,   7,   8,   9,  10,  11,  12,  13,  14,
     15,  16,  17,  18,  19,  20,  21,  22,  23,  24,  25, 255, 255, 255, 255, 255,
    255,  26,  27,  28,  29,  30,  31,  32,  33,  34,  35,  36,  37,  38,  39,  40,
     41,  42,  43,  44,  45,  46,  47,  48,  49,  50,  51, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
};

// Index of the first whole group with '=' in its third or fourth place, or the number of
// whole groups when there is none. '=' in a first or second place is an ordinary
// (foreign) character.
static DWORD FindPaddedGroup(const char* in, DWORD groups)
{
    const char* from = in;
    const char* end = in + groups * 4;
    const char* eq;

    while (from < end && (eq = (const char*)memchr(from, '=', (size_t)(end - from))) != NULL) {
        if ((eq - in) % 4 >= 2)
            return (DWORD)((eq - in) / 4);
        from = eq + 1;
    }
    return groups;
}

// Decodes whole groups of four characters up to and including the first padded group.
// Characters outside the alphabet count 255 and are not rejected. The output needs
// 3 bytes for every 4 input characters.
void Base64Decode(const char* in, DWORD* len, BYTE* out)
{
    // The input and output never overlap; saying so lets the compiler keep the input in
    // registers across the stores.
    const BYTE* __restrict src = (const BYTE*)in;
    BYTE* __restrict dst = out;
    DWORD groups = *len / 4;
    DWORD padded = FindPaddedGroup(in, groups);
    DWORD g;
    DWORD o = padded * 3;
    BYTE a, b, c, d;

    for (g = 0; g < padded; g++, src += 4, dst += 3) {
        a = c_abBase64Values[src[0]];
        b = c_abBase64Values[src[1]];
        c = c_abBase64Values[src[2]];
        d = c_abBase64Values[src[3]];
        dst[0] = (BYTE)((a << 2) | ((b >> 4) & 3));
        dst[1] = (BYTE)((b << 4) | ((c >> 2) & 0x0F));
        dst[2] = (BYTE)((c << 6) | d);
    }
    if (padded < groups) {
        a = c_abBase64Values[src[0]];
        b = c_abBase64Values[src[1]];
        out[o++] = (BYTE)((a << 2) | ((b >> 4) & 3));
        if (src[2] != '=') {
            c = c_abBase64Values[src[2]];
            out[o++] = (BYTE)((b << 4) | ((c >> 2) & 0x0F));
        }
    }
    *len = o;
}

BYTE Base64CharValue(char c)
{
    return c_abBase64Values[(BYTE)c];
}
