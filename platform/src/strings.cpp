// ANSI strings: the lstr* functions, CompareStringA, conversions between the ANSI code
// page (1251, a Russian system, unless set to 1252), UTF-16 and UTF-8, and LoadStringA
// over the string table.
#include "internal.h"

#include "resources/strings.h"

#include <atomic>
#include <cstring>

namespace kvplat {
namespace detail {
namespace {

// Code page 1251, bytes 0x80..0xBF. 0x98 has no character; it maps to U+0098 as on the
// platform. 0xC0..0xFF are U+0410..U+044F in order.
const uint16_t kCp1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

// Code page 1252, bytes 0x80..0x9F (the five without a character map to their C1
// controls); 0xA0..0xFF are U+00A0..U+00FF.
const uint16_t kCp1252C1[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

std::atomic<UINT> g_ansiCodePage{1251};

uint32_t FoldLower(uint32_t u)
{
    if (u >= 'A' && u <= 'Z')
        return u + 0x20;
    if (u >= 0x00C0 && u <= 0x00DE && u != 0x00D7)  // À..Þ
        return u + 0x20;
    if (u >= 0x0410 && u <= 0x042F)  // А..Я
        return u + 0x20;
    if (u >= 0x0400 && u <= 0x040F)  // Ѐ..Џ (Ё, Ђ, Є, І, Ј, ...)
        return u + 0x50;
    if (u == 0x0490)  // Ґ
        return 0x0491;
    return u;
}

// Sort key of one character: letters of either case share the primary weight; Ё sorts
// right after Е as in the Russian alphabet, not before А as its code point would.
uint32_t PrimaryWeight(unsigned char c)
{
    uint32_t lower = FoldLower(AnsiToUnicode(c));
    if (lower == 0x0451)
        return 0x0435 * 2 + 1;
    return lower * 2;
}

// Orders like the platform's comparison for the letters that matter here: case-blind
// first, and when only case differs, lower case before upper case ("a" < "A" < "b").
// Punctuation is ordered by code point (the platform's word sort is not emulated).
int CompareAnsi(const char* a, size_t na, const char* b, size_t nb, bool ignoreCase)
{
    const auto* ua = reinterpret_cast<const unsigned char*>(a);
    const auto* ub = reinterpret_cast<const unsigned char*>(b);
    size_t n = na < nb ? na : nb;
    for (size_t i = 0; i < n; i++) {
        uint32_t wa = PrimaryWeight(ua[i]);
        uint32_t wb = PrimaryWeight(ub[i]);
        if (wa != wb)
            return wa < wb ? -1 : 1;
    }
    if (na != nb)
        return na < nb ? -1 : 1;
    if (ignoreCase)
        return 0;
    for (size_t i = 0; i < n; i++) {
        bool upperA = FoldLower(AnsiToUnicode(ua[i])) != AnsiToUnicode(ua[i]);
        bool upperB = FoldLower(AnsiToUnicode(ub[i])) != AnsiToUnicode(ub[i]);
        if (upperA != upperB)
            return upperA ? 1 : -1;
    }
    return 0;
}

int CompareNullable(LPCSTR a, LPCSTR b, bool ignoreCase)
{
    if (a == nullptr || b == nullptr) {
        if (a == b)
            return 0;
        return a == nullptr ? -1 : 1;
    }
    return CompareAnsi(a, std::strlen(a), b, std::strlen(b), ignoreCase);
}

// Length of s for a CompareStringA count: -1 = up to the NUL; a positive count stops at
// the NUL if that comes first.
bool CountedLength(LPCSTR s, int n, size_t* len)
{
    if (n < -1)
        return false;
    if (n == -1) {
        *len = std::strlen(s);
        return true;
    }
    size_t i = 0;
    while (i < static_cast<size_t>(n) && s[i] != '\0')
        i++;
    *len = i;
    return true;
}

bool IsAnsiCodePage(UINT cp)
{
    return cp == CP_ACP || cp == 1251 || cp == 1252;
}

}  // namespace

uint32_t Cp1251ToUnicode(unsigned char c)
{
    if (c < 0x80)
        return c;
    if (c >= 0xC0)
        return 0x0410 + (c - 0xC0);
    return kCp1251High[c - 0x80];
}

uint32_t AnsiToUnicode(unsigned char c, UINT cp)
{
    if (cp == CP_ACP)
        cp = g_ansiCodePage.load();
    if (cp == 1251)
        return Cp1251ToUnicode(c);
    return c >= 0x80 && c < 0xA0 ? kCp1252C1[c - 0x80] : c;
}

int UnicodeToAnsi(uint32_t u, UINT cp)
{
    if (cp == CP_ACP)
        cp = g_ansiCodePage.load();
    if (cp == 1251)
        return UnicodeToCp1251(u);
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF))
        return static_cast<int>(u);
    for (int i = 0; i < 32; i++) {
        if (kCp1252C1[i] == u)
            return 0x80 + i;
    }
    return -1;
}

int UnicodeToCp1251(uint32_t cp)
{
    if (cp < 0x80)
        return static_cast<int>(cp);
    if (cp >= 0x0410 && cp <= 0x044F)
        return static_cast<int>(0xC0 + (cp - 0x0410));
    for (int i = 0; i < 64; i++) {
        if (kCp1251High[i] == cp)
            return 0x80 + i;
    }
    return -1;
}

size_t DecodeUtf8(const unsigned char* s, size_t n, uint32_t* cp)
{
    unsigned char c = s[0];
    size_t len;
    uint32_t v;
    uint32_t min;
    if (c < 0x80) {
        *cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        len = 2, v = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, v = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, v = c & 0x07, min = 0x10000;
    } else {
        *cp = 0xFFFD;
        return 1;
    }
    if (n < len) {
        *cp = 0xFFFD;
        return 1;
    }
    for (size_t i = 1; i < len; i++) {
        if ((s[i] & 0xC0) != 0x80) {
            *cp = 0xFFFD;
            return 1;
        }
        v = (v << 6) | (s[i] & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) {
        *cp = 0xFFFD;
        return 1;
    }
    *cp = v;
    return len;
}

void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool EqualNoCase(const std::string& a, const std::string& b)
{
    return CompareAnsi(a.data(), a.size(), b.data(), b.size(), true) == 0;
}

}  // namespace detail

bool SetAnsiCodePage(UINT cp)
{
    if (cp != 1251 && cp != 1252)
        return false;
    detail::g_ansiCodePage = cp;
    return true;
}

UINT AnsiCodePage()
{
    return detail::g_ansiCodePage.load();
}

std::string AnsiToUtf8(const std::string& ansi)
{
    std::string out;
    for (unsigned char c : ansi)
        detail::AppendUtf8(out, detail::AnsiToUnicode(c));
    return out;
}

std::string Utf8ToAnsi(const std::string& utf8)
{
    std::string out;
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    size_t i = 0;
    while (i < utf8.size()) {
        uint32_t cp;
        i += detail::DecodeUtf8(s + i, utf8.size() - i, &cp);
        int b = detail::UnicodeToAnsi(cp);
        out += static_cast<char>(b < 0 ? '?' : b);
    }
    return out;
}

}  // namespace kvplat

