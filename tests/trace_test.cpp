// The monitor's trace: the events of a job and their reasons through an in-process sink,
// and the trace file switched on by the registry: its lines, settings that are bad, a full
// disk, the size cap and its rollover with many ports writing at once.
#include <unistd.h>

#include <mutex>
#include <sstream>
#include <thread>

#include "test_support.h"

using kvtest::KestravonId;
using kvtest::WaitUntil;
using sim::DeviceAnswer;
using sim::WriteAnswer;

namespace {

struct TraceRecord {
    std::string port;
    std::string event;
    std::string reason;
};

std::mutex g_recordsMutex;
std::vector<TraceRecord> g_records;

void CollectEvent(LPCSTR port, LPCSTR event, LPCSTR reason)
{
    std::lock_guard<std::mutex> lock(g_recordsMutex);
    g_records.push_back({port, event, reason});
}

std::vector<TraceRecord> Records()
{
    std::lock_guard<std::mutex> lock(g_recordsMutex);
    return g_records;
}

// "event: reason" lines of one port, for messages and searches.
std::string Describe(const std::vector<TraceRecord>& records)
{
    std::string out;
    for (const auto& r : records)
        out += r.port + " " + r.event + ": " + r.reason + "\n";
    return out;
}

bool HasEvent(const std::string& event, const std::string& reasonPart)
{
    for (const auto& r : Records()) {
        if (r.event == event && r.reason.find(reasonPart) != std::string::npos)
            return true;
    }
    return false;
}

void SetString(const char* name, const std::string& value, DWORD type = REG_SZ)
{
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kvtest::kRegistryRoot, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL),
              ERROR_SUCCESS);
    std::string bytes = value + std::string(1, '\0');
    RegSetValueExA(key, name, 0, type, (const BYTE*)bytes.data(), (DWORD)bytes.size());
    RegCloseKey(key);
}

void SetDword(const char* name, DWORD value)
{
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kvtest::kRegistryRoot, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE*)&value, sizeof value);
    RegCloseKey(key);
}

void DeleteValue(const char* name)
{
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kvtest::kRegistryRoot, 0, KEY_WRITE, &key), ERROR_SUCCESS);
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

// One trace line: date, time with ms, thread id, port, event, reason. False when the line
// does not have that shape.
struct TraceLine {
    std::string port, event, reason;
};

bool ParseLine(const std::string& line, TraceLine* out)
{
    const std::string shape = "dddd-dd-dd dd:dd:dd.ddd  ";
    if (line.size() < shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); i++) {
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == 'd' ? !digit : line[i] != shape[i])
            return false;
    }
    size_t at = line.find_first_not_of(' ', shape.size());
    size_t end = line.find_first_not_of("0123456789", at);
    if (at == std::string::npos || end == std::string::npos || end == at || line.compare(end, 2, "  ") != 0)
        return false;
    size_t portEnd = line.find("  ", end + 2);
    size_t eventEnd = portEnd == std::string::npos ? portEnd : line.find("  ", portEnd + 2);
    if (eventEnd == std::string::npos)
        return false;
    out->port = line.substr(end + 2, portEnd - end - 2);
    out->event = line.substr(portEnd + 2, eventEnd - portEnd - 2);
    out->reason = line.substr(eventEnd + 2);
    return !out->port.empty() && !out->event.empty() && out->port.find(' ') == std::string::npos &&
           out->event.find(' ') == std::string::npos;
}

class TraceTest : public kvtest::MonitorTest {
protected:
    void SetUp() override
    {
        kvtest::MonitorTest::SetUp();
        std::lock_guard<std::mutex> lock(g_recordsMutex);
        g_records.clear();
    }
    void TearDown() override
    {
        SetTraceSink(NULL, TRACE_OFF);
        StopTrace();
        kvtest::MonitorTest::TearDown();
    }
};

