// wsprintfA and wvsprintfA: the system's own formatter, which the monitor uses instead of a C
// runtime's. The C library formats; the buffer limit is the system's.
#include <windows.h>

#include <cstdio>

namespace {

// The most a call stores, its NUL among them.
constexpr int kFormatLimit = 1024;

}  // namespace

extern "C" {

int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list args)
{
    if (buffer == nullptr || format == nullptr)
        return 0;
    int length = std::vsnprintf(buffer, kFormatLimit, format, args);
    if (length < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return length < kFormatLimit ? length : kFormatLimit - 1;
}

int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    int length = wvsprintfA(buffer, format, args);
    va_end(args);
    return length;
}

}  // extern "C"