extern "C" {

int WINAPI lstrlenA(LPCSTR s)
{
    return s == nullptr ? 0 : static_cast<int>(std::strlen(s));
}

LPSTR WINAPI lstrcpyA(LPSTR dst, LPCSTR src)
{
    if (dst == nullptr || src == nullptr)
        return NULL;
    std::memmove(dst, src, std::strlen(src) + 1);
    return dst;
}

// Copies at most iMaxLength - 1 characters and always terminates (when iMaxLength > 0).
LPSTR WINAPI lstrcpynA(LPSTR dst, LPCSTR src, int iMaxLength)
{
    if (dst == nullptr || src == nullptr)
        return NULL;
    if (iMaxLength <= 0)
        return dst;
    int i = 0;
    for (; i < iMaxLength - 1 && src[i] != '\0'; i++)
        dst[i] = src[i];
    dst[i] = '\0';
    return dst;
}

LPSTR WINAPI lstrcatA(LPSTR dst, LPCSTR src)
{
    if (dst == nullptr || src == nullptr)
        return NULL;
    std::memmove(dst + std::strlen(dst), src, std::strlen(src) + 1);
    return dst;
}

int WINAPI lstrcmpA(LPCSTR a, LPCSTR b)
{
    return kvplat::detail::CompareNullable(a, b, false);
}

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b)
{
    return kvplat::detail::CompareNullable(a, b, true);
}

