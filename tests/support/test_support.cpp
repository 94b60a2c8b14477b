// Shared helpers of the test programs.
#include "test_support.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace kvtest {

const char* const kRegistryRoot = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Kestravon Language Monitor";

std::string StatusRecord(WORD code)
{
    std::string record(24, '\x01');
    record[21] = (char)(code >> 8);
    record[22] = (char)(code & 0xFF);
    return record;
}

std::string KestravonId(WORD code, bool base64)
{
    std::string head = "MFG:Kestravon;MDL:ZR-QM4471;CMD:PJL;";
    if (base64)
        return head + "FL1;VSTATUS:" + Base64Encode(StatusRecord(code));
    return head + "VSTATUS:" + StatusRecord(code);
}

bool WaitUntil(const std::function<bool()>& cond, unsigned realMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

ChildResult InChild(uint64_t seed, const std::function<void(std::string&)>& body, bool kernel, DWORD stallMs)
{
    int fds[2];
    if (pipe(fds) != 0)
        return ChildResult{};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        int fd = fds[1];
        kvplat::SetDeadlockHandler([fd](const std::string& report) {
            std::string text = "stuck: " + report;
            (void)!write(fd, text.data(), text.size());
        });
        kvplat::UseKernelThreads(kernel);
        kvplat::SetStalls(stallMs);
        kvplat::BeginDeterministic(seed);
        std::string out;
        body(out);
        (void)!write(fd, out.data(), out.size());
        _exit(0);
    }
    close(fds[1]);
    ChildResult r;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        r.output.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

PortContext* CreateContext(const char* port, const char* printer)
{
    EnterCriticalSection(&g_csPorts);
    PortContext* ctx = CreatePortContext(port, printer);
    LeaveCriticalSection(&g_csPorts);
    return ctx;
}

void DeleteContext(PortContext* ctx)
{
    if (ctx == nullptr)
        return;
    EnterCriticalSection(&g_csPorts);
    BOOL deleted = DeletePortContext(ctx);
    LeaveCriticalSection(&g_csPorts);
    EXPECT_TRUE(deleted) << "context was not in the port list";
}

StatusAppFolder::StatusAppFolder()
{
    char templ[] = "/tmp/kvmon-statovue-XXXXXX";
    const char* dir = mkdtemp(templ);
    EXPECT_NE(dir, nullptr) << "mkdtemp";
    path_ = dir != nullptr ? dir : "/nonexistent";
    SetFolderValue(path_ + std::string(1, '\0'));
}

StatusAppFolder::~StatusAppFolder()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void StatusAppFolder::SetFolderValue(const std::string& bytes)
{
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestravon\\Statovue", 0, NULL, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE, NULL, &key, NULL),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "Installed Folder", 0, REG_SZ, (const BYTE*)bytes.data(), (DWORD)bytes.size()),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

std::string ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void MonitorTest::SetUp()
{
    static bool attached = DllMain((HINSTANCE)0x10000000, DLL_PROCESS_ATTACH, NULL) != FALSE;
    ASSERT_TRUE(attached);
    kvplat::ResetForTest();
    kvplat::SetTimeScale(1000);
    static int serial = 0;
    kvplat::SetMappingNamespace("kvmontest" + std::to_string(getpid()) + "_" + std::to_string(++serial));
    spooler_.Reset();
    pm_.Reset();
    doc_.pDocName = (LPSTR) "Document";
    doc_.pOutputFile = NULL;
    doc_.pDatatype = (LPSTR) "RAW";
    ASSERT_TRUE(InitializeMonitorEx((LPSTR)kRegistryRoot, &table_));
}

void MonitorTest::TearDown()
{
    EXPECT_EQ(g_pPortList, nullptr) << "a test left a port open";
    EXPECT_TRUE(kvplat::WaitForThreads(5000)) << "a polling thread did not end";
    EXPECT_EQ(spooler_.OpenHandleCount(), 0) << "printer handles left open";
}

void MonitorTest::AddPrinter(const char* printer, const char* port)
{
    spooler_.AddPort(port, std::string(port).rfind("USB", 0) == 0 ? "Virtual printer port for USB"
                                                                  : "Local port");
    spooler_.AddPrinter(printer, port);
}

HANDLE MonitorTest::OpenPort(const char* port, const char* printer, const MONITOR* portMonitor)
{
    MONITOR copy = portMonitor != nullptr ? *portMonitor : *pm_.Table();
    HANDLE h = NULL;
    EXPECT_TRUE(table_.pfnOpenPortEx((LPSTR)port, (LPSTR)printer, &h, &copy)) << "OpenPortEx " << port;
    return h;
}

BOOL MonitorTest::StartDoc(HANDLE h, const char* printer, DWORD jobId, const char* docName)
{
    doc_.pDocName = (LPSTR)docName;
    return table_.pfnStartDocPort(h, (LPSTR)printer, jobId, 1, (LPBYTE)&doc_);
}

BOOL MonitorTest::Write(HANDLE h, const std::string& data, DWORD* written)
{
    DWORD count = 0xdeadbeef;
    BOOL ok = table_.pfnWritePort(h, (LPBYTE)data.data(), (DWORD)data.size(), &count);
    if (written != nullptr)
        *written = count;
    return ok;
}

std::vector<DWORD> MonitorTest::StatusesOf(const char* printer)
{
    std::vector<DWORD> out;
    for (const auto& r : spooler_.StatusHistory(printer))
        out.push_back(r.status);
    return out;
}

unsigned MonitorTest::Queries(const char* port)
{
    unsigned n = 0;
    for (const auto& c : pm_.Calls("GetPrinterDataFromPort"))
        n += c.port == port ? 1 : 0;
    return n;
}

std::string MonitorTest::MappingName(const char* port)
{
    return std::string(sim::kDefaultMonitor) + port;
}

}  // namespace kvtest

namespace {

// Shared memory objects outlive a POSIX process that still holds them, where Windows
// closes a process's handles when it ends. At the end of every test program this removes
// the objects of the namespaces it used: kv<name><pid>. or kv<name><pid>_<n>. (the
// monitor's tests, the tools' tests and the programs they start), so a run leaves nothing
// in /dev/shm. scripts/test checks that it did.
class MappingCleanup : public ::testing::Environment {
public:
    void TearDown() override
    {
        std::string pid = std::to_string(getpid());
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
            std::string name = entry.path().filename().string();
            size_t at = name.find(pid);
            if (name.rfind("kv", 0) != 0 || at == std::string::npos || at + pid.size() >= name.size())
                continue;
            char after = name[at + pid.size()];
            bool letters = name.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", 2) == at;
            if (letters && (after == '.' || after == '_'))
                std::filesystem::remove(entry.path(), ec);
        }
    }
};

const ::testing::Environment* const g_mappingCleanup = ::testing::AddGlobalTestEnvironment(new MappingCleanup);

}  // namespace
