// The simulated spooler and port monitor: the contracts the monitor's tests rely on.
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "portmon.h"
#include "spooler.h"

namespace {

class SpoolerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::TheSpooler().Reset();
        spooler.AddPrinter("Kestravon P1", "USB001");
        spooler.AddPrinter("Other", "LPT1:", "Generic", std::nullopt);
        spooler.AddPort("USB001", std::string("Virtual printer port for USB"));
        spooler.AddPort("LPT1:", std::string("ECP Printer Port"));
        spooler.AddPort("FILE:");
    }
    void TearDown() override { sim::TheSpooler().Reset(); }

    HANDLE Open(const char* name)
    {
        HANDLE h = NULL;
        EXPECT_TRUE(OpenPrinterA(const_cast<LPSTR>(name), &h, NULL)) << name;
        return h;
    }

    sim::Spooler& spooler = sim::TheSpooler();
};

bool Inside(const void* p, const std::vector<BYTE>& buf)
{
    const BYTE* b = static_cast<const BYTE*>(p);
    return b >= buf.data() && b < buf.data() + buf.size();
}

// Each string must lie wholly in the buffer, behind the records.
void ExpectStringsInBuffer(const std::vector<const char*>& strings, const std::vector<BYTE>& buf, size_t fixed)
{
    for (const char* s : strings) {
        if (!s) continue;
        ASSERT_TRUE(Inside(s, buf));
        EXPECT_GE(reinterpret_cast<const BYTE*>(s), buf.data() + fixed);
        EXPECT_LE(reinterpret_cast<const BYTE*>(s) + std::strlen(s) + 1, buf.data() + buf.size());
    }
}

TEST_F(SpoolerTest, GetPrinterProbeThenFetch)
{
    HANDLE h = Open("Kestravon P1");
    DWORD needed = 0;
    SetLastError(0);
    EXPECT_FALSE(GetPrinterA(h, 2, NULL, 0, &needed));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    ASSERT_GT(needed, sizeof(PRINTER_INFO_2A));

    std::vector<BYTE> small(needed - 1);
    DWORD again = 0;
    EXPECT_FALSE(GetPrinterA(h, 2, small.data(), needed - 1, &again));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(needed, again);

    // A larger buffer than needed: the strings sit at its very end.
    std::vector<BYTE> buf(needed + 64, 0xCC);
    ASSERT_TRUE(GetPrinterA(h, 2, buf.data(), static_cast<DWORD>(buf.size()), &again));
    auto* info = reinterpret_cast<PRINTER_INFO_2A*>(buf.data());
    EXPECT_STREQ("Kestravon P1", info->pPrinterName);
    EXPECT_STREQ("USB001", info->pPortName);
    EXPECT_STREQ(sim::kDefaultDriver, info->pDriverName);
    ExpectStringsInBuffer({info->pPrinterName, info->pPortName, info->pDriverName, info->pDatatype}, buf,
                          sizeof(PRINTER_INFO_2A));
    EXPECT_EQ(0, buf.back());
    EXPECT_EQ(0xCC, buf[sizeof(PRINTER_INFO_2A)]);  // the gap between records and strings is untouched
    EXPECT_TRUE(ClosePrinter(h));
}

TEST_F(SpoolerTest, DriverProbeReportsMonitorNameOrNull)
{
    for (const char* name : {"Kestravon P1", "Other"}) {
        HANDLE h = Open(name);
        DWORD needed = 0;
        EXPECT_FALSE(GetPrinterDriverA(h, NULL, 3, NULL, 0, &needed));
        EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
        std::vector<BYTE> buf(needed);
        ASSERT_TRUE(GetPrinterDriverA(h, NULL, 3, buf.data(), needed, &needed));
        auto* info = reinterpret_cast<DRIVER_INFO_3A*>(buf.data());
        ExpectStringsInBuffer({info->pName, info->pMonitorName, info->pEnvironment}, buf, sizeof(DRIVER_INFO_3A));
        if (std::string(name) == "Other") {
            EXPECT_EQ(nullptr, info->pMonitorName);
            EXPECT_STREQ("Generic", info->pName);
        } else {
            EXPECT_STREQ(sim::kDefaultMonitor, info->pMonitorName);
        }
        ClosePrinter(h);
    }
}

