// The port operations and the polling thread, driven through kvmon's monitor table as the
// spooler drives it, against the simulated spooler, port monitor and printer.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "test_support.h"

using kvtest::KestravonId;
using kvtest::WaitUntil;
using sim::DeviceAnswer;
using sim::WriteAnswer;

namespace {

const DWORD kJam = 0x00100008;     // USER_INTERVENTION | PAPER_JAM
const DWORD kOffline = 0x00000080;  // PRINTER_STATUS_OFFLINE

class PortOpsTest : public kvtest::MonitorTest {
protected:
    unsigned CallsOf(const char* function, const char* port)
    {
        unsigned n = 0;
        for (const auto& c : pm_.Calls(function))
            n += c.port == port ? 1 : 0;
        return n;
    }
    bool ThreadAlive(HANDLE h) { return TestFlags(Context(h), PCF_THREAD_ALIVE) != FALSE; }
    bool MappingExists(const char* port)
    {
        HANDLE m = OpenFileMappingA(FILE_MAP_READ, FALSE, MappingName(port).c_str());
        if (m != NULL)
            CloseHandle(m);
        return m != NULL;
    }
    size_t Broadcasts() { return kvplat::PostedMessages().size(); }

};

TEST_F(PortOpsTest, WholeJobOnUsbPortPassesDataAndHandsTheDocumentToThePollingThread)
{
    AddPrinter("P1", "USB001");
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(63400)));
    HANDLE h = OpenPort("USB001", "P1");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(kvplat::LiveThreads(), 0) << "OpenPortEx must not start polling";

    ASSERT_TRUE(StartDoc(h, "P1", 7));
    auto threads = kvplat::CreatedThreads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads[0].stackSize, 0x4000u);
    EXPECT_EQ(threads[0].priority, THREAD_PRIORITY_LOWEST);

    // The immediate query ran on the spooler's thread, with the USB control code.
    auto queries = pm_.Calls("GetPrinterDataFromPort");
    ASSERT_GE(queries.size(), 1u);
    EXPECT_EQ(queries[0].thread, GetCurrentThreadId());
    EXPECT_EQ(queries[0].controlId, 0x0016000Cu);
    EXPECT_FALSE(queries[0].hasValueName);
    EXPECT_EQ(queries[0].cbBuffer, 1024u);
    EXPECT_FALSE(TestFlags(Context(h), PCF_FIRST_QUERY));

    std::string data("\x1b%-12345X@PJL\r\n\0binary\xff", 22);
    DWORD written = 0;
    EXPECT_TRUE(Write(h, data, &written));
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(pm_.Written("USB001"), data);

    // EndDocPort keeps the port monitor's document open for the thread.
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_EQ(CallsOf("EndDocPort", "USB001"), 0u);
    EXPECT_TRUE(pm_.DocumentOpen("USB001"));

    // Between jobs the thread polls at the ReadCycle interval.
    unsigned before = Queries("USB001");
    EXPECT_TRUE(WaitUntil([&] { return Queries("USB001") >= before + 3; }));
    for (const auto& q : pm_.Calls("GetPrinterDataFromPort"))
        EXPECT_EQ(q.controlId, 0x0016000Cu);

    // The next document first ends the held one.
    pm_.Clear();
    ASSERT_TRUE(StartDoc(h, "P1", 8));
    auto calls = pm_.Calls();
    size_t endAt = calls.size(), startAt = calls.size();
    for (size_t i = 0; i < calls.size(); i++) {
        if (calls[i].function == "EndDocPort" && endAt == calls.size())
            endAt = i;
        if (calls[i].function == "StartDocPort" && startAt == calls.size())
            startAt = i;
    }
    ASSERT_LT(endAt, calls.size()) << "the held document was not ended";
    EXPECT_LT(endAt, startAt) << "the held document must end before the next one starts";
    EXPECT_EQ(kvplat::CreatedThreads().size(), 1u) << "the running thread serves the next document";
    EXPECT_TRUE(table_.pfnEndDocPort(h));

    // ClosePort ends the held document and stops the thread.
    EXPECT_TRUE(table_.pfnClosePort(h));
    EXPECT_FALSE(pm_.DocumentOpen("USB001"));
    EXPECT_EQ(CallsOf("ClosePort", "USB001"), 1u);
    EXPECT_EQ(kvplat::LiveEvents(), 0);
    EXPECT_TRUE(kvplat::WaitForThreads(2000));
}

