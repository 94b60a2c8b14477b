// Shared helpers of the test programs: a fixture that loads the monitor as the spooler
// does, device ID builders and small waiting helpers.
#ifndef KVMON_TESTS_SUPPORT_H
#define KVMON_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "kvmon.h"
#include "kvplatform.h"
#include "portmon.h"
#include "base64.h"
#include "spooler.h"

namespace kvtest {

extern const char* const kRegistryRoot;  // root handed to InitializeMonitorEx

using sim::Base64Encode;

// A 24-byte status record whose bytes 21 and 22 carry code (big-endian).
std::string StatusRecord(WORD code);

// A Kestravon device ID carrying code: with "FL1;" and the record in Base64 (32 characters),
// or without it and the record's raw bytes after "VSTATUS:".
std::string KestravonId(WORD code, bool base64 = true);

// Polls cond every millisecond of real time; true as soon as it holds.
bool WaitUntil(const std::function<bool()>& cond, unsigned realMs = 5000);

// What a forked child reported: its exit status and what it wrote.
struct ChildResult {
    int status = -1;     // exit status of the child
    std::string output;  // what it wrote to the pipe
};

// Runs body in a child that has entered deterministic mode with `seed`; body writes its
// findings into the string, which comes back with the exit status. kernel: a kernel
// thread per thread instead of fibers. stallMs: the longest stall (0: none). A deadlock
// comes back as "stuck: " and the report.
ChildResult InChild(uint64_t seed, const std::function<void(std::string&)>& body, bool kernel = false,
                    DWORD stallMs = 0);

// Creates and deletes a port context directly, holding g_csPorts as the monitor's callers do.
PortContext* CreateContext(const char* port, const char* printer);
void DeleteContext(PortContext* ctx);

// A fresh temporary folder registered as the companion application's "Installed Folder"
// (HKLM\SOFTWARE\Kestravon\Statovue, REG_SZ). Removed with its files when it goes.
class StatusAppFolder {
public:
    StatusAppFolder();
    ~StatusAppFolder();
    StatusAppFolder(const StatusAppFolder&) = delete;
    StatusAppFolder& operator=(const StatusAppFolder&) = delete;

    const std::string& Path() const { return path_; }
    std::string LogPath() const { return path_ + "/vuelog.err"; }
    // Stores raw bytes as the "Installed Folder" value (REG_SZ), terminator or not.
    static void SetFolderValue(const std::string& bytes);

private:
    std::string path_;
};

// Whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);

// The monitor loaded as the spooler loads it, with a fresh platform, spooler and port
// monitor for every test. The platform clock is scaled so a 2000 ms poll takes 2 ms.
class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // OpenPortEx through kvmon's table; EXPECTs success.
    HANDLE OpenPort(const char* port, const char* printer, const MONITOR* portMonitor = nullptr);
    // StartDocPort through the table with a DOC_INFO_1 naming a document of type RAW.
    BOOL StartDoc(HANDLE h, const char* printer, DWORD jobId = 1, const char* docName = "Document");
    BOOL Write(HANDLE h, const std::string& data, DWORD* written = nullptr);
    // Adds printer and port to the spooler (USB ports described as a USB port).
    void AddPrinter(const char* printer, const char* port);

    PortContext* Context(HANDLE h) { return static_cast<PortContext*>(h); }
    std::vector<DWORD> StatusesOf(const char* printer);  // SetPrinterA history
    unsigned Queries(const char* port);                  // device ID queries made
    std::string MappingName(const char* port);           // "<monitor name><port>"

    MONITOR table_{};   // kvmon's table
    DOC_INFO_1A doc_{};
    sim::Spooler& spooler_ = sim::TheSpooler();
    sim::PortMonitor& pm_ = sim::ThePortMonitor();
};

}  // namespace kvtest

#endif
