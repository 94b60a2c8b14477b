#include "simcommon.h"

namespace sim {

namespace {
LONG volatile g_sequence = 0;

char Fold(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

DWORD NextSequence()
{
    for (;;) {
        LONG seen = InterlockedCompareExchange(&g_sequence, 0, 0);
        DWORD next = static_cast<DWORD>(seen) + 1;
        if (next == 0) next = 1;
        if (InterlockedCompareExchange(&g_sequence, static_cast<LONG>(next), seen) == seen) return next;
    }
}

DWORD CurrentSequence()
{
    return static_cast<DWORD>(__atomic_load_n(&g_sequence, __ATOMIC_SEQ_CST));
}

std::string FoldName(const std::string& name)
{
    std::string out(name);
    for (char& c : out) c = Fold(c);
    return out;
}

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

std::string Quote(const char* s)
{
    if (!s) return "NULL";
    return "\"" + std::string(s) + "\"";
}

std::string HandleText(HANDLE h)
{
    return h ? Hex(reinterpret_cast<UINT_PTR>(h)) : "NULL";
}

std::string Hex(UINT_PTR v)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), digits[v & 0xF]);
        v >>= 4;
    } while (v);
    return "0x" + out;
}

}  // namespace sim
