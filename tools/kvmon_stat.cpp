// kvmon-stat: reads the shared status block of a port, as the companion application does,
// and prints what it says. Written against <windows.h> and the monitor's decoding only.
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "devstatus.h"

namespace {

const char kDefaultMonitor[] = "Kestravon Language Monitor";
const char kUsage[] = "usage: kvmon-stat PORT [--monitor NAME] [--watch]\n";

// The block's bytes (length field included); false with *error set.
bool ReadBlock(const std::string& name, std::string* bytes, std::string* error)
{
    HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    if (h == NULL) {
        *error = "no status block \"" + name + "\" (error " + std::to_string(GetLastError()) +
                 "): no recognised printer with a status field is being polled on that port";
        return false;
    }
    const BYTE* head = static_cast<const BYTE*>(MapViewOfFile(h, FILE_MAP_READ, 0, 0, 2));
    if (head == NULL) {
        *error = "cannot read status block \"" + name + "\" (error " + std::to_string(GetLastError()) + ")";
        CloseHandle(h);
        return false;
    }
    DWORD length = static_cast<DWORD>(head[0]) << 8 | head[1];
    UnmapViewOfFile(head);
    if (length < 2) {
        *error = "status block \"" + name + "\" is unreadable: length field " + std::to_string(length);
        CloseHandle(h);
        return false;
    }
    const char* view = static_cast<const char*>(MapViewOfFile(h, FILE_MAP_READ, 0, 0, length));
    if (view == NULL) {
        *error = "status block \"" + name + "\" is unreadable: its length field says " + std::to_string(length) +
                 " bytes, more than the mapping holds";
        CloseHandle(h);
        return false;
    }
    bytes->assign(view, length);
    UnmapViewOfFile(view);
    CloseHandle(h);
    return true;
}

// Local time with milliseconds, and why the block was read.
void PrintTime(const char* why)
{
    SYSTEMTIME t;
    char text[32];
    GetLocalTime(&t);
    std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", (unsigned)t.wHour, (unsigned)t.wMinute,
                  (unsigned)t.wSecond, (unsigned)t.wMilliseconds);
    std::cout << "time          " << text << " (" << why << ")\n";
}

#ifdef _WIN32
// The companion's wake-up: a hidden top-level window receives the monitor's broadcast
// "QRT command message" (message-only windows do not get broadcasts).
UINT g_notifyMessage = 0;
bool g_notified = false;

LRESULT CALLBACK WatchWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (g_notifyMessage != 0 && msg == g_notifyMessage) {
        g_notified = true;
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

bool CreateWatchWindow()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = WatchWindowProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "KvmonStatWatch";
    g_notifyMessage = RegisterWindowMessageA("QRT command message");
    if (g_notifyMessage == 0 || RegisterClassA(&wc) == 0)
        return false;
    return CreateWindowExA(0, wc.lpszClassName, "kvmon-stat", WS_OVERLAPPED, 0, 0, 0, 0, NULL, NULL, wc.hInstance,
                           NULL) != NULL;
}

// Waits up to ms for the broadcast; true when it came.
bool WaitForBroadcast(DWORD ms)
{
    DWORD start = GetTickCount();
    g_notified = false;
    for (;;) {
        MSG m;
        while (PeekMessageA(&m, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageA(&m);
        }
        DWORD spent = GetTickCount() - start;
        if (g_notified || spent >= ms)
            return g_notified;
        MsgWaitForMultipleObjects(0, NULL, FALSE, ms - spent, QS_ALLINPUT);
    }
}
#else
bool CreateWatchWindow()
{
    return false;
}

bool WaitForBroadcast(DWORD ms)
{
    Sleep(ms);
    return false;
}
#endif

void Print(const std::string& name, const std::string& bytes)
{
    std::cout << "block         \"" << name << "\"\n";
    kvtools::PrintBlockAnalysis(std::cout, kvtools::AnalyseBlock(bytes));
}

}  // namespace

int main(int argc, char** argv)
{
    std::string port;
    std::string monitor = kDefaultMonitor;
    bool watch = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--watch") {
            watch = true;
        } else if (a == "--monitor") {
            if (i + 1 >= argc) {
                std::cerr << "kvmon-stat: --monitor needs a name\n" << kUsage;
                return 2;
            }
            monitor = argv[++i];
        } else if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            std::cerr << "kvmon-stat: unknown option " << a << '\n' << kUsage;
            return 2;
        } else if (!port.empty()) {
            std::cerr << "kvmon-stat: one port at a time\n" << kUsage;
            return 2;
        } else {
            port = a;
        }
    }
    if (port.empty()) {
        std::cerr << "kvmon-stat: a port name is needed\n" << kUsage;
        return 2;
    }
    std::string name = monitor + port;
    std::string bytes;
    std::string error;
    if (!watch) {
        if (!ReadBlock(name, &bytes, &error)) {
            std::cerr << "kvmon-stat: " << error << '\n';
            return 1;
        }
        Print(name, bytes);
        kvtools::BlockAnalysis b = kvtools::AnalyseBlock(bytes);
        return b.valid ? 0 : 1;
    }

    // Print again when the bytes change or the block comes or goes: read at once when the
    // monitor broadcasts a change (Windows), and every second in any case.
    bool window = CreateWatchWindow();
    bool first = true;
    bool had = false;
    bool woken = false;
    std::string last;
    for (;;) {
        bool have = ReadBlock(name, &bytes, &error);
        if (first || have != had || (have && bytes != last)) {
            if (!first)
                std::cout << "--\n";
            PrintTime(first ? (window ? "first read; woken by \"QRT command message\" or every second"
                                      : "first read; read every second")
                            : woken ? "woken by \"QRT command message\"" : "read every second");
            if (have)
                Print(name, bytes);
            else
                std::cout << "no block: " << error << '\n';
            std::cout.flush();
            first = false;
            had = have;
            last = have ? bytes : std::string();
        }
        woken = WaitForBroadcast(1000);
    }
}