// One job through a paper jam: every decision is there with its reason, and no print data.
TEST_F(TraceTest, AJobTellsEveryDecisionAndWhy)
{
    kvtest::StatusAppFolder companion;
    SetTraceSink(CollectEvent, TRACE_QUERIES);
    AddPrinter("P1", "USB001");
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(42632)));  // paper jam
    pm_.QueueWriteAnswers("USB001", {WriteAnswer::Failure()});
    HANDLE h = OpenPort("USB001", "P1");
    ASSERT_TRUE(StartDoc(h, "P1", 7));
    EXPECT_FALSE(Write(h, "SECRET-PRINT-DATA"));
    ASSERT_TRUE(WaitUntil([] { return HasEvent("thread-wake", "write error"); }));
    EXPECT_TRUE(Write(h, "SECRET-PRINT-DATA"));
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));

    std::vector<TraceRecord> records = Records();
    std::string all = Describe(records);
    const std::pair<const char*, const char*> expected[] = {
        {"doc-start", "job 7 is document 1"},
        {"thread-start", "polls every 2000 ms"},
        {"query", "control 0x0016000C: TRUE, error 0, 80 bytes"},
        {"recognised", "accepted"},
        {"record", "decoded from Base64: 24 bytes, code 42632"},
        {"block-created", "\"Kestravon Language MonitorUSB001\", 74 bytes"},
        {"code", "42632 (row 16), bits 0x00100008: SetPrinterA called; the companion is told"},
        {"notified", "vuelog.err\" written, \"QRT command message\" broadcast"},
        {"write-failed", "17 bytes: FALSE (error 21), 0 written"},
        {"thread-wake", "woken by a write error"},
        {"status-cleared", "status 0x00100008 cleared"},
        {"doc-held", "document 1 stays open"},
        {"doc-end", "document 1 ended by ClosePort"},
        {"thread-end", "the port was closed"},
    };
    for (const auto& e : expected)
        EXPECT_TRUE(HasEvent(e.first, e.second)) << "expected " << e.first << ": ..." << e.second << "...\nin\n" << all;
    for (const auto& r : records) {
        EXPECT_EQ(r.port, r.event == "trace-on" ? "-" : "USB001") << r.event;
        EXPECT_EQ(r.reason.find("SECRET"), std::string::npos) << "print data in " << r.event << ": " << r.reason;
    }
}

// The reasons a port is not polled, a reply is refused and the companion is not told.
TEST_F(TraceTest, RefusalsSayWhichRuleFailed)
{
    SetTraceSink(CollectEvent, TRACE_DECISIONS);
    AddPrinter("P1", "USB001");
    AddPrinter("P2", "USB002");
    AddPrinter("P3", "FILE:");
    MONITOR noQueries = *pm_.Table();
    noQueries.pfnGetPrinterDataFromPort = NULL;
    pm_.ScriptDeviceAnswers("USB001", {DeviceAnswer::Text("MFG:Acme;MDL:ZR-QM4471;"),
                                       DeviceAnswer::Text("MFG:Kestravon;CMD:PJL;"),
                                       DeviceAnswer::Text("MFG:Kestravon;MDL:ZR-QM4471;"),
                                       DeviceAnswer::Text(KestravonId(63400))});
    HANDLE h1 = OpenPort("USB001", "P1");
    HANDLE h2 = OpenPort("USB002", "P2", &noQueries);
    HANDLE h3 = OpenPort("FILE:", "P3");
    ASSERT_TRUE(StartDoc(h2, "P2"));
    ASSERT_TRUE(StartDoc(h3, "P3"));
    ASSERT_TRUE(StartDoc(h1, "P1"));
    EXPECT_TRUE(table_.pfnEndDocPort(h1));
    ASSERT_TRUE(WaitUntil([] { return HasEvent("notify-skipped", "not installed"); }));
    for (HANDLE h : {h1, h2, h3}) {
        table_.pfnEndDocPort(h);
        EXPECT_TRUE(table_.pfnClosePort(h));
    }
    std::string all = Describe(Records());
    EXPECT_TRUE(HasEvent("not-polled", "no GetPrinterDataFromPort")) << all;
    EXPECT_TRUE(HasEvent("not-polled", "not a USB or LPT port")) << all;
    EXPECT_TRUE(HasEvent("not-recognised", "no MFG: or MANUFACTURER: value")) << all;
    EXPECT_TRUE(HasEvent("not-recognised", "no MDL: or MODEL: value")) << all;
    EXPECT_TRUE(HasEvent("not-published", "no \"VSTATUS:\" field")) << all;
    EXPECT_FALSE(HasEvent("query", "")) << "a query is not a decision:\n" << all;
}

