// The trace file of the real DLL: switched on through the registry while a job prints,
// read again by the polling thread, switched off the same way, and harmless when its path
// cannot be written. One port at a time, in real time (ReadCycle 2000 ms).
#include <fstream>
#include <sstream>
#include <string>

#include "support.h"

namespace kvwine {
namespace {

const char kPrinter[] = "Kestravon Trace";
const char kPort[] = "USB011";

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void SetRootString(const char* name, const std::string& value)
{
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRegistryRoot, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), (DWORD)value.size() + 1);
    RegCloseKey(key);
}

void SetRootDword(const char* name, DWORD value)
{
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRegistryRoot, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

void DeleteRootValue(const char* name)
{
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegistryRoot, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}

// The "port  event  reason" part of the first line whose event is `event` and whose reason
// contains `part`; empty when there is none.
std::string FindLine(const std::string& text, const std::string& event, const std::string& part)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find(std::string("  ") + kPort + "  " + event + "  ");
        if (at != std::string::npos && line.find(part, at) != std::string::npos)
            return line;
    }
    return std::string();
}

class TraceTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        char temp[MAX_PATH] = {};
        ASSERT_NE(GetTempPathA(sizeof temp, temp), 0u);
        folder_ = std::string(temp) + "kvmon-trace-app";
        CreateDirectoryA(folder_.c_str(), NULL);
        path_ = std::string(temp) + "kvmon-trace.log";
        DeleteFileA(path_.c_str());
        DeleteFileA((path_ + ".1").c_str());
        HKEY key = NULL;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kStatusAppKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
                  ERROR_SUCCESS);
        RegSetValueExA(key, "Installed Folder", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder_.c_str()),
                       (DWORD)folder_.size() + 1);
        RegCloseKey(key);
        AddPrinter(kPrinter, kPort);
    }
    void TearDown() override
    {
        MonitorTest::TearDown();
        DeleteFileA(path_.c_str());
        DeleteFileA((path_ + ".1").c_str());
        DeleteFileA((folder_ + "\\vuelog.err").c_str());
        RemoveDirectoryA(folder_.c_str());
    }
    bool FileHas(const std::string& event, const std::string& part, DWORD ms)
    {
        return WaitUntil([&] { return !FindLine(ReadText(path_), event, part).empty(); }, ms);
    }

    std::string folder_;
    std::string path_;
};