int WINAPI CompareStringA(LCID, DWORD dwCmpFlags, LPCSTR s1, int n1, LPCSTR s2, int n2)
{
    size_t len1 = 0;
    size_t len2 = 0;
    if (s1 == nullptr || s2 == nullptr || !kvplat::detail::CountedLength(s1, n1, &len1) ||
        !kvplat::detail::CountedLength(s2, n2, &len2)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int r = kvplat::detail::CompareAnsi(s1, len1, s2, len2, (dwCmpFlags & NORM_IGNORECASE) != 0);
    return r < 0 ? CSTR_LESS_THAN : r > 0 ? CSTR_GREATER_THAN : CSTR_EQUAL;
}

int WINAPI MultiByteToWideChar(UINT cp, DWORD, LPCSTR src, int cbSrc, LPWSTR dst, int cchDst)
{
    using namespace kvplat::detail;
    if (src == nullptr || cbSrc == 0 || cbSrc < -1 || cchDst < 0 || (dst == nullptr && cchDst != 0) ||
        !(IsAnsiCodePage(cp) || cp == CP_UTF8)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = cbSrc == -1 ? std::strlen(src) + 1 : static_cast<size_t>(cbSrc);
    const auto* s = reinterpret_cast<const unsigned char*>(src);

    std::u16string out;
    for (size_t i = 0; i < n;) {
        uint32_t u;
        if (cp == CP_UTF8) {
            i += DecodeUtf8(s + i, n - i, &u);
        } else {
            u = AnsiToUnicode(s[i], cp);
            i++;
        }
        if (u >= 0x10000) {
            u -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (u >> 10));
            out += static_cast<char16_t>(0xDC00 + (u & 0x3FF));
        } else {
            out += static_cast<char16_t>(u);
        }
    }
    if (cchDst == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(cchDst)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (size_t i = 0; i < out.size(); i++)
        dst[i] = out[i];
    return static_cast<int>(out.size());
}

int WINAPI WideCharToMultiByte(UINT cp, DWORD, LPCWSTR src, int cchSrc, LPSTR dst, int cbDst, LPCSTR defaultChar,
                               LPBOOL usedDefault)
{
    using namespace kvplat::detail;
    bool utf8 = cp == CP_UTF8;
    if (src == nullptr || cchSrc == 0 || cchSrc < -1 || cbDst < 0 || (dst == nullptr && cbDst != 0) ||
        !(IsAnsiCodePage(cp) || utf8) || (utf8 && (defaultChar != nullptr || usedDefault != nullptr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = 0;
    if (cchSrc == -1) {
        while (src[n] != 0)
            n++;
        n++;
    } else {
        n = static_cast<size_t>(cchSrc);
    }
    if (usedDefault != nullptr)
        *usedDefault = FALSE;

    std::string out;
    for (size_t i = 0; i < n; i++) {
        uint32_t u = src[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && src[i + 1] >= 0xDC00 && src[i + 1] <= 0xDFFF) {
            u = 0x10000 + ((u - 0xD800) << 10) + (src[i + 1] - 0xDC00u);
            i++;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            u = 0xFFFD;  // lone surrogate
        }
        if (utf8) {
            AppendUtf8(out, u);
            continue;
        }
        int b = UnicodeToAnsi(u, cp);
        if (b < 0) {
            b = defaultChar != nullptr ? static_cast<unsigned char>(defaultChar[0]) : '?';
            if (usedDefault != nullptr)
                *usedDefault = TRUE;
        }
        out += static_cast<char>(b);
    }
    if (cbDst == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(cbDst)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(dst, out.data(), out.size());
    return static_cast<int>(out.size());
}

// The string table, handed out in the ANSI code page. The module handle is not looked
// at: there is one table.
int WINAPI LoadStringA(HINSTANCE, UINT uID, LPSTR lpBuffer, int cchBufferMax)
{
    if (lpBuffer == nullptr || cchBufferMax <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* text = nullptr;
    switch (uID) {
    case IDS_CONNECT_FAILED:
        text = KVMON_TEXT_CONNECT_FAILED;
        break;
    case IDS_PRINTER_NAME:
        text = KVMON_TEXT_PRINTER_NAME;
        break;
    default:
        lpBuffer[0] = '\0';
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    std::string ansi = kvplat::Utf8ToAnsi(text);
    size_t n = ansi.size();
    if (n > static_cast<size_t>(cchBufferMax - 1))
        n = static_cast<size_t>(cchBufferMax - 1);
    std::memcpy(lpBuffer, ansi.data(), n);
    lpBuffer[n] = '\0';
    return static_cast<int>(n);
}

}  // extern "C"