// Off: the sink hears nothing and the level is one load that reads 0.
TEST_F(TraceTest, OffFormatsNothing)
{
    SetTraceSink(CollectEvent, TRACE_OFF);
    EXPECT_EQ(g_dwTraceLevel, (DWORD)TRACE_OFF);
    AddPrinter("P1", "USB001");
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(63400)));
    HANDLE h = OpenPort("USB001", "P1");
    ASSERT_TRUE(StartDoc(h, "P1"));
    EXPECT_TRUE(table_.pfnClosePort(h));
    EXPECT_TRUE(Records().empty()) << Describe(Records());
}

class TraceFileTest : public TraceTest {
protected:
    void SetUp() override
    {
        TraceTest::SetUp();
        char templ[] = "/tmp/kvmon-trace-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        path_ = dir_ + "/kvmon.log";
    }
    void TearDown() override
    {
        TraceTest::TearDown();
        std::string command = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }
    // Prints one job on USB001 and returns the bytes the port monitor received.
    std::string PrintJob()
    {
        AddPrinter("P1", "USB001");
        pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(63400)));
        HANDLE h = OpenPort("USB001", "P1");
        EXPECT_TRUE(StartDoc(h, "P1"));
        EXPECT_TRUE(Write(h, "page one\n"));
        EXPECT_TRUE(Write(h, "page two\n"));
        EXPECT_TRUE(table_.pfnEndDocPort(h));
        EXPECT_TRUE(table_.pfnClosePort(h));
        return pm_.Written("USB001");
    }
    void Reinitialize() { ASSERT_TRUE(InitializeMonitorEx((LPSTR)kvtest::kRegistryRoot, &table_)); }

    std::string dir_;
    std::string path_;
};

TEST_F(TraceFileTest, RegistrySwitchesTheFileOnAndOff)
{
    SetString(TRACE_VALUE_FILE, path_);
    Reinitialize();
    EXPECT_EQ(PrintJob(), "page one\npage two\n");
    std::vector<std::string> lines = Lines(kvtest::ReadFileBytes(path_));
    ASSERT_GE(lines.size(), 4u);
    std::string events;
    for (const auto& line : lines) {
        TraceLine parsed;
        ASSERT_TRUE(ParseLine(line, &parsed)) << "line: " << line;
        events += parsed.event + " ";
    }
    EXPECT_EQ(events.rfind("trace-on doc-start ", 0), 0u) << events;
    EXPECT_NE(events.find(" thread-start "), std::string::npos) << events;
    EXPECT_NE(events.find(" code "), std::string::npos) << events;
    EXPECT_EQ(events.substr(events.size() - 11), "thread-end ") << events;
    EXPECT_EQ(events.find("query"), std::string::npos) << "level 1 (the default) has no queries: " << events;

    // Off again: a polling thread reads the change within a poll cycle; no new lines after it.
    DeleteValue(TRACE_VALUE_FILE);
    Sleep(2 * g_dwReadCycle);
    RefreshTraceSettings(g_dwReadCycle);
    EXPECT_EQ(TraceFileLevel(), (DWORD)TRACE_OFF);
    size_t before = kvtest::ReadFileBytes(path_).size();
    PrintJob();
    EXPECT_EQ(kvtest::ReadFileBytes(path_).size(), before);
}

TEST_F(TraceFileTest, BadSettingsLeaveTracingOffAndPrintingUnchanged)
{
    struct Case {
        const char* what;
        std::function<void(const std::string& path)> set;
    };
    const Case cases[] = {
        {"level of the wrong type", [](const std::string& p) { SetString(TRACE_VALUE_FILE, p);
                                                               SetString(TRACE_VALUE_LEVEL, "2"); }},
        {"level 3", [](const std::string& p) { SetString(TRACE_VALUE_FILE, p); SetDword(TRACE_VALUE_LEVEL, 3); }},
        {"cap of the wrong type", [](const std::string& p) { SetString(TRACE_VALUE_FILE, p);
                                                             SetString(TRACE_VALUE_MAX_BYTES, "1"); }},
        {"file of the wrong type", [](const std::string&) { SetDword(TRACE_VALUE_FILE, 1); }},
        {"folder that does not exist", [](const std::string& p) { SetString(TRACE_VALUE_FILE, p + ".d/x/t.log"); }},
        {"a folder as the file", [this](const std::string&) { SetString(TRACE_VALUE_FILE, dir_); }},
        {"level 0", [](const std::string& p) { SetString(TRACE_VALUE_FILE, p); SetDword(TRACE_VALUE_LEVEL, 0); }},
    };
    for (const auto& c : cases) {
        kvplat::RegistryReset();
        spooler_.Reset();
        pm_.Reset();
        c.set(path_);
        Reinitialize();
        EXPECT_EQ(TraceFileLevel(), (DWORD)TRACE_OFF) << c.what;
        EXPECT_EQ(PrintJob(), "page one\npage two\n") << c.what;
        EXPECT_FALSE(kvtest::FileExists(path_)) << c.what;
    }
}