TEST_F(SpoolerTest, EnumerationsFollowTheSizeProbe)
{
    DWORD needed = 0, count = 99;
    EXPECT_FALSE(EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 2, NULL, 0, &needed, &count));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(0u, count);
    std::vector<BYTE> printers(needed);
    ASSERT_TRUE(EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 2, printers.data(), needed, &needed, &count));
    ASSERT_EQ(2u, count);
    auto* p = reinterpret_cast<PRINTER_INFO_2A*>(printers.data());
    EXPECT_STREQ("Kestravon P1", p[0].pPrinterName);
    EXPECT_STREQ("Other", p[1].pPrinterName);
    ExpectStringsInBuffer({p[0].pPrinterName, p[1].pPrinterName, p[1].pPortName}, printers,
                          2 * sizeof(PRINTER_INFO_2A));

    EXPECT_FALSE(EnumPortsA(NULL, 2, NULL, 0, &needed, &count));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    std::vector<BYTE> ports(needed);
    ASSERT_TRUE(EnumPortsA(NULL, 2, ports.data(), needed, &needed, &count));
    ASSERT_EQ(3u, count);
    auto* port = reinterpret_cast<PORT_INFO_2A*>(ports.data());
    EXPECT_STREQ("LPT1:", port[1].pPortName);
    EXPECT_STREQ("ECP Printer Port", port[1].pDescription);
    EXPECT_STREQ("FILE:", port[2].pPortName);
    EXPECT_EQ(nullptr, port[2].pDescription);
    ExpectStringsInBuffer({port[0].pPortName, port[0].pDescription, port[2].pPortName}, ports,
                          3 * sizeof(PORT_INFO_2A));
}

TEST_F(SpoolerTest, EmptyEnumerationsSucceedWithNothing)
{
    spooler.Reset();
    DWORD needed = 77, count = 77;
    EXPECT_TRUE(EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 2, NULL, 0, &needed, &count));
    EXPECT_EQ(0u, needed);
    EXPECT_EQ(0u, count);
    needed = count = 77;
    EXPECT_TRUE(EnumPortsA(NULL, 2, NULL, 0, &needed, &count));
    EXPECT_EQ(0u, needed);
    EXPECT_EQ(0u, count);

    spooler.AddPrinter("Idle", "USB002");
    HANDLE h = Open("Idle");
    needed = count = 77;
    EXPECT_TRUE(EnumJobsA(h, 0, 1, 1, NULL, 0, &needed, &count));
    EXPECT_EQ(0u, needed);
    EXPECT_EQ(0u, count);
    ClosePrinter(h);
}

TEST_F(SpoolerTest, EnumJobsHonoursTheRange)
{
    DWORD first = spooler.QueueJob("Kestravon P1", "one");
    DWORD second = spooler.QueueJob("Kestravon P1", "two");
    spooler.QueueJob("Kestravon P1", "three");
    HANDLE h = Open("Kestravon P1");

    DWORD needed = 0, count = 0;
    EXPECT_FALSE(EnumJobsA(h, 0, 1, 1, NULL, 0, &needed, &count));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    std::vector<BYTE> buf(needed);
    ASSERT_TRUE(EnumJobsA(h, 0, 1, 1, buf.data(), needed, &needed, &count));
    ASSERT_EQ(1u, count);
    auto* job = reinterpret_cast<JOB_INFO_1A*>(buf.data());
    EXPECT_EQ(first, job->JobId);
    EXPECT_STREQ("one", job->pDocument);
    ExpectStringsInBuffer({job->pDocument, job->pPrinterName, job->pUserName}, buf, sizeof(JOB_INFO_1A));

    EXPECT_FALSE(EnumJobsA(h, 1, 5, 1, NULL, 0, &needed, &count));
    buf.assign(needed, 0);
    ASSERT_TRUE(EnumJobsA(h, 1, 5, 1, buf.data(), needed, &needed, &count));
    ASSERT_EQ(2u, count);
    EXPECT_EQ(second, reinterpret_cast<JOB_INFO_1A*>(buf.data())[0].JobId);

    EXPECT_TRUE(EnumJobsA(h, 3, 1, 1, NULL, 0, &needed, &count));  // past the end
    EXPECT_EQ(0u, count);
    ClosePrinter(h);
}