TEST_F(PortOpsTest, PortsOtherThanUsbAndLptAreNeverPolled)
{
    for (const char* port : {"FILE:", "usb001", "COM1:"}) {
        AddPrinter(port, port);
        pm_.SetDeviceAnswer(port, DeviceAnswer::Text(KestravonId(42632)));
        HANDLE h = OpenPort(port, port);
        ASSERT_TRUE(StartDoc(h, port));
        EXPECT_TRUE(Write(h, "data"));
        EXPECT_TRUE(table_.pfnEndDocPort(h));
        EXPECT_EQ(CallsOf("EndDocPort", port), 1u) << port << ": without a thread the document ends at once";
        EXPECT_TRUE(table_.pfnClosePort(h));
        EXPECT_EQ(Queries(port), 0u) << port;
    }
    EXPECT_TRUE(kvplat::CreatedThreads().empty());
}

TEST_F(PortOpsTest, LptPortQueriesWithControlCode17)
{
    AddPrinter("P1", "LPT1:");
    pm_.SetDeviceAnswer("LPT1:", DeviceAnswer::Text(KestravonId(42632)));
    HANDLE h = OpenPort("LPT1:", "P1");
    ASSERT_TRUE(StartDoc(h, "P1"));
    ASSERT_GE(Queries("LPT1:"), 1u);
    EXPECT_EQ(pm_.Calls("GetPrinterDataFromPort")[0].controlId, 17u);
    EXPECT_EQ(spooler_.PrinterStatus("P1"), kJam);
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
}

TEST_F(PortOpsTest, StatusFollowsTheDeviceFromReadyToJamToNoAnswer)
{
    kvtest::StatusAppFolder companion;  // notifications are written; removed at the end
    std::string folder = companion.Path();
    AddPrinter("P1", "USB001");
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(63400)));
    HANDLE h = OpenPort("USB001", "P1");
    ASSERT_TRUE(StartDoc(h, "P1"));
    ASSERT_TRUE(table_.pfnEndDocPort(h));

    // Ready: the code maps to no bits but is a change after StartDocPort, so the companion
    // hears of it once.
    EXPECT_TRUE(MappingExists("USB001"));
    EXPECT_TRUE(WaitUntil([&] { return Queries("USB001") >= 3; }));
    EXPECT_EQ(Broadcasts(), 1u);

    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(42632)));
    EXPECT_TRUE(WaitUntil([&] { return spooler_.PrinterStatus("P1") == kJam; }));
    unsigned at = Queries("USB001");
    EXPECT_TRUE(WaitUntil([&] { return Queries("USB001") >= at + 3; }));
    EXPECT_EQ(Broadcasts(), 2u) << "one notification per change, not per query";

    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Failure());
    EXPECT_TRUE(WaitUntil([&] { return spooler_.PrinterStatus("P1") == kOffline; }));
    EXPECT_TRUE(WaitUntil([&] { return !MappingExists("USB001"); })) << "no answer closes the block";
    EXPECT_EQ(Broadcasts(), 2u) << "offline codes do not notify";

    std::vector<DWORD> changes;
    for (DWORD s : StatusesOf("P1"))
        if (changes.empty() || changes.back() != s)
            changes.push_back(s);
    EXPECT_EQ(changes, (std::vector<DWORD>{0, kJam, kOffline}));

    std::ifstream ini(folder + "/vuelog.err");
    std::stringstream text;
    text << ini.rdbuf();
    EXPECT_NE(text.str().find("PORTNAME=USB001"), std::string::npos) << text.str();

    EXPECT_TRUE(table_.pfnClosePort(h));
}

