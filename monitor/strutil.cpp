// Owned string copies and the two plain text searches the parser uses.
#include "kvmon.h"

// Zero-initialised copy of s in its own LocalAlloc block; NULL for a NULL source or when
// the allocation fails.
LPSTR StrDupLocal(LPCSTR s)
{
    LPSTR copy = NULL;

    if (s == NULL)
        return NULL;
    copy = (LPSTR)LocalAlloc(LMEM_ZEROINIT, (SIZE_T)lstrlenA(s) + 1);
    if (copy != NULL)
        lstrcpyA(copy, s);
    return copy;
}

void FreeLocal(LPVOID p)
{
    if (p != NULL)
        LocalFree(p);
}

// First occurrence of c in s, NULL when absent. Searching for NUL finds nothing.
LPCSTR StrFindChar(LPCSTR s, CHAR c)
{
    if (s == NULL)
        return NULL;
    for (; *s != '\0'; s++) {
        if (*s == c)
            return s;
    }
    return NULL;
}

// Compares at most n characters, stopping at a NUL in either text; 0 when they are equal.
int StrCompareN(LPCSTR a, LPCSTR b, int n)
{
    int i;

    for (i = 0; i < n; i++) {
        if (a[i] != b[i])
            return (BYTE)a[i] < (BYTE)b[i] ? -1 : 1;
        if (a[i] == '\0')
            return 0;
    }
    return 0;
}
