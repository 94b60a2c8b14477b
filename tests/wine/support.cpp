#include "support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "simcommon.h"
#include "win98.h"

namespace kvwine {

const char* const kRegistryRoot = "SOFTWARE\\KvmonWineTests\\Monitors\\Kestravon";
const char* const kMonitorName = "Kestravon Language Monitor";
const char* const kStatusAppKey = "SOFTWARE\\Kestravon\\Statovue";

namespace {
HMODULE g_kvmon = NULL;
PFN_INITIALIZEMONITOREX g_init = NULL;
}  // namespace

bool LoadKvmon()
{
    const char* installed = std::getenv("KVMON_INSTALLED_DLL");
    const char* name = installed && *installed ? installed : "kvmon.dll";
    g_kvmon = LoadLibraryA(name);
    if (!g_kvmon) {
        std::printf("LoadLibraryA(\"%s\") failed: error %lu\n", name, GetLastError());
        return false;
    }
    g_init = reinterpret_cast<PFN_INITIALIZEMONITOREX>(
        reinterpret_cast<void*>(GetProcAddress(g_kvmon, "InitializeMonitorEx")));
    if (!g_init) {
        std::printf("%s exports no InitializeMonitorEx: error %lu\n", name, GetLastError());
        return false;
    }
    if (Win98Mode()) {
        if (!AnswerAsWindows98(g_kvmon))
            return false;
        std::printf("%s as on Windows 98: imports answered as 98 answers them:", name);
        for (const std::string& f : RewrittenImports())
            std::printf(" %s", f.c_str());
        std::printf("\n");
    }
    char path[MAX_PATH] = {};
    GetModuleFileNameA(GetModuleHandleA("spoolss.dll"), path, sizeof path);
    std::printf("%s loaded; spooler router: %s\n", name, path);
    return true;
}

HMODULE KvmonModule() { return g_kvmon; }
PFN_INITIALIZEMONITOREX InitializeMonitorEx() { return g_init; }

std::string StatusRecord(WORD code)
{
    std::string record(24, '\0');
    for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<char>(0x30 + i);
    record[21] = static_cast<char>(code >> 8);
    record[22] = static_cast<char>(code & 0xFF);
    return record;
}

std::string KestravonId(WORD code, bool base64)
{
    std::string head = "MFG:Kestravon;MDL:ZR-QM4471;CMD:PJL;";
    if (base64) return head + "FL1;VSTATUS:" + Base64Encode(StatusRecord(code));
    return head + "VSTATUS:" + StatusRecord(code);
}

bool WaitUntil(const std::function<bool()>& cond, DWORD ms)
{
    DWORD start = GetTickCount();
    while (!cond()) {
        if (GetTickCount() - start > ms) return cond();
        Sleep(10);
    }
    return true;
}

bool PumpUntil(const std::function<bool()>& cond, DWORD ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (cond && cond()) return true;
        if (GetTickCount() - start > ms) return cond ? cond() : false;
        MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
    }
}