TEST_F(SpoolerTest, HandlesFollowThePrinterObject)
{
    HANDLE upper = Open("KESTRAVON p1");  // names compare without case
    HANDLE other = Open("Other");
    EXPECT_NE(upper, other);
    EXPECT_EQ(2, spooler.OpenHandleCount());

    ASSERT_TRUE(spooler.RenamePrinter("Kestravon P1", "Renamed"));
    EXPECT_EQ(std::optional<std::string>("Renamed"), spooler.HandlePrinter(upper));
    DWORD needed = 0;
    GetPrinterA(upper, 2, NULL, 0, &needed);
    std::vector<BYTE> buf(needed);
    ASSERT_TRUE(GetPrinterA(upper, 2, buf.data(), needed, &needed));
    EXPECT_STREQ("Renamed", reinterpret_cast<PRINTER_INFO_2A*>(buf.data())->pPrinterName);

    HANDLE gone = NULL;
    EXPECT_FALSE(OpenPrinterA(const_cast<LPSTR>("Kestravon P1"), &gone, NULL));
    EXPECT_EQ(ERROR_INVALID_PRINTER_NAME, GetLastError());

    // After a delete, re-adding the same name does not revive the old handle.
    ASSERT_TRUE(spooler.DeletePrinter("renamed"));
    ASSERT_TRUE(spooler.AddPrinter("Renamed", "USB001"));
    EXPECT_FALSE(GetPrinterA(upper, 2, NULL, 0, &needed));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(SetPrinterA(upper, 0, reinterpret_cast<LPBYTE>(PRINTER_STATUS_OFFLINE), PRINTER_CONTROL_SET_STATUS));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    DWORD count = 0;
    EXPECT_FALSE(EnumJobsA(upper, 0, 1, 1, NULL, 0, &needed, &count));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(0u, spooler.PrinterStatus("Renamed"));

    // Spoolers whose deleted printers' handles still answer: flagged, or with the old record.
    // The reinstalled printer of that name stays apart from them.
    for (sim::DeletedHandles mode : {sim::DeletedHandles::Pending, sim::DeletedHandles::Answer}) {
        spooler.SetDeletedHandles(mode);
        needed = 0;
        GetPrinterA(upper, 2, NULL, 0, &needed);
        buf.assign(needed, 0);
        ASSERT_TRUE(GetPrinterA(upper, 2, buf.data(), needed, &needed));
        auto* info = reinterpret_cast<PRINTER_INFO_2A*>(buf.data());
        EXPECT_STREQ("Renamed", info->pPrinterName);
        EXPECT_EQ(mode == sim::DeletedHandles::Pending ? DWORD(PRINTER_STATUS_PENDING_DELETION) : 0u,
                  info->Status & PRINTER_STATUS_PENDING_DELETION);
        EXPECT_TRUE(SetPrinterA(upper, 0, reinterpret_cast<LPBYTE>(PRINTER_STATUS_OFFLINE), PRINTER_CONTROL_SET_STATUS));
        EXPECT_EQ(0u, spooler.PrinterStatus("Renamed"));
        EXPECT_EQ(std::nullopt, spooler.HandlePrinter(upper)) << "a deleted printer's handle names no listed printer";
    }
    spooler.SetDeletedHandles(sim::DeletedHandles::Fail);

    EXPECT_TRUE(ClosePrinter(upper));
    EXPECT_FALSE(ClosePrinter(upper));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_TRUE(ClosePrinter(other));
    EXPECT_EQ(0, spooler.OpenHandleCount());
}

