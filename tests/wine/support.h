// Shared pieces of the Wine runner: kvmon.dll loaded as the spooler loads it, the monitor
// table, the scripted port monitor below it (sim/portmon) and the SPOOLSS.dll test double
// (spoolss_control.h). The runner sees kvmon only through its exports and its table.
#ifndef KVMON_TESTS_WINE_SUPPORT_H
#define KVMON_TESTS_WINE_SUPPORT_H

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base64.h"
#include "montable.h"
#include "portmon.h"
#include "spoolss_control.h"

namespace kvwine {

extern const char* const kRegistryRoot;  // below HKLM, handed to InitializeMonitorEx
extern const char* const kMonitorName;   // DRIVER_INFO_3.pMonitorName of the test printers
extern const char* const kStatusAppKey;  // HKLM key of the companion application

// Loads kvmon.dll from the runner's folder, or the installed copy that KVMON_INSTALLED_DLL
// names (install_test.cpp); false (with the reason printed) on failure.
bool LoadKvmon();
HMODULE KvmonModule();
PFN_INITIALIZEMONITOREX InitializeMonitorEx();

using sim::Base64Encode;
// A 24-byte status record whose bytes 21 and 22 carry code (big-endian).
std::string StatusRecord(WORD code);
// A Kestravon device ID carrying code: "FL1;" and the record in Base64, or the raw record.
std::string KestravonId(WORD code, bool base64 = true);

// Polls cond every 10 ms until it holds or ms have passed; the last evaluation decides.
bool WaitUntil(const std::function<bool()>& cond, DWORD ms);
// Dispatches this thread's messages for ms milliseconds, or until cond holds.
bool PumpUntil(const std::function<bool()>& cond, DWORD ms);

// Removes an HKLM key with its subkeys (no error when absent).
void DeleteMachineKey(const char* path);

std::string Hex(const std::string& bytes);

// What a second thread saw of the connection-failure box, and the button it pressed.
struct BoxAnswer {
    const char* caption = nullptr;
    volatile LONG stop = 0;  // set when StartDocPort has returned
    int button = 0;  // IDRETRY or IDCANCEL
    bool found = false;
    std::wstring text;
    bool hasRetry = false, hasCancel = false, hasOk = false;
    LONG exStyle = 0;
};
// Thread procedure: waits up to 30 s for a visible dialog captioned a->caption (or for
// a->stop), reads it and presses a->button.
DWORD WINAPI AnswerBox(void* param);  // "4d 46 47 ..." for failure messages

// kvmon initialised with a fresh registry root, a fresh simulated spooler and port
// monitor for every test. Ports opened through OpenPort are closed in TearDown.
class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Adds the printer (driver "Kestravon Printer", language monitor kMonitorName) and its
    // port to the spooler; USB ports are described as USB ports, others as printer ports.
    void AddPrinter(const char* printer, const char* port, const char* monitor = kMonitorName);
    // OpenPortEx through kvmon's table; EXPECTs success.
    HANDLE OpenPort(const char* port, const char* printer);
    BOOL StartDoc(HANDLE h, const char* printer, DWORD jobId = 1, const char* docName = "Document");
    BOOL Write(HANDLE h, const std::string& data, DWORD* written = nullptr);
    BOOL EndDoc(HANDLE h);
    BOOL Close(HANDLE h);  // ClosePort; forgets the handle

    std::vector<DWORD> StatusesOf(const char* printer);  // SetPrinterA history
    std::vector<KvSimJobCommand> JobCommands();           // SetJobA history
    unsigned Queries(const char* port);                   // device ID queries made

    MONITOR table_{};
    DOC_INFO_1A doc_{};
    sim::PortMonitor& pm_ = sim::ThePortMonitor();
    std::vector<HANDLE> open_;
};

}  // namespace kvwine

#endif  // KVMON_TESTS_WINE_SUPPORT_H
