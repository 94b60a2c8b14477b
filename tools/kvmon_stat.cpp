// kvmon-stat: reads the shared status block of a port, as the companion application does,
// and prints what it says. Written against <windows.h> and the monitor's decoding only.
#include <windows.h>

#include <iostream>
#include <string>

#include "devstatus.h"
#include "kvmon_version.h"

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
        } else if (a == "--version") {
            std::cout << "kvmon-stat " KVMON_VERSION_STRING "\n";
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

    // Every second: print again when the bytes change or the block comes or goes.
    bool first = true;
    bool had = false;
    std::string last;
    for (;;) {
        bool have = ReadBlock(name, &bytes, &error);
        if (first || have != had || (have && bytes != last)) {
            if (!first)
                std::cout << "--\n";
            if (have)
                Print(name, bytes);
            else
                std::cout << "no block: " << error << '\n';
            std::cout.flush();
            first = false;
            had = have;
            last = have ? bytes : std::string();
        }
        Sleep(1000);
    }
}