TEST_F(PortOpsTest, WriteErrorWakesTheParkedThreadAndAGoodWriteClearsTheStatus)
{
    AddPrinter("P1", "USB001");
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(63400)));
    HANDLE h = OpenPort("USB001", "P1");
    ASSERT_TRUE(StartDoc(h, "P1"));
    unsigned parked = Queries("USB001");
    EXPECT_EQ(parked, 1u);
    Sleep(20000);  // ten poll periods: a thread parked during a job makes no query
    EXPECT_EQ(Queries("USB001"), parked);

    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(42632)));
    pm_.QueueWriteAnswers("USB001", {WriteAnswer::Failure()});
    DWORD written = 1;
    EXPECT_FALSE(Write(h, "page", &written));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(WaitUntil([&] { return spooler_.PrinterStatus("P1") == kJam; }))
        << "the write error should wake the thread for a query during the job";

    // Writes that get through clear the printer's status and stop the error polling.
    EXPECT_TRUE(Write(h, "page"));
    EXPECT_EQ(spooler_.PrinterStatus("P1"), 0u);
    EXPECT_EQ(Context(h)->printerStatus, 0u);
    EXPECT_FALSE(TestFlags(Context(h), PCF_WRITE_ERROR));

    // TRUE with 0 bytes counts as an error but the result goes back unchanged. The device
    // is ready now, so the printer shows no status whether or not the thread has queried.
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(63400)));
    pm_.QueueWriteAnswers("USB001", {WriteAnswer::Zero()});
    EXPECT_TRUE(Write(h, "page", &written));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(TestFlags(Context(h), PCF_WRITE_ERROR));
    // A good write ends the error polling also when there is no status to clear.
    EXPECT_TRUE(Write(h, "page"));
    EXPECT_FALSE(TestFlags(Context(h), PCF_WRITE_ERROR));

    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
}

TEST_F(PortOpsTest, PrinterStatusRequestWaitsForTheThreadsQuery)
{
    // The request waits at most one poll period for the thread: give the thread a period of
    // half a second of real time, so a loaded machine cannot make it miss.
    kvplat::SetTimeScale(4);
    AddPrinter("P1", "USB001");
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text("MFG:Other;MDL:X;"));  // unrecognised: no block held
    HANDLE h = OpenPort("USB001", "P1");
    ASSERT_TRUE(StartDoc(h, "P1"));
    unsigned before = Queries("USB001");

    // During the job the thread is parked; the request wakes it and waits for its query.
    for (const char* name : {"Printer Status", "printer STATUS"}) {
        unsigned n = Queries("USB001");
        DWORD returned = 0;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(table_.pfnGetPrinterDataFromPort(h, 0, (LPSTR)name, NULL, 0, NULL, 0, &returned));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_GT(Queries("USB001"), n) << name << ": the request returned before the thread queried";
    }
    EXPECT_GT(Queries("USB001"), before);
    EXPECT_FALSE(TestFlags(Context(h), PCF_STATUS_REQUEST));

    // Other value names are refused at once.
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnGetPrinterDataFromPort(h, 0, (LPSTR) "Status", NULL, 0, NULL, 0, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnGetPrinterDataFromPort(h, 0, NULL, NULL, 0, NULL, 0, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // While a status block is held the request fails at once.
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(63400)));
    EXPECT_FALSE(table_.pfnGetPrinterDataFromPort(h, 0, (LPSTR) "Printer Status", NULL, 0, NULL, 0, NULL));
    EXPECT_TRUE(WaitUntil([&] { return ReadHandle(&Context(h)->hMapping) != NULL; }));
    unsigned held = Queries("USB001");
    EXPECT_FALSE(table_.pfnGetPrinterDataFromPort(h, 0, (LPSTR) "Printer Status", NULL, 0, NULL, 0, NULL));
    EXPECT_EQ(Queries("USB001"), held) << "a held block must not trigger a refresh";

    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
}