// A write error (here a full disk) stops the trace for good, until the settings change.
TEST_F(TraceFileTest, FullDiskStopsTracing)
{
    SetString(TRACE_VALUE_FILE, "/dev/full");
    Reinitialize();
    EXPECT_EQ(TraceFileLevel(), (DWORD)TRACE_OFF) << "the first line failed";
    EXPECT_EQ(PrintJob(), "page one\npage two\n");
    RefreshTraceSettings(0);
    EXPECT_EQ(TraceFileLevel(), (DWORD)TRACE_OFF) << "unchanged settings do not restart it";
}

TEST_F(TraceFileTest, DebuggerTakesWholeLines)
{
    std::vector<std::string> texts;
    std::mutex m;
    kvplat::SetDebugOutputHook([&](const std::string& t) {
        std::lock_guard<std::mutex> lock(m);
        texts.push_back(t);
    });
    SetString(TRACE_VALUE_FILE, "Debugger");
    SetDword(TRACE_VALUE_LEVEL, TRACE_QUERIES);
    Reinitialize();
    PrintJob();
    StopTrace();
    kvplat::SetDebugOutputHook(nullptr);
    ASSERT_FALSE(texts.empty());
    bool query = false;
    for (const auto& t : texts) {
        ASSERT_EQ(t.back(), '\n') << t;
        TraceLine parsed;
        EXPECT_TRUE(ParseLine(t.substr(0, t.size() - 1), &parsed)) << t;
        query = query || t.find("  query  ") != std::string::npos;
    }
    EXPECT_TRUE(query) << "level 2 traces every query";
}

// Eight ports trace at once into a file capped at 4 KiB: the file and its ".1" stay within
// the cap and every line in them is whole.
TEST_F(TraceFileTest, CapAndRolloverKeepWholeLinesFromManyPorts)
{
    const DWORD cap = TRACE_MIN_MAX_BYTES;
    SetString(TRACE_VALUE_FILE, path_);
    SetDword(TRACE_VALUE_MAX_BYTES, 1);  // raised to the smallest cap
    SetDword(TRACE_VALUE_LEVEL, TRACE_DECISIONS);
    Reinitialize();
    const int kPorts = 8;
    const int kEvents = 400;
    std::vector<std::thread> threads;
    for (int p = 0; p < kPorts; p++) {
        threads.emplace_back([p] {
            std::string port = "USB00" + std::to_string(p + 1);
            for (int i = 0; i < kEvents; i++)
                TRACE(TRACE_DECISIONS, port.c_str(), "test-event", "event %d of port %d, padding %s end", i, p,
                      std::string((size_t)(i % 50), 'x').c_str());
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(TraceFileLevel(), (DWORD)TRACE_DECISIONS);
    StopTrace();

    std::string current = kvtest::ReadFileBytes(path_);
    std::string rolled = kvtest::ReadFileBytes(path_ + ".1");
    EXPECT_LE(current.size(), cap);
    EXPECT_LE(rolled.size(), cap);
    EXPECT_GT(rolled.size(), cap / 2) << "the rolled file was full";
    EXPECT_FALSE(kvtest::FileExists(path_ + ".1.1"));
    for (const std::string* text : {&rolled, &current}) {
        ASSERT_EQ(text->back(), '\n');
        for (const auto& line : Lines(*text)) {
            TraceLine parsed;
            ASSERT_TRUE(ParseLine(line, &parsed)) << "torn line: " << line;
            if (parsed.event != "test-event")
                continue;
            // "event N of port P, padding xxx end", whole
            size_t x = parsed.reason.find(", padding ");
            EXPECT_EQ(parsed.reason.rfind("event ", 0), 0u) << line;
            ASSERT_NE(x, std::string::npos) << line;
            EXPECT_EQ(parsed.reason.find_first_not_of('x', x + 10), parsed.reason.size() - 4) << line;
            EXPECT_EQ(parsed.reason.substr(parsed.reason.size() - 4), " end") << line;
        }
    }
}

}  // namespace
