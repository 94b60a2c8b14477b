// The monitor on a platform that answers as Windows 98: object security is a stub there,
// so the status block goes without a security descriptor, and a reader still finds it.
// Also what the platform's Windows 98 personality answers, and its list of stub functions
// against the import profile in docs/imports.tsv.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#include "programs.h"
#include "test_support.h"

using kvtest::KestravonId;
using kvtest::WaitUntil;
using sim::DeviceAnswer;

namespace {

class Win98Test : public kvtest::MonitorTest {
protected:
    void SetUp() override
    {
        before_ = kvplat::CurrentPersonality();
        kvplat::SetPersonality(kvplat::Personality::Win98);
        MonitorTest::SetUp();
    }
    void TearDown() override
    {
        MonitorTest::TearDown();
        kvplat::SetPersonality(before_);
    }
    kvplat::Personality before_ = kvplat::Personality::Nt;
};

TEST_F(Win98Test, BlockIsPublishedWithoutSecurityReadByKvmonStatAndAnswersTheStatusRequest)
{
    AddPrinter("P1", "USB001");
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(42632)));
    HANDLE h = OpenPort("USB001", "P1");
    ASSERT_TRUE(StartDoc(h, "P1"));
    ASSERT_TRUE(WaitUntil([&] { return ReadHandle(&Context(h)->hMapping) != NULL; }))
        << "no status block: the security calls' failure must not stop the publication";

    kvtest::Result r = kvtest::RunProgram({KVMON_STAT_PATH, "USB001", "--namespace", kvplat::MappingNamespace()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(kvtest::Has(r.out, "code          42632")) << r.out;

    // With the block held the request is refused at once: no query, no wait for the thread.
    unsigned queries = Queries("USB001");
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnGetPrinterDataFromPort(h, 0, (LPSTR) "Printer Status", NULL, 0, NULL, 0, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Queries("USB001"), queries) << "the request waited for a query of the polling thread";

    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
}

TEST(Win98Platform, AnswersAsWindows98AndBackAsNt)
{
    kvplat::Personality before = kvplat::CurrentPersonality();
    kvplat::SetPersonality(kvplat::Personality::Win98);
    DWORD v = GetVersion();
    EXPECT_EQ(v & 0xFFFF, 0x0A04u) << "4.10, minor version in the high byte";
    EXPECT_EQ(v >> 31, 1u) << "the 9x platform sets the high bit";
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, (DWORD)VER_PLATFORM_WIN32_WINDOWS);
    EXPECT_EQ(info.dwBuildNumber & 0xFFFF, 1998u);

    BYTE sd[SECURITY_DESCRIPTOR_MIN_LENGTH] = {};
    SetLastError(0);
    EXPECT_FALSE(InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CALL_NOT_IMPLEMENTED);
    SetLastError(0);
    EXPECT_FALSE(SetSecurityDescriptorDacl(sd, TRUE, NULL, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CALL_NOT_IMPLEMENTED);

    LPTHREAD_START_ROUTINE proc = [](LPVOID) -> DWORD { return 0; };
    SetLastError(0);
    EXPECT_EQ(CreateThread(NULL, 0, proc, NULL, 0, NULL), (HANDLE)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // A descriptor for the owner only is ignored: any process may open the mapping.
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    std::string name = "win98-test-" + std::to_string(getpid());
    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, 64, name.c_str());
    ASSERT_NE(m, (HANDLE)NULL);
    struct stat st;
    int fd = shm_open(kvplat::ShmObjectName(name).c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fstat(fd, &st), 0);
    close(fd);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    CloseHandle(m);

    kvplat::SetPersonality(kvplat::Personality::Nt);
    EXPECT_EQ(GetVersion() >> 31, 0u);
    EXPECT_TRUE(InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION));
    HANDLE t = CreateThread(NULL, 0, proc, NULL, 0, NULL);
    EXPECT_NE(t, (HANDLE)NULL) << "NT takes a NULL thread-id pointer";
    if (t != NULL) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
    kvplat::SetPersonality(before);
}

// The import profile's functions that Windows 98 only stubs, among those the platform layer
// provides (the DLL's imports on POSIX), are the personality's stubs, and no others are.
TEST(Win98Platform, StubListMatchesTheImportProfile)
{
    std::ifstream in(std::string(KVMON_SOURCE_DIR) + "/docs/imports.tsv");
    if (!in)
        GTEST_SKIP() << "no docs/imports.tsv";
    std::string header = kvtest::ReadFileBytes(std::string(KVMON_SOURCE_DIR) + "/platform/include/windows.h");
    std::string line;
    std::getline(in, line);  // the heading: function, dll, win95, win98, ...
    std::set<std::string> profile;
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::stringstream row(line);
        for (std::string c; std::getline(row, c, '\t');)
            cols.push_back(c);
        if (cols.size() >= 4 && cols[3] == "stub" && kvtest::Has(header, " WINAPI " + cols[0] + "("))
            profile.insert(cols[0]);
    }
    std::vector<std::string> stubs = kvplat::StubbedFunctions(kvplat::Personality::Win98);
    EXPECT_EQ(std::set<std::string>(stubs.begin(), stubs.end()), profile);
}

}  // namespace