TEST_F(PortOpsTest, PrinterStatusRequestRefusedWithoutThreadOrDocument)
{
    AddPrinter("P1", "FILE:");
    AddPrinter("P2", "USB002");
    HANDLE file = OpenPort("FILE:", "P1");
    HANDLE usb = OpenPort("USB002", "P2");

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnGetPrinterDataFromPort(usb, 0, (LPSTR) "Printer Status", NULL, 0, NULL, 0, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << "no document open";

    ASSERT_TRUE(StartDoc(file, "P1"));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnGetPrinterDataFromPort(file, 0, (LPSTR) "Printer Status", NULL, 0, NULL, 0, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << "no polling thread";
    // A device request between jobs is refused on a port without a thread.
    EXPECT_TRUE(table_.pfnEndDocPort(file));
    char out[64];
    DWORD returned = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnGetPrinterDataFromPort(file, 17, NULL, NULL, 0, out, sizeof(out), &returned));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // After a failed start: refused at once.
    pm_.FailStartDoc("USB002", 1);
    EXPECT_FALSE(StartDoc(usb, "P2", 3, ""));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnGetPrinterDataFromPort(usb, 0, (LPSTR) "Printer Status", NULL, 0, NULL, 0, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    EXPECT_TRUE(table_.pfnClosePort(file));
    EXPECT_TRUE(table_.pfnClosePort(usb));
}

TEST_F(PortOpsTest, DeviceRequestPassesThroughWhileTheThreadHoldsTheDocument)
{
    AddPrinter("P1", "USB001");
    std::string id = KestravonId(63400);
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(id));
    HANDLE h = OpenPort("USB001", "P1");
    ASSERT_TRUE(StartDoc(h, "P1"));
    ASSERT_TRUE(table_.pfnEndDocPort(h));
    char out[1024] = {};
    DWORD returned = 0;
    EXPECT_TRUE(table_.pfnGetPrinterDataFromPort(h, 0x0016000C, NULL, NULL, 0, out, sizeof(out), &returned));
    EXPECT_EQ(returned, id.size());
    EXPECT_EQ(std::string(out, returned), id) << "the reply must pass through unchanged";
    EXPECT_TRUE(table_.pfnClosePort(h));
}

TEST_F(PortOpsTest, DeletedPrinterEndsThePollingAndTheHeldDocument)
{
    AddPrinter("P1", "USB001");
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(42632)));
    HANDLE h = OpenPort("USB001", "P1");
    ASSERT_TRUE(StartDoc(h, "P1"));
    ASSERT_TRUE(table_.pfnEndDocPort(h));
    ASSERT_TRUE(MappingExists("USB001"));
    ASSERT_EQ(spooler_.PrinterStatus("P1"), kJam);
    spooler_.ClearHistory();

    ASSERT_TRUE(spooler_.DeletePrinter("P1"));
    EXPECT_TRUE(WaitUntil([&] { return !ThreadAlive(h); }));
    EXPECT_FALSE(pm_.DocumentOpen("USB001")) << "the thread ends the held document";
    EXPECT_FALSE(MappingExists("USB001"));
    EXPECT_EQ(ReadHandle(&Context(h)->hWakeEvent), nullptr);
    EXPECT_EQ(Context(h)->printerStatus, kJam) << "the context keeps the last status it applied";

    // The printer is back: the next document starts a new thread.
    AddPrinter("P1", "USB001");
    ASSERT_TRUE(StartDoc(h, "P1"));
    EXPECT_EQ(kvplat::CreatedThreads().size(), 2u);
    EXPECT_TRUE(ThreadAlive(h));
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
}

TEST_F(PortOpsTest, RenamedPrinterIsFollowedByThePollingThread)
{
    AddPrinter("Old", "USB001");
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(42632)));
    HANDLE h = OpenPort("USB001", "Old");
    ASSERT_TRUE(StartDoc(h, "Old"));
    ASSERT_TRUE(table_.pfnEndDocPort(h));
    unsigned queries = Queries("USB001");

    ASSERT_TRUE(spooler_.RenamePrinter("Old", "New"));
    // The thread keeps polling, now under the printer's new name, through the held document.
    EXPECT_TRUE(WaitUntil([&] { return Queries("USB001") > queries + 2; }));
    EXPECT_TRUE(ThreadAlive(h));
    EXPECT_TRUE(pm_.DocumentOpen("USB001"));
    EnterCriticalSection(&Context(h)->csPort);
    std::string name = Context(h)->printerName;
    LeaveCriticalSection(&Context(h)->csPort);
    EXPECT_EQ(name, "New");
    EXPECT_EQ(spooler_.PrinterStatus("New"), kJam);

    // The next document under the new name ends the held one and keeps the thread.
    ASSERT_TRUE(StartDoc(h, "New"));
    EXPECT_EQ(kvplat::CreatedThreads().size(), 1u);
    EXPECT_EQ(CallsOf("EndDocPort", "USB001"), 1u);
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
    EXPECT_EQ(CallsOf("EndDocPort", "USB001"), 2u);
}