TEST_F(SpoolerTest, StatusAndJobCommandsAreRecordedInOrder)
{
    DWORD job = spooler.QueueJob("Kestravon P1", "doc");
    DWORD kept = spooler.QueueJob("Kestravon P1", "kept");
    HANDLE h = Open("Kestravon P1");
    ASSERT_TRUE(SetPrinterA(h, 0, reinterpret_cast<LPBYTE>(PRINTER_STATUS_PAPER_OUT), PRINTER_CONTROL_SET_STATUS));
    ASSERT_TRUE(SetJobA(h, kept, 0, NULL, JOB_CONTROL_RESTART));
    ASSERT_TRUE(SetJobA(h, job, 0, NULL, JOB_CONTROL_CANCEL));
    EXPECT_FALSE(SetJobA(h, job, 0, NULL, JOB_CONTROL_CANCEL));  // already gone
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    ASSERT_TRUE(SetPrinterA(h, 0, NULL, PRINTER_CONTROL_SET_STATUS));

    auto status = spooler.StatusHistory();
    ASSERT_EQ(2u, status.size());
    EXPECT_EQ("Kestravon P1", status[0].printer);
    EXPECT_EQ(DWORD(PRINTER_STATUS_PAPER_OUT), status[0].status);
    EXPECT_EQ(0u, status[1].status);
    EXPECT_EQ(0u, spooler.PrinterStatus("kestravon p1"));

    auto jobs = spooler.JobCommands();
    ASSERT_EQ(3u, jobs.size());
    EXPECT_EQ(DWORD(JOB_CONTROL_RESTART), jobs[0].command);
    EXPECT_TRUE(jobs[1].found);
    EXPECT_FALSE(jobs[2].found);
    EXPECT_EQ(job, jobs[2].jobId);
    ASSERT_EQ(1u, spooler.Jobs("Kestravon P1").size());
    EXPECT_EQ(kept, spooler.Jobs("Kestravon P1")[0].id);

    // One sequence orders both histories.
    EXPECT_LT(status[0].seq, jobs[0].seq);
    EXPECT_LT(jobs[2].seq, status[1].seq);
    ClosePrinter(h);
}

TEST_F(SpoolerTest, InjectedOutcomesAndObserver)
{
    std::vector<sim::SpoolerCall> seen;
    spooler.SetObserver([&](const sim::SpoolerCall& c) {
        seen.push_back(c);
        SetLastError(0);  // must not leak into the caller's last error
    });
    spooler.FailNext("EnumPortsA", 2, ERROR_ACCESS_DENIED);
    DWORD needed = 5, count = 5;
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(EnumPortsA(NULL, 2, NULL, 0, &needed, &count));
        EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
        EXPECT_EQ(0u, needed);
    }
    EXPECT_FALSE(EnumPortsA(NULL, 2, NULL, 0, &needed, &count));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());

    spooler.SucceedNext("EnumJobsA", 1);
    spooler.QueueJob("Kestravon P1");
    HANDLE h = Open("Kestravon P1");
    EXPECT_TRUE(EnumJobsA(h, 0, 1, 1, NULL, 0, &needed, &count));
    EXPECT_EQ(0u, needed);
    EXPECT_FALSE(EnumJobsA(h, 0, 1, 1, NULL, 0, &needed, &count));
    ClosePrinter(h);

    EXPECT_EQ(3u, spooler.CallCount("EnumPortsA"));
    ASSERT_EQ(7u, seen.size());
    EXPECT_EQ("EnumPortsA", seen[0].function);
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), seen[0].error);
    EXPECT_EQ("OpenPrinterA", seen[3].function);
    EXPECT_NE(std::string::npos, seen[3].args.find("Kestravon P1"));
    EXPECT_EQ(TRUE, seen[4].result);
}

