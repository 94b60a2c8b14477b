// The memory functions the compiler calls for structure copies and clears, and that the
// monitor calls by name, for the Windows build, which links no C runtime. Plain loops: the
// DLL copies a few hundred bytes at a time. Built without the loop-to-call transformation,
// which would turn these loops into calls to themselves.
#include <stddef.h>

extern "C" {

void* memcpy(void* dst, const void* src, size_t n)
{
    unsigned char* d = (unsigned char*)dst;
    const unsigned char* s = (const unsigned char*)src;

    while (n-- != 0)
        *d++ = *s++;
    return dst;
}

void* memmove(void* dst, const void* src, size_t n)
{
    unsigned char* d = (unsigned char*)dst;
    const unsigned char* s = (const unsigned char*)src;

    if (d <= s || d >= s + n)
        return memcpy(dst, src, n);
    while (n-- != 0)
        d[n] = s[n];
    return dst;
}

void* memset(void* dst, int value, size_t n)
{
    unsigned char* d = (unsigned char*)dst;

    while (n-- != 0)
        *d++ = (unsigned char)value;
    return dst;
}

int memcmp(const void* a, const void* b, size_t n)
{
    const unsigned char* p = (const unsigned char*)a;
    const unsigned char* q = (const unsigned char*)b;

    for (; n != 0; n--, p++, q++) {
        if (*p != *q)
            return *p < *q ? -1 : 1;
    }
    return 0;
}

void* memchr(const void* s, int c, size_t n)
{
    const unsigned char* p = (const unsigned char*)s;

    for (; n != 0; n--, p++) {
        if (*p == (unsigned char)c)
            return (void*)p;
    }
    return NULL;
}

}  // extern "C"
