// kvmon-stat: reads the shared status block of a port, as the companion application does,
// and prints what it says. Written against <windows.h> and the monitor's decoding only.
#include <windows.h>

#include <csignal>
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "args.h"
#include "cli.h"
#include "kvmon_version.h"
#include "numbers.h"
#include "statblock.h"

#ifndef _WIN32
#include "kvplatform.h"
#endif

namespace {

const char kDefaultMonitor[] = "Kestravon Language Monitor";
const unsigned kDefaultIntervalMs = 1000;
const unsigned kMinIntervalMs = 50;
const unsigned kMaxIntervalMs = 3600000;

const char kUsage[] =
    "usage: kvmon-stat PORT [--monitor NAME] [--namespace NAME] [--json] [--watch [--interval MS]]\n"
    "       kvmon-stat --version\n"
    "\n"
    "Reads the status block the monitor publishes for PORT, named monitor name + port name,\n"
    "and prints its state, length field, form, text, record, status code and meaning.\n"
    "\n"
    "  --monitor NAME    the language monitor's name (default \"Kestravon Language Monitor\")\n"
    "  --namespace NAME  POSIX only: the mapping namespace the publisher uses (default\n"
    "                    $KVMON_SHM_NAMESPACE, else \"kvmon\"); kvmon-sim run --namespace\n"
    "  --json            JSON (docs/schema/stat.schema.json); with --watch one object a line\n"
    "  --watch           read again every interval; print, with a time stamp, whenever the\n"
    "                    block comes, goes or changes; Ctrl-C ends it\n"
    "  --interval MS     the watch interval, 50 to 3600000 ms (default 1000)\n"
    "\n"
    "State: live (a process holds the block), publisher-gone (POSIX: the block was left by a\n"
    "process that ended without closing it), absent. A raw block (no \"FL1;\" in the reply)\n"
    "leaves out the reply's last two bytes; when the status code is among them, the table\n"
    "codes that fit the bytes it holds are listed.\n"
    "\n"
    "Exit status: 0 a readable block; 1 no block or an unreadable one; 2 bad arguments;\n"
    "130 / 143 a watch ended by SIGINT / SIGTERM.\n"
    "Numbers are decimal digits, or 0x and hexadecimal digits. --NAME=VALUE is --NAME VALUE;\n"
    "-- ends the options (a port name that begins with '-').\n";

volatile std::sig_atomic_t g_signal = 0;

void OnSignal(int sig)
{
    g_signal = sig;
}

int Usage(const std::string& message)
{
    std::cerr << "kvmon-stat: " << message << " (kvmon-stat --help)\n";
    return kvtools::kExitUsage;
}

bool ParseInterval(const std::string& text, unsigned* ms)
{
    unsigned long long value = 0;
    bool tooLarge = false;
    std::string why;
    if (!kvtools::ParseNumberText(text, &value, &tooLarge, &why) || value < kMinIntervalMs || value > kMaxIntervalMs)
        return false;
    *ms = static_cast<unsigned>(value);
    return true;
}

void Report(const kvtools::BlockReading& r, bool json, const std::string& time)
{
    if (json)
        std::cout << kvtools::ReadingJson(r, time) << '\n';
    else
        kvtools::PrintReading(std::cout, r, time);
    std::cout.flush();
}

bool Readable(const kvtools::BlockReading& r)
{
    return r.read && r.analysis.valid;
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

// Waits up to ms (in slices, so that a signal ends it soon) for the broadcast; true when
// it came.
bool WaitForBroadcast(unsigned ms)
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
        if (g_notified || spent >= ms || g_signal != 0)
            return g_notified;
        MsgWaitForMultipleObjects(0, NULL, FALSE, std::min<DWORD>(ms - spent, 50), QS_ALLINPUT);
    }
}
#else
// POSIX has no broadcast to receive: the watch reads every interval.
bool CreateWatchWindow()
{
    return false;
}

bool WaitForBroadcast(unsigned ms)
{
    for (unsigned waited = 0; waited < ms && g_signal == 0; waited += 10)
        Sleep(10);
    return false;
}
#endif

// Reads every interval, and at once when the monitor broadcasts a change (Windows), until a
// signal; prints each change with its time and what woke the read.
int Watch(const std::string& monitor, const std::string& port, bool json, unsigned intervalMs)
{
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    bool window = CreateWatchWindow();
    kvtools::BlockReading last;
    bool first = true;
    bool woken = false;
    while (g_signal == 0) {
        kvtools::BlockReading r = kvtools::ReadStatusBlock(monitor, port);
        if (first || !kvtools::SameReading(r, last)) {
            std::string time = kvtools::TimeStamp();
            if (!json && window)
                time += woken ? " (woken by \"QRT command message\")" : " (read at the interval)";
            Report(r, json, time);
        }
        first = false;
        last = r;
        woken = WaitForBroadcast(intervalMs);
    }
    return g_signal == SIGTERM ? kvtools::kExitTerminated : kvtools::kExitInterrupted;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string port;
    std::string monitor = kDefaultMonitor;
    bool watch = false;
    bool json = false;
    bool haveInterval = false;
    unsigned intervalMs = kDefaultIntervalMs;
    kvtools::ArgReader args{std::vector<std::string>(argv + 1, argv + argc)};
    std::string a;
    while (kvtools::NextArg(&args, &a)) {
        if (!args.option) {
            if (!port.empty())
                return Usage("one port at a time (\"" + port + "\" and \"" + a + "\")");
            if (a.empty())
                return Usage("the port name is empty");
            port = a;
        } else if (a == "--watch") {
            watch = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--monitor" || a == "--namespace" || a == "--interval") {
            std::string value;
            if (!kvtools::OptionValue(&args, &value))
                return Usage(a + " needs a value");
            if (a == "--monitor") {
                monitor = value;
            } else if (a == "--interval") {
                if (!ParseInterval(value, &intervalMs))
                    return Usage("--interval: \"" + value + "\" is not a number of ms from " +
                                 std::to_string(kMinIntervalMs) + " to " + std::to_string(kMaxIntervalMs));
                haveInterval = true;
            } else {
#ifndef _WIN32
                if (value.empty() || value.find('/') != std::string::npos)
                    return Usage("--namespace: \"" + value + "\" is not a name (empty or with '/')");
                kvplat::SetMappingNamespace(value);
#else
                return Usage("--namespace is for the POSIX build; Windows has one namespace");
#endif
            }
        } else if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return kvtools::kExitOk;
        } else if (a == "--version") {
            std::cout << "kvmon-stat " KVMON_VERSION_STRING "\n";
            return kvtools::kExitOk;
        } else {
            return Usage("unknown option " + a);
        }
    }
    if (!args.error.empty())
        return Usage(args.error);
    if (port.empty())
        return Usage("a port name is needed");
    if (haveInterval && !watch)
        return Usage("--interval goes with --watch");
    if (watch)
        return Watch(monitor, port, json, intervalMs);

    kvtools::BlockReading r = kvtools::ReadStatusBlock(monitor, port);
    if (!r.read && !json) {
        std::cout.flush();
        std::cerr << "kvmon-stat: " << r.reason << '\n';
        return kvtools::kExitCheckFailed;
    }
    Report(r, json, json ? kvtools::TimeStamp() : "");
    return Readable(r) ? kvtools::kExitOk : kvtools::kExitCheckFailed;
}