// ---- port monitor ----

class PortMonitorTest : public ::testing::Test {
protected:
    void SetUp() override { pm.Reset(); }
    void TearDown() override { pm.Reset(); }

    HANDLE OpenDoc(const char* port, DWORD job = 7)
    {
        HANDLE h = NULL;
        EXPECT_TRUE(t->pfnOpenPort(const_cast<LPSTR>(port), &h));
        DOC_INFO_1A doc = {const_cast<LPSTR>("Report"), NULL, const_cast<LPSTR>("RAW")};
        EXPECT_TRUE(t->pfnStartDocPort(h, const_cast<LPSTR>("Kestravon P1"), job, 1, reinterpret_cast<LPBYTE>(&doc)));
        return h;
    }
    BOOL Write(HANDLE h, const std::string& data, DWORD* written)
    {
        return t->pfnWritePort(h, reinterpret_cast<LPBYTE>(const_cast<char*>(data.data())),
                               static_cast<DWORD>(data.size()), written);
    }
    BOOL Query(HANDLE h, DWORD control, char* out, DWORD cb, DWORD* count)
    {
        return t->pfnGetPrinterDataFromPort(h, control, NULL, NULL, 0, out, cb, count);
    }

    sim::PortMonitor& pm = sim::ThePortMonitor();
    const MONITOR* t = pm.Table();
};

TEST_F(PortMonitorTest, LogsEveryCallWithItsArguments)
{
    HANDLE h = OpenDoc("USB001", 42);
    DWORD written = 0;
    ASSERT_TRUE(Write(h, "hello", &written));
    char out[64] = {};
    DWORD count = 0;
    Query(h, 0x0016000C, out, sizeof out, &count);
    EXPECT_TRUE(t->pfnEndDocPort(h));
    EXPECT_TRUE(t->pfnClosePort(h));

    auto calls = pm.Calls();
    ASSERT_EQ(6u, calls.size());
    const char* order[] = {"OpenPort", "StartDocPort", "WritePort", "GetPrinterDataFromPort", "EndDocPort",
                           "ClosePort"};
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(order[i], calls[i].function);
        EXPECT_EQ("USB001", calls[i].port);
        EXPECT_EQ(h, calls[i].handle);
        if (i) {
            EXPECT_LT(calls[i - 1].seq, calls[i].seq);
        }
    }
    EXPECT_EQ("Kestravon P1", calls[1].printer);
    EXPECT_EQ("Report", calls[1].document);
    EXPECT_EQ(42u, calls[1].jobId);
    EXPECT_EQ(1u, calls[1].level);
    EXPECT_EQ(5u, calls[2].bytes);
    EXPECT_EQ(0x0016000Cu, calls[3].controlId);
    EXPECT_EQ(64u, calls[3].cbBuffer);
    EXPECT_FALSE(calls[3].hasValueName);
    EXPECT_FALSE(calls[3].result);  // no answer scripted
    EXPECT_EQ(sim::kErrorNotReady, calls[3].error);
    EXPECT_EQ("hello", pm.Written("usb001"));
    EXPECT_EQ(0, pm.OpenHandleCount());
}