void DeleteMachineKey(const char* path)
{
    LSTATUS rc = RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return;
    ADD_FAILURE() << "RegDeleteTreeA(HKLM\\" << path << ") = " << rc;
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

void MonitorTest::SetUp()
{
    ASSERT_NE(InitializeMonitorEx(), nullptr) << "kvmon.dll is not loaded";
    kvsim_Reset();
    pm_.Reset();
    DeleteMachineKey(kRegistryRoot);
    SetLastError(0xdeadbeef);
    BOOL ok = InitializeMonitorEx()(const_cast<LPSTR>(kRegistryRoot), &table_);
    ASSERT_TRUE(ok) << "InitializeMonitorEx failed, error " << GetLastError();
    doc_.pDocName = const_cast<LPSTR>("Document");
    doc_.pOutputFile = NULL;
    doc_.pDatatype = const_cast<LPSTR>("RAW");
}

void MonitorTest::TearDown()
{
    for (HANDLE h : open_) {
        SetLastError(0xdeadbeef);
        BOOL ok = table_.pfnClosePort(h);
        EXPECT_TRUE(ok) << "ClosePort in teardown failed, error " << GetLastError();
    }
    open_.clear();
    EXPECT_EQ(kvsim_OpenHandleCount(), 0) << "printer handles left open after every port closed";
    EXPECT_EQ(pm_.OpenHandleCount(), 0) << "port monitor handles left open after every port closed";
    DeleteMachineKey(kStatusAppKey);
}

void MonitorTest::AddPrinter(const char* printer, const char* port, const char* monitor)
{
    ASSERT_TRUE(kvsim_AddPrinter(printer, port, "Kestravon Printer", monitor)) << printer;
    bool usb = std::string(port).compare(0, 3, "USB") == 0;
    kvsim_AddPort(port, usb ? "Virtual printer port for USB" : "Printer Port");
}

HANDLE MonitorTest::OpenPort(const char* port, const char* printer)
{
    HANDLE h = NULL;
    MONITOR below = *pm_.Table();
    SetLastError(0xdeadbeef);
    BOOL ok = table_.pfnOpenPortEx(const_cast<LPSTR>(port), const_cast<LPSTR>(printer), &h, &below);
    EXPECT_TRUE(ok) << "OpenPortEx(" << port << ", " << printer << ") failed, error " << GetLastError();
    EXPECT_NE(h, nullptr);
    if (ok && h) open_.push_back(h);
    return h;
}

BOOL MonitorTest::StartDoc(HANDLE h, const char* printer, DWORD jobId, const char* docName)
{
    doc_.pDocName = const_cast<LPSTR>(docName);
    return table_.pfnStartDocPort(h, const_cast<LPSTR>(printer), jobId, 1, reinterpret_cast<LPBYTE>(&doc_));
}

BOOL MonitorTest::Write(HANDLE h, const std::string& data, DWORD* written)
{
    DWORD count = 0xdeadbeef;
    BOOL ok = table_.pfnWritePort(h, reinterpret_cast<LPBYTE>(const_cast<char*>(data.data())),
                                  static_cast<DWORD>(data.size()), &count);
    if (written) *written = count;
    return ok;
}

BOOL MonitorTest::EndDoc(HANDLE h) { return table_.pfnEndDocPort(h); }

BOOL MonitorTest::Close(HANDLE h)
{
    open_.erase(std::remove(open_.begin(), open_.end(), h), open_.end());
    return table_.pfnClosePort(h);
}

std::vector<DWORD> MonitorTest::StatusesOf(const char* printer)
{
    std::vector<DWORD> out(64);
    DWORD n = kvsim_StatusHistory(printer, out.data(), static_cast<DWORD>(out.size()));
    out.resize(std::min<DWORD>(n, 64));
    return out;
}

std::vector<KvSimJobCommand> MonitorTest::JobCommands()
{
    std::vector<KvSimJobCommand> out(16);
    DWORD n = kvsim_JobCommands(out.data(), static_cast<DWORD>(out.size()));
    out.resize(std::min<DWORD>(n, 16));
    return out;
}

unsigned MonitorTest::Queries(const char* port)
{
    unsigned n = 0;
    for (const auto& c : pm_.Calls("GetPrinterDataFromPort"))
        if (sim::SameName(c.port, port)) ++n;
    return n;
}

DWORD WINAPI AnswerBox(void* param)
{
    BoxAnswer* a = static_cast<BoxAnswer*>(param);
    HWND box = NULL;
    DWORD start = GetTickCount();
    while (!box && !a->stop && GetTickCount() - start < 30000) {
        box = FindWindowA("#32770", a->caption);
        if (!box || !IsWindowVisible(box)) {
            box = NULL;
            Sleep(50);
        }
    }
    if (!box) return 1;
    a->found = true;
    wchar_t text[1024] = {};
    GetWindowTextW(GetDlgItem(box, 0xFFFF), text, 1024);  // the box's static text control
    a->text = text;
    a->hasRetry = GetDlgItem(box, IDRETRY) != NULL;
    a->hasCancel = GetDlgItem(box, IDCANCEL) != NULL;
    a->hasOk = GetDlgItem(box, IDOK) != NULL;
    a->exStyle = GetWindowLongA(box, GWL_EXSTYLE);
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(a->button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, a->button)));
    return 0;
}


}  // namespace kvwine