TEST_F(PortOpsTest, FailedStartAsksRetryOrCancel)
{
    AddPrinter("Kestravon ZR", "USB001");
    HANDLE h = OpenPort("USB001", "Kestravon ZR");
    int answer = IDRETRY;
    kvplat::SetMessageBoxHook([&](const kvplat::MessageBoxRecord&) { return answer; });
    DWORD retryJob = spooler_.QueueJob("Kestravon ZR", "Document");
    DWORD cancelJob = spooler_.QueueJob("Kestravon ZR", "Document");

    pm_.FailStartDoc("USB001", 1, 1460);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StartDoc(h, "Kestravon ZR", retryJob));
    EXPECT_EQ(GetLastError(), 1460u) << "the port monitor's reason reaches the spooler";
    answer = IDCANCEL;
    pm_.FailStartDoc("USB001", 1);
    EXPECT_FALSE(StartDoc(h, "Kestravon ZR", cancelJob));

    auto boxes = kvplat::MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(kvplat::AnsiToUtf8(boxes[0].text), KVMON_TEXT_CONNECT_FAILED);
    EXPECT_EQ(boxes[0].caption, "Kestravon ZR");
    EXPECT_EQ(boxes[0].flags, 0x1005u);
    auto commands = spooler_.JobCommands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].jobId, retryJob);
    EXPECT_EQ(commands[0].command, (DWORD)JOB_CONTROL_RESTART);
    EXPECT_EQ(commands[1].jobId, cancelJob);
    EXPECT_EQ(commands[1].command, (DWORD)JOB_CONTROL_CANCEL);

    // No document name: no box, no job control. The port is free for the next document.
    pm_.FailStartDoc("USB001", 1);
    EXPECT_FALSE(StartDoc(h, "Kestravon ZR", 99, ""));
    EXPECT_EQ(kvplat::MessageBoxes().size(), 2u);
    EXPECT_EQ(spooler_.JobCommands().size(), 2u);
    EXPECT_FALSE(TestFlags(Context(h), PCF_JOB_ACTIVE));
    EXPECT_TRUE(kvplat::CreatedThreads().empty()) << "a failed start starts no thread";
    EXPECT_TRUE(table_.pfnClosePort(h));
}

TEST_F(PortOpsTest, OpenPortExRefusals)
{
    AddPrinter("P1", "USB001");
    MONITOR noRead = *pm_.Table();
    noRead.pfnReadPort = NULL;
    HANDLE h = NULL;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnOpenPortEx((LPSTR) "USB001", (LPSTR) "P1", &h, &noRead));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PRINT_MONITOR);
    EXPECT_EQ(g_pPortList, nullptr);

    MONITOR pm = *pm_.Table();
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnOpenPortEx((LPSTR) "USB001", (LPSTR) "P1", NULL, &pm));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnOpenPortEx(NULL, (LPSTR) "P1", &h, &pm));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(g_pPortList, nullptr);

    h = OpenPort("USB001", "P1");
    HANDLE second = NULL;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnOpenPortEx((LPSTR) "usb001", (LPSTR) "P1", &second, &pm));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    EXPECT_TRUE(table_.pfnClosePort(h));

    // A port monitor that cannot open the port leaves nothing behind.
    pm_.FailOpenPort("USB002", true);
    EXPECT_FALSE(table_.pfnOpenPortEx((LPSTR) "USB002", (LPSTR) "P1", &h, &pm));
    EXPECT_EQ(g_pPortList, nullptr);
    pm_.FailOpenPort("USB002", false);
    h = OpenPort("USB002", "P1");
    EXPECT_TRUE(table_.pfnClosePort(h));
}

TEST_F(PortOpsTest, OperationsRejectBadHandlesAndArguments)
{
    PortContext fake{};
    DWORD count = 0;
    BYTE buf[4];
    for (HANDLE bad : {(HANDLE)NULL, (HANDLE)&fake}) {
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(table_.pfnWritePort(bad, buf, 4, &count));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(table_.pfnEndDocPort(bad));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(table_.pfnClosePort(bad));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }

    AddPrinter("P1", "FILE:");
    HANDLE h = OpenPort("FILE:", "P1");
    count = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnWritePort(h, buf, 4, &count)) << "no document started";
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnWritePort(h, buf, 4, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnReadPort(h, buf, 4, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnStartDocPort(h, (LPSTR) "", 1, 1, (LPBYTE)&doc_));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnStartDocPort(h, (LPSTR) "P1", 1, 1, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(StartDoc(h, "P1"));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StartDoc(h, "P1")) << "a second document without EndDocPort";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    EXPECT_EQ(pm_.CallCount("StartDocPort"), 1u);

    // Without a polling thread ClosePort does not end the open document.
    EXPECT_TRUE(table_.pfnClosePort(h));
    EXPECT_EQ(pm_.CallCount("EndDocPort"), 0u);
    EXPECT_EQ(pm_.CallCount("ClosePort"), 1u);
}