TEST_F(PortMonitorTest, DocumentAndHandleStateIsEnforced)
{
    HANDLE h = NULL;
    ASSERT_TRUE(t->pfnOpenPort(const_cast<LPSTR>("LPT1:"), &h));
    DWORD n = 9;
    EXPECT_FALSE(Write(h, "x", &n));  // no document yet
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(0u, n);
    EXPECT_FALSE(t->pfnEndDocPort(h));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());

    DOC_INFO_1A doc = {const_cast<LPSTR>("d"), NULL, const_cast<LPSTR>("RAW")};
    ASSERT_TRUE(t->pfnStartDocPort(h, const_cast<LPSTR>("P"), 1, 1, reinterpret_cast<LPBYTE>(&doc)));
    EXPECT_FALSE(t->pfnStartDocPort(h, const_cast<LPSTR>("P"), 2, 1, reinterpret_cast<LPBYTE>(&doc)));
    EXPECT_EQ(ERROR_BUSY, GetLastError());
    EXPECT_TRUE(pm.DocumentOpen("lpt1:"));

    // Closing drops the document; the handle is dead afterwards.
    EXPECT_TRUE(t->pfnClosePort(h));
    EXPECT_FALSE(pm.DocumentOpen("LPT1:"));
    EXPECT_FALSE(t->pfnClosePort(h));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

    // A handle that is not the port monitor's own is refused and logged with its value.
    int notOurs = 0;
    EXPECT_FALSE(t->pfnEndDocPort(&notOurs));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(static_cast<HANDLE>(&notOurs), pm.Calls("EndDocPort").back().handle);

    pm.FailOpenPort("COM1:", true);
    HANDLE c = NULL;
    EXPECT_FALSE(t->pfnOpenPort(const_cast<LPSTR>("COM1:"), &c));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());

    pm.FailStartDoc("USB002", 1);
    HANDLE u = NULL;
    ASSERT_TRUE(t->pfnOpenPort(const_cast<LPSTR>("USB002"), &u));
    EXPECT_FALSE(t->pfnStartDocPort(u, const_cast<LPSTR>("P"), 3, 1, reinterpret_cast<LPBYTE>(&doc)));
    EXPECT_EQ(sim::kErrorNotReady, GetLastError());
    EXPECT_TRUE(t->pfnStartDocPort(u, const_cast<LPSTR>("P"), 3, 1, reinterpret_cast<LPBYTE>(&doc)));
    EXPECT_EQ(1, pm.OpenHandleCount());
}

TEST_F(PortMonitorTest, ScriptedWritesAndReads)
{
    HANDLE h = OpenDoc("USB001");
    pm.SetWriteAnswer("USB001", sim::WriteAnswer::AtMost(3));
    pm.QueueWriteAnswers("USB001", {sim::WriteAnswer::Failure(ERROR_ACCESS_DENIED), sim::WriteAnswer::Zero()});
    DWORD n = 99;
    EXPECT_FALSE(Write(h, "abcdef", &n));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(0u, n);
    EXPECT_TRUE(Write(h, "abcdef", &n));
    EXPECT_EQ(0u, n);
    EXPECT_TRUE(Write(h, "abcdef", &n));  // the persistent answer from here on
    EXPECT_EQ(3u, n);
    EXPECT_TRUE(Write(h, "gh", &n));
    EXPECT_EQ(2u, n);
    EXPECT_EQ("abcgh", pm.Written("USB001"));

    pm.QueueReadData("USB001", std::string("\x01\x00\x02", 3));
    BYTE buf[2] = {};
    EXPECT_TRUE(t->pfnReadPort(h, buf, sizeof buf, &n));
    EXPECT_EQ(2u, n);
    EXPECT_EQ(1, buf[0]);
    EXPECT_TRUE(t->pfnReadPort(h, buf, sizeof buf, &n));
    EXPECT_EQ(1u, n);
    EXPECT_EQ(2, buf[0]);
    EXPECT_TRUE(t->pfnReadPort(h, buf, sizeof buf, &n));
    EXPECT_EQ(0u, n);
}