TEST_F(TraceTest, SwitchedOnWhilePrintingThenOff)
{
    pm_.SetDeviceAnswer(kPort, sim::DeviceAnswer::Text(KestravonId(42632)));  // paper jam
    HANDLE h = OpenPort(kPort, kPrinter);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartDoc(h, kPrinter, 1));
    EXPECT_TRUE(Write(h, "page 1\n"));

    // On while the job prints: a failed write makes the thread poll, and it reads the
    // settings again within a poll cycle.
    SetRootString("TraceFile", path_);
    SetRootDword("TraceLevel", 2);
    pm_.QueueWriteAnswers(kPort, {sim::WriteAnswer::Failure(), sim::WriteAnswer::Failure(),
                                  sim::WriteAnswer::Failure()});
    EXPECT_FALSE(Write(h, "page 2\n"));
    ASSERT_TRUE(FileHas("code", "42632 (row 16), bits 0x00100008", 15000)) << ReadText(path_);
    EXPECT_FALSE(Write(h, "page 3\n"));
    // The thread names what woke it from the flags it finds: let it wake before the
    // document ends and the port closes, or a late thread sees ClosePort's flags instead.
    ASSERT_TRUE(FileHas("thread-wake", "woken by a write error", 15000)) << ReadText(path_);
    EXPECT_TRUE(EndDoc(h));
    EXPECT_TRUE(Close(h));
    ASSERT_TRUE(FileHas("thread-end", "the port was closed", 10000)) << ReadText(path_);

    // A second job: thread start, first query, notification, then a refused document.
    h = OpenPort(kPort, kPrinter);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartDoc(h, kPrinter, 2));
    ASSERT_TRUE(FileHas("notified", "QRT command message", 10000)) << ReadText(path_);
    EXPECT_TRUE(EndDoc(h));
    BoxAnswer a;
    a.caption = kPrinter;
    a.button = IDRETRY;
    DWORD job = kvsim_QueueJob(kPrinter, "Report");
    pm_.FailStartDoc(kPort, 1);
    HANDLE answerer = CreateThread(NULL, 0, AnswerBox, &a, 0, NULL);
    ASSERT_NE(answerer, nullptr);
    EXPECT_FALSE(StartDoc(h, kPrinter, job, "Report"));
    InterlockedExchange(&a.stop, 1);
    EXPECT_EQ(WaitForSingleObject(answerer, 35000), WAIT_OBJECT_0);
    CloseHandle(answerer);
    EXPECT_TRUE(a.found);
    // A document that starts and ends: the thread polls between jobs again.
    ASSERT_TRUE(StartDoc(h, kPrinter, 4));
    EXPECT_TRUE(EndDoc(h));

    std::string text = ReadText(path_);
    const std::pair<const char*, const char*> expected[] = {
        {"thread-wake", "woken by a write error"},
        {"query", "control 0x0016000C: TRUE, error 0, 80 bytes"},
        {"record", "decoded from Base64: 24 bytes, code 42632"},
        {"write-failed", "7 bytes: FALSE"},
        {"thread-start", "polls every 2000 ms"},
        {"code", "SetPrinterA called; the companion is told"},
        {"doc-refused", "did not start job"},
        {"prompt", "answer Retry, the job is restarted"},
    };
    for (const auto& e : expected)
        EXPECT_FALSE(FindLine(text, e.first, e.second).empty()) << e.first << ": ..." << e.second << "...\n" << text;
    EXPECT_EQ(text.find("page "), std::string::npos) << "print data in the trace";
    // Whole lines: date, time with ms, thread id, port, event, reason, CR LF.
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        ASSERT_GE(line.size(), 30u) << line;
        EXPECT_EQ(line.back(), '\r') << line;
        EXPECT_TRUE(line[4] == '-' && line[10] == ' ' && line[13] == ':' && line[19] == '.' && line[23] == ' ')
            << line;
    }

    // Off: the polling thread, querying between jobs, reads the change within two poll
    // cycles, and the file stops growing; no lines after it. While the trace is on, the
    // thread writes a line every cycle, so the file is never quiet for two of them.
    DeleteRootValue("TraceFile");
    size_t before = ReadText(path_).size();
    for (DWORD waited = 0;; waited += 2 * 2000 + 500) {
        Sleep(2 * 2000 + 500);
        size_t now = ReadText(path_).size();
        if (now == before)
            break;
        ASSERT_LT(waited, 30000u) << "the trace file still grows after the trace was switched off";
        before = now;
    }
    Sleep(2 * 2000 + 500);
    EXPECT_EQ(ReadText(path_).size(), before) << "lines after the trace was switched off";
    EXPECT_TRUE(Close(h));
}

TEST_F(TraceTest, UnwritablePathLeavesPrintingUnaffected)
{
    SetRootString("TraceFile", "C:\\kvmon-no-such-folder\\deeper\\trace.log");
    SetRootDword("TraceLevel", 2);
    ASSERT_TRUE(InitializeMonitorEx()(const_cast<LPSTR>(kRegistryRoot), &table_));
    pm_.SetDeviceAnswer(kPort, sim::DeviceAnswer::Text(KestravonId(63400)));
    HANDLE h = OpenPort(kPort, kPrinter);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartDoc(h, kPrinter, 1));
    DWORD written = 0;
    const std::string header("\x1b%-12345X@PJL\r\n");
    EXPECT_TRUE(Write(h, header, &written));
    EXPECT_EQ(written, header.size());
    EXPECT_TRUE(Write(h, "page\n", &written));
    EXPECT_TRUE(EndDoc(h));
    EXPECT_TRUE(Close(h));
    EXPECT_EQ(pm_.Written(kPort), header + "page\n");
    EXPECT_EQ(GetFileAttributesA("C:\\kvmon-no-such-folder"), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace kvwine