TEST_F(PortOpsTest, PortMonitorWithoutEndDocPortIsNeverCalledThroughIt)
{
    AddPrinter("P1", "USB001");
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(63400)));
    MONITOR noEnd = *pm_.Table();
    noEnd.pfnEndDocPort = NULL;
    HANDLE h = OpenPort("USB001", "P1", &noEnd);
    ASSERT_TRUE(StartDoc(h, "P1"));
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    StartDoc(h, "P1");  // the held document is owed an end that cannot be called
    table_.pfnEndDocPort(h);
    EXPECT_TRUE(table_.pfnClosePort(h));
    EXPECT_EQ(pm_.CallCount("ClosePort"), 1u);
}

TEST_F(PortOpsTest, PortMonitorCountBeyondTheBufferIsClamped)
{
    AddPrinter("P1", "USB001");
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::ExactCount(KestravonId(42632, false), 70000));
    HANDLE h = OpenPort("USB001", "P1");
    ASSERT_TRUE(StartDoc(h, "P1"));
    // The raw block is as long as the (clamped) reply: 1024 bytes.
    HANDLE m = OpenFileMappingA(FILE_MAP_READ, FALSE, MappingName("USB001").c_str());
    ASSERT_NE(m, nullptr);
    const BYTE* view = (const BYTE*)MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[0] * 256 + view[1], 1024);
    UnmapViewOfFile(view);
    CloseHandle(m);
    EXPECT_EQ(spooler_.PrinterStatus("P1"), kJam);
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
}

TEST_F(PortOpsTest, FailedEventOrThreadCreationStartsNoThreadAndLeavesNothing)
{
    AddPrinter("P1", "USB001");
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(42632)));
    HANDLE h = OpenPort("USB001", "P1");
    for (auto fault : {kvplat::Fault::Event, kvplat::Fault::Thread}) {
        kvplat::FailNth(fault, fault == kvplat::Fault::Event ? 2 : 1);
        ASSERT_TRUE(StartDoc(h, "P1")) << "status work never fails the document";
        EXPECT_FALSE(TestFlags(Context(h), PCF_THREAD_RUN | PCF_THREAD_ALIVE | PCF_FIRST_QUERY));
        EXPECT_EQ(Context(h)->hWakeEvent, nullptr);
        EXPECT_EQ(Context(h)->hIdleEvent, nullptr);
        EXPECT_EQ(kvplat::LiveEvents(), 0);
        EXPECT_TRUE(table_.pfnEndDocPort(h));
        EXPECT_FALSE(pm_.DocumentOpen("USB001"));
        kvplat::ResetFaults();
    }
    // The next document tries again.
    ASSERT_TRUE(StartDoc(h, "P1"));
    EXPECT_TRUE(ThreadAlive(h));
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
}

TEST_F(PortOpsTest, DocumentStartingWhileTheThreadEndsNeverRunsTwoThreads)
{
    AddPrinter("P1", "USB001");
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(63400)));
    HANDLE h = OpenPort("USB001", "P1");
    for (int round = 0; round < 20; round++) {
        ASSERT_TRUE(StartDoc(h, "P1"));
        ASSERT_TRUE(table_.pfnEndDocPort(h));
        spooler_.DeletePrinter("P1");
        // Bring the printer back at varying moments of the thread's ending.
        Sleep(round * 150);
        AddPrinter("P1", "USB001");
        ASSERT_TRUE(StartDoc(h, "P1"));
        EXPECT_LE(kvplat::LiveThreads(), 1) << "round " << round;
        ASSERT_TRUE(table_.pfnEndDocPort(h));
    }
    EXPECT_TRUE(table_.pfnClosePort(h));
    EXPECT_EQ(kvplat::LiveEvents(), 0);
    EXPECT_EQ(pm_.OpenHandleCount(), 0);
}

}  // namespace