TEST_F(PortMonitorTest, DeviceAnswersFollowTheScriptAndRepeatTheLast)
{
    HANDLE h = OpenDoc("USB001");
    const std::string id = "MFG:Kestravon;MDL:KV-100;";
    pm.ScriptDeviceAnswers("USB001", {sim::DeviceAnswer::Failure(ERROR_ACCESS_DENIED), sim::DeviceAnswer::Empty(),
                                      sim::DeviceAnswer::Text(id)});
    char out[1024];
    DWORD count = 77;
    EXPECT_FALSE(Query(h, 17, out, sizeof out, &count));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_TRUE(Query(h, 17, out, sizeof out, &count));
    EXPECT_EQ(0u, count);
    for (int i = 0; i < 3; ++i) {
        std::memset(out, 0, sizeof out);
        EXPECT_TRUE(Query(h, 17, out, sizeof out, &count));
        EXPECT_EQ(id.size(), count);
        EXPECT_EQ(id, std::string(out, count));
    }

    // A short buffer cuts the copy and the count alike.
    char small[8];
    EXPECT_TRUE(Query(h, 17, small, sizeof small, &count));
    EXPECT_EQ(8u, count);
    EXPECT_EQ(id.substr(0, 8), std::string(small, 8));

    auto queries = pm.Calls("GetPrinterDataFromPort");
    ASSERT_EQ(6u, queries.size());
    EXPECT_EQ(17u, queries[0].controlId);
    EXPECT_EQ(1024u, queries[0].cbBuffer);
    EXPECT_EQ(8u, queries[5].cbBuffer);
    EXPECT_EQ(8u, queries[5].bytes);
}

TEST_F(PortMonitorTest, ExactCountIsReportedBeyondTheBuffer)
{
    HANDLE h = OpenDoc("USB001");
    pm.SetDeviceAnswer("USB001", sim::DeviceAnswer::ExactCount(std::string("AB\0CDEFGHIJ", 11), 70000));
    char out[6];
    std::memset(out, '#', sizeof out);
    DWORD count = 0;
    EXPECT_TRUE(Query(h, 0x0016000C, out, 4, &count));
    EXPECT_EQ(70000u, count);
    EXPECT_EQ(std::string("AB\0C##", 6), std::string(out, 6));  // nothing beyond cbOutBuffer

    // A count smaller than the bytes: all bytes that fit are copied, the count as given.
    pm.SetDeviceAnswer("USB001", sim::DeviceAnswer::ExactCount("XYZ", 1));
    EXPECT_TRUE(Query(h, 0x0016000C, out, sizeof out, &count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ("XYZ", std::string(out, 3));
}

TEST_F(PortMonitorTest, GateHoldsAQueryInFlight)
{
    HANDLE h = OpenDoc("USB001");
    HANDLE gate = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE entered = CreateEventA(NULL, FALSE, FALSE, NULL);
    pm.HoldDeviceQueries("USB001", gate, entered);
    pm.SetDeviceAnswer("USB001", sim::DeviceAnswer::Text("first"));

    BOOL result = FALSE;
    DWORD count = 0;
    char out[32] = {};
    std::thread query([&] { result = Query(h, 0x0016000C, out, sizeof out, &count); });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entered, 5000));
    EXPECT_EQ(1, pm.QueriesWaiting("USB001"));
    EXPECT_EQ(0u, pm.CallCount("GetPrinterDataFromPort"));  // logged when it returns

    // The answer is taken when the gate opens, and other calls go on meanwhile.
    pm.SetDeviceAnswer("USB001", sim::DeviceAnswer::Text("second"));
    EXPECT_TRUE(t->pfnEndDocPort(h));
    SetEvent(gate);
    query.join();
    EXPECT_TRUE(result);
    EXPECT_EQ("second", std::string(out, count));
    EXPECT_EQ(0, pm.QueriesWaiting("USB001"));
    auto calls = pm.Calls();
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ("EndDocPort", calls[2].function);
    EXPECT_EQ("GetPrinterDataFromPort", calls[3].function);

    pm.HoldDeviceQueries("USB001", NULL);
    CloseHandle(gate);
    CloseHandle(entered);
}

}  // namespace
