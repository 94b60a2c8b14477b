// The POSIX Win32 subset: behaviour the monitor relies on and that is easy to get
// subtly wrong (reset semantics, size probes, INI editing, cross-process mappings).
#include <windows.h>

#include "kvplatform.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

long RealMsSince(Clock::time_point t0)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kvplat::ResetForTest();
        savedScale_ = kvplat::TimeScale();
        kvplat::SetTimeScale(1);
        // Each test program gets its own shared-memory names.
        kvplat::SetMappingNamespace("kvplat-test-" + std::to_string(getpid()));
    }
    void TearDown() override
    {
        kvplat::SetTimeScale(savedScale_);
        kvplat::ResetForTest();
    }
    unsigned savedScale_ = 1;
};

// ---- events and waits ----

TEST_F(PlatformTest, AutoResetEventKeepsOneSignalUntilOneWaitTakesIt)
{
    HANDLE ev = CreateEventA(NULL, FALSE, FALSE, NULL);
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(ev));
    ASSERT_TRUE(SetEvent(ev));  // signals do not add up
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(ev));
}

TEST_F(PlatformTest, ManualResetEventStaysSignalledUntilReset)
{
    HANDLE ev = CreateEventA(NULL, TRUE, TRUE, NULL);
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(ev));
}

struct WaitArgs {
    HANDLE ev;
    std::atomic<int>* woken;
};

DWORD WINAPI WaitThenCount(LPVOID p)
{
    auto* a = static_cast<WaitArgs*>(p);
    if (WaitForSingleObject(a->ev, 200) == WAIT_OBJECT_0)
        a->woken->fetch_add(1);
    return 0;
}

TEST_F(PlatformTest, AutoResetSignalReleasesOneOfTwoWaiters)
{
    HANDLE ev = CreateEventA(NULL, FALSE, FALSE, NULL);
    std::atomic<int> woken{0};
    WaitArgs args{ev, &woken};
    HANDLE t1 = CreateThread(NULL, 0, WaitThenCount, &args, 0, NULL);
    HANDLE t2 = CreateThread(NULL, 0, WaitThenCount, &args, 0, NULL);
    Sleep(50);
    SetEvent(ev);
    EXPECT_EQ(WaitForSingleObject(t1, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t2, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(woken.load(), 1);
    CloseHandle(t1);
    CloseHandle(t2);
    CloseHandle(ev);
}

TEST_F(PlatformTest, TimeScaleShortensWaitsAndSpeedsUpTicks)
{
    kvplat::SetTimeScale(1000);
    HANDLE ev = CreateEventA(NULL, FALSE, FALSE, NULL);
    DWORD tick0 = GetTickCount();
    auto t0 = Clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, 2000), WAIT_TIMEOUT);  // 2 ms real
    Sleep(5000);                                            // 5 ms real
    long real = RealMsSince(t0);
    DWORD ticks = GetTickCount() - tick0;
    EXPECT_GE(real, 7);
    EXPECT_LT(real, 1000);
    EXPECT_GE(ticks, 7000u);
    EXPECT_LE(ticks, static_cast<DWORD>(real + 3) * 1000u);

    // A change of scale never moves the tick count backwards.
    DWORD before = GetTickCount();
    kvplat::SetTimeScale(1);
    EXPECT_GE(GetTickCount(), before);
    CloseHandle(ev);
}

TEST_F(PlatformTest, BadHandlesFailWithoutCrashing)
{
    HANDLE ev = CreateEventA(NULL, FALSE, FALSE, NULL);
    ASSERT_TRUE(CloseHandle(ev));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(ev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(ev));
    EXPECT_FALSE(CloseHandle(NULL));
    EXPECT_EQ(kvplat::LiveEvents(), 0);
}

// ---- critical sections and threads ----

struct CsArgs {
    CRITICAL_SECTION* cs;
    std::atomic<bool> entered{false};
};

DWORD WINAPI EnterAndLeave(LPVOID p)
{
    auto* a = static_cast<CsArgs*>(p);
    EnterCriticalSection(a->cs);
    a->entered = true;
    LeaveCriticalSection(a->cs);
    return 0;
}

TEST_F(PlatformTest, CriticalSectionIsRecursiveAndHeldUntilLastLeave)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    CsArgs args;
    args.cs = &cs;
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);  // same thread again: no deadlock
    HANDLE t = CreateThread(NULL, 0, EnterAndLeave, &args, 0, NULL);
    LeaveCriticalSection(&cs);
    EXPECT_EQ(WaitForSingleObject(t, 50), WAIT_TIMEOUT);  // still held once
    EXPECT_FALSE(args.entered.load());
    LeaveCriticalSection(&cs);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(args.entered.load());
    CloseHandle(t);
    DeleteCriticalSection(&cs);
}

DWORD WINAPI WaitForEvent(LPVOID p)
{
    WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
    return 0;
}

TEST_F(PlatformTest, ThreadRecordsAndLifetime)
{
    kvplat::ClearThreadRecords();
    HANDLE go = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD id = 0;
    HANDLE t = CreateThread(NULL, 4096, WaitForEvent, go, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_LOWEST));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_LOWEST);
    // A second thread whose handle is closed at once still runs to its end.
    HANDLE detached = CreateThread(NULL, 0, WaitForEvent, go, 0, NULL);
    ASSERT_TRUE(CloseHandle(detached));

    auto records = kvplat::CreatedThreads();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].stackSize, 4096u);
    EXPECT_EQ(records[0].priority, THREAD_PRIORITY_LOWEST);
    EXPECT_EQ(records[1].priority, THREAD_PRIORITY_NORMAL);
    EXPECT_EQ(kvplat::LiveThreads(), 2);
    EXPECT_FALSE(kvplat::WaitForThreads(20));
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);

    SetEvent(go);
    EXPECT_TRUE(kvplat::WaitForThreads(5000));
    EXPECT_EQ(kvplat::LiveThreads(), 0);
    // The handle of an ended thread is signalled and stays valid until closed.
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
    EXPECT_EQ(kvplat::LiveThreadHandles(), 1);
    EXPECT_TRUE(CloseHandle(t));
    EXPECT_EQ(kvplat::LiveThreadHandles(), 0);
    CloseHandle(go);
}

TEST_F(PlatformTest, InterlockedCompareExchangeReturnsInitialValue)
{
    LONG v = 5;
    EXPECT_EQ(InterlockedCompareExchange(&v, 9, 4), 5);  // no match: unchanged
    EXPECT_EQ(v, 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 9, 5), 5);
    EXPECT_EQ(v, 9);
    EXPECT_EQ(InterlockedOr(&v, 0x10), 9);
    EXPECT_EQ(InterlockedAnd(&v, ~0x1), 0x19);
    EXPECT_EQ(v, 0x18);
}

// ---- fault injection ----

TEST_F(PlatformTest, FailNthFailsExactlyTheNthCallOfItsKind)
{
    kvplat::FailNth(kvplat::Fault::Alloc, 3);
    void* a = LocalAlloc(LPTR, 8);
    void* b = LocalAlloc(LPTR, 8);
    SetLastError(0);
    EXPECT_EQ(LocalAlloc(LPTR, 8), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    void* d = LocalAlloc(LPTR, 8);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_NE(d, nullptr);
    EXPECT_EQ(kvplat::Calls(kvplat::Fault::Alloc), 4u);
    EXPECT_EQ(kvplat::Calls(kvplat::Fault::Event), 0u);  // kinds count apart
    EXPECT_EQ(kvplat::LiveAllocations(), 3);
    for (void* p : {a, b, d})
        EXPECT_EQ(LocalFree(p), nullptr);
    EXPECT_EQ(LocalFree(a), a);  // second free refused
    EXPECT_EQ(kvplat::LiveAllocations(), 0);
}

TEST_F(PlatformTest, EachFaultKindFailsItsFunction)
{
    kvplat::FailNth(kvplat::Fault::Event, 1);
    EXPECT_EQ(CreateEventA(NULL, FALSE, FALSE, NULL), nullptr);
    kvplat::FailNth(kvplat::Fault::Thread, 1);
    EXPECT_EQ(CreateThread(NULL, 0, WaitForEvent, NULL, 0, NULL), nullptr);
    EXPECT_EQ(kvplat::CreatedThreads().size(), 0u);
    kvplat::FailNth(kvplat::Fault::Mapping, 1);
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 64, "fault"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));

    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 64, "fault");
    ASSERT_NE(m, nullptr);
    kvplat::FailNth(kvplat::Fault::View, 2);
    void* v1 = MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 64);
    EXPECT_NE(v1, nullptr);
    EXPECT_EQ(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 64), nullptr);
    EXPECT_EQ(kvplat::Calls(kvplat::Fault::View), 2u);
    UnmapViewOfFile(v1);
    CloseHandle(m);
    EXPECT_EQ(kvplat::LiveViews(), 0);
    EXPECT_EQ(kvplat::LiveMappings(), 0);
}

// ---- registry ----

TEST_F(PlatformTest, RegistryQueryProbesSizeAndReportsShortBuffers)
{
    HKEY k = NULL;
    DWORD disp = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\Monitors\\Kv", 0, NULL, 0, KEY_READ | KEY_WRITE, NULL,
                              &k, &disp),
              ERROR_SUCCESS);
    EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    const char text[] = "C:\\Program Files\\App";
    ASSERT_EQ(RegSetValueExA(k, "Folder", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
              ERROR_SUCCESS);

    DWORD type = 0;
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExA(k, "folder", NULL, &type, NULL, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, sizeof text);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    BYTE small[4] = {0};
    cb = sizeof small;
    EXPECT_EQ(RegQueryValueExA(k, "Folder", NULL, NULL, small, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, sizeof text);

    char buf[64] = {0};
    cb = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(k, "Folder", NULL, NULL, reinterpret_cast<BYTE*>(buf), &cb), ERROR_SUCCESS);
    EXPECT_STREQ(buf, text);
    EXPECT_EQ(RegQueryValueExA(k, "Missing", NULL, NULL, reinterpret_cast<BYTE*>(buf), &cb), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);

    // Opened again through differently cased path components: the same key.
    HKEY again = NULL;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\monitors\\KV", 0, NULL, 0, KEY_READ, NULL, &again, &disp),
              ERROR_SUCCESS);
    EXPECT_EQ(disp, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    // A read-only handle cannot write.
    DWORD v = 1;
    EXPECT_EQ(RegSetValueExA(again, "X", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(again), ERROR_INVALID_HANDLE);
    EXPECT_EQ(kvplat::LiveRegistryKeys(), 0);
}

TEST_F(PlatformTest, RegistryMissingKeysAndDeletion)
{
    HKEY k = NULL;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nobody", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\B", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &k, NULL),
              ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A"), ERROR_ACCESS_DENIED);  // has a subkey
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "software\\a\\b"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\B", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A", 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
    DWORD v = 7;
    RegSetValueExA(k, "V", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
    EXPECT_EQ(RegDeleteValueA(k, "v"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(k, "v"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(k);

    kvplat::RegistryReset();
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
}

// ---- INI files ----

class IniTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        char tmpl[] = "/tmp/kvplat-ini-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/vuelog.err";
    }
    void TearDown() override
    {
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
        PlatformTest::TearDown();
    }
    void WriteRaw(const std::string& s)
    {
        std::ofstream(path_, std::ios::binary) << s;
    }
    std::string ReadRaw()
    {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string dir_;
    std::string path_;
};

TEST_F(IniTest, NewFileGetsSectionAndKeysInWriteOrder)
{
    EXPECT_TRUE(WritePrivateProfileStringA("DEVICE", "MODELNAME", "KV 100", path_.c_str()));
    EXPECT_TRUE(WritePrivateProfileStringA("DEVICE", "PORTNAME", "USB001", path_.c_str()));
    EXPECT_EQ(ReadRaw(), "[DEVICE]\r\nMODELNAME=KV 100\r\nPORTNAME=USB001\r\n");

    // The Windows spelling of the path ("dir\file") names the same file.
    std::string winPath = dir_ + "\\vuelog.err";
    char buf[32];
    EXPECT_EQ(GetPrivateProfileStringA("device", "portname", "", buf, sizeof buf, winPath.c_str()), 6u);
    EXPECT_STREQ(buf, "USB001");
}

TEST_F(IniTest, EditsTouchOnlyTheirLine)
{
    WriteRaw("; head\n[Other]\nA=1\n\n[device]\nMODELNAME=old\nPRNNAME=P\n\n[Last]\nZ=9");
    EXPECT_TRUE(WritePrivateProfileStringA("DEVICE", "modelname", "new", path_.c_str()));
    EXPECT_TRUE(WritePrivateProfileStringA("DEVICE", "PORTNAME", "LPT1", path_.c_str()));
    EXPECT_EQ(ReadRaw(), "; head\n[Other]\nA=1\n\n[device]\nMODELNAME=new\nPRNNAME=P\nPORTNAME=LPT1\r\n\n[Last]\nZ=9");

    EXPECT_TRUE(WritePrivateProfileStringA("DEVICE", "PRNNAME", NULL, path_.c_str()));
    EXPECT_TRUE(WritePrivateProfileStringA("Absent", "K", NULL, path_.c_str()));
    EXPECT_TRUE(WritePrivateProfileStringA("New", "K", "v", path_.c_str()));
    EXPECT_EQ(ReadRaw(),
              "; head\n[Other]\nA=1\n\n[device]\nMODELNAME=new\nPORTNAME=LPT1\r\n\n[Last]\nZ=9\r\n[New]\r\nK=v\r\n");

    EXPECT_TRUE(WritePrivateProfileStringA("other", NULL, NULL, path_.c_str()));
    EXPECT_EQ(ReadRaw(), "; head\n[device]\nMODELNAME=new\nPORTNAME=LPT1\r\n\n[Last]\nZ=9\r\n[New]\r\nK=v\r\n");
}

TEST_F(IniTest, MissingDirectoryAndReadDefaults)
{
    std::string bad = dir_ + "/nodir/vuelog.err";
    SetLastError(0);
    EXPECT_FALSE(WritePrivateProfileStringA("DEVICE", "K", "v", bad.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    WriteRaw("[S]\r\nKey = \"quoted value\" \r\n");
    char buf[8];
    EXPECT_EQ(GetPrivateProfileStringA("S", "Key", "d", buf, sizeof buf, path_.c_str()), 7u);
    EXPECT_STREQ(buf, "quoted ");  // cut at nSize - 1
    EXPECT_EQ(GetPrivateProfileStringA("S", "None", "dflt  ", buf, sizeof buf, path_.c_str()), 4u);
    EXPECT_STREQ(buf, "dflt");
    EXPECT_EQ(GetPrivateProfileStringA("S", "Key", "x", buf, sizeof buf, bad.c_str()), 1u);
}

// ---- named mappings ----

// Runs fn in a forked child and returns its exit status (0 = success).
template <class Fn>
int InChild(Fn fn)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST_F(PlatformTest, ChildProcessOpensMappingByName)
{
    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 300, "KvMonUSB001");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    auto* view = static_cast<char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 300));
    ASSERT_NE(view, nullptr);
    std::strcpy(view, "status block");
    UnmapViewOfFile(view);

    int rc = InChild([] {
        HANDLE h = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "KvMonUSB001");
        if (h == NULL)
            return 1;
        auto* v = static_cast<char*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        if (v == NULL || std::strcmp(v, "status block") != 0)
            return 2;
        std::strcpy(v, "answer");
        return 0;
    });
    EXPECT_EQ(rc, 0);

    view = static_cast<char*>(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    EXPECT_STREQ(view, "answer");
    UnmapViewOfFile(view);
    CloseHandle(m);
    // The last holder is gone: the name no longer resolves.
    SetLastError(0);
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "KvMonUSB001"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(PlatformTest, ExistingMappingIsTakenWithItsSizeAndContentsWhileAnotherProcessHoldsIt)
{
    int toParent[2];
    int toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // The other program: creates a 300-byte block, fills it and holds it until told.
        HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 300, "Held");
        auto* v = static_cast<char*>(MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, 300));
        std::memset(v, 'x', 300);
        char c = h != NULL ? 'k' : 'f';
        (void)!write(toParent[1], &c, 1);
        (void)!read(toChild[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(toParent[0], &c, 1), 1);
    ASSERT_EQ(c, 'k');

    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 100, "Held");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    auto* v = static_cast<char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));  // whole mapping: 300, not 100
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v[299], 'x');
    UnmapViewOfFile(v);

    // The creator ends; our handle keeps the object, so the name still resolves.
    (void)!write(toChild[1], &c, 1);
    waitpid(pid, nullptr, 0);
    HANDLE again = OpenFileMappingA(FILE_MAP_READ, FALSE, "Held");
    EXPECT_NE(again, nullptr);
    CloseHandle(again);
    CloseHandle(m);
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "Held"), nullptr);
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]})
        close(fd);
}

TEST_F(PlatformTest, ViewsArePageGranular)
{
    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 300, "Pages");
    ASSERT_NE(m, nullptr);
    void* inPage = MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 4096);
    EXPECT_NE(inPage, nullptr);
    SetLastError(0);
    EXPECT_EQ(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 4097), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(kvplat::LiveViews(), 1);
    EXPECT_TRUE(UnmapViewOfFile(inPage));
    EXPECT_FALSE(UnmapViewOfFile(inPage));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));

    // A handle opened for reading gives no writable view.
    HANDLE reader = OpenFileMappingA(FILE_MAP_READ, FALSE, "Pages");
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(MapViewOfFile(reader, FILE_MAP_WRITE, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(reader);

    // A new mapping needs a size.
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 0, "NoSize"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(m);
}

TEST_F(PlatformTest, SecurityDescriptorRevisionIsChecked)
{
    BYTE sd[SECURITY_DESCRIPTOR_MIN_LENGTH + 4];
    std::memset(sd, 0xEE, sizeof sd);
    EXPECT_FALSE(InitializeSecurityDescriptor(sd, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
    EXPECT_TRUE(InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(SetSecurityDescriptorDacl(sd, TRUE, NULL, FALSE));
    EXPECT_EQ(sd[SECURITY_DESCRIPTOR_MIN_LENGTH], 0xEE);  // stays within the minimum length
}

// ---- strings and resources ----

TEST_F(PlatformTest, LoadStringGivesCodePage1251AndTruncates)
{
    char buf[500];
    int n = LoadStringA(NULL, 1, buf, sizeof buf);
    ASSERT_GT(n, 10);
    EXPECT_EQ(n, lstrlenA(buf));
    // "Не удается" in code page 1251.
    const unsigned char expected[] = {0xCD, 0xE5, ' ', 0xF3, 0xE4, 0xE0, 0xE5, 0xF2, 0xF1, 0xFF};
    EXPECT_EQ(std::memcmp(buf, expected, sizeof expected), 0);
    EXPECT_EQ(kvplat::AnsiToUtf8(std::string(buf, 10)), "Не удается");

    char small[4];
    EXPECT_EQ(LoadStringA(NULL, 1, small, sizeof small), 3);
    EXPECT_EQ(std::memcmp(small, "\xCD\xE5 \0", 4), 0);

    EXPECT_EQ(kvplat::Utf8ToAnsi("Ёё"), "\xA8\xB8");
    EXPECT_EQ(LoadStringA(NULL, 99, buf, sizeof buf), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
}

TEST_F(PlatformTest, StringComparisonsFoldCaseAndTolerateNull)
{
    EXPECT_EQ(lstrcmpiA("USB001", "usb001"), 0);
    EXPECT_EQ(lstrcmpiA("\xC0\xC1\xA8", "\xE0\xE1\xB8"), 0);  // АБЁ / абё
    EXPECT_NE(lstrcmpA("USB001", "usb001"), 0);
    EXPECT_LT(lstrcmpA(NULL, ""), 0);
    EXPECT_GT(lstrcmpiA("a", NULL), 0);
    EXPECT_EQ(lstrcmpA(NULL, NULL), 0);
    EXPECT_EQ(lstrlenA(NULL), 0);

    EXPECT_EQ(CompareStringA(LOCALE_SYSTEM_DEFAULT, 0, "USB001", 3, "USB", -1), CSTR_EQUAL);
    EXPECT_EQ(CompareStringA(LOCALE_SYSTEM_DEFAULT, 0, "usb001", 3, "USB", -1), CSTR_LESS_THAN);
    EXPECT_EQ(CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, "usb001", 3, "USB", -1), CSTR_EQUAL);
    // A count beyond the string stops at its NUL.
    EXPECT_EQ(CompareStringA(LOCALE_SYSTEM_DEFAULT, 0, "US", 3, "USB", -1), CSTR_LESS_THAN);
    EXPECT_EQ(CompareStringA(LOCALE_SYSTEM_DEFAULT, 0, NULL, 3, "USB", -1), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    char dst[4];
    lstrcpynA(dst, "abcdef", sizeof dst);
    EXPECT_STREQ(dst, "abc");
}

TEST_F(PlatformTest, WideConversionsRoundTrip)
{
    const char* ansi = "\xCF\xF0\xE8\xED\xF2\xE5\xF0 \xB9";  // "Принтер №"
    WCHAR wide[32];
    int n = MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, 32);
    ASSERT_EQ(n, 10);
    EXPECT_EQ(wide[0], 0x041F);
    EXPECT_EQ(wide[8], 0x2116);
    char utf8[64];
    int m = WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, NULL, NULL);
    EXPECT_EQ(std::string(utf8, static_cast<size_t>(m) - 1), "Принтер №");
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    const WCHAR noAnsi[] = {'a', 0x4E2D, 0};
    BOOL used = FALSE;
    char out[8];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, noAnsi, -1, out, sizeof out, NULL, &used), 3);
    EXPECT_STREQ(out, "a?");
    EXPECT_TRUE(used);
}

// ---- window manager ----

TEST_F(PlatformTest, RegisteredMessagesAndHooks)
{
    UINT id = RegisterWindowMessageA("QRT command message");
    EXPECT_GE(id, 0xC000u);
    EXPECT_EQ(RegisterWindowMessageA("qrt COMMAND message"), id);
    EXPECT_NE(RegisterWindowMessageA("other"), id);
    EXPECT_EQ(RegisterWindowMessageA(""), 0u);

    int hooked = 0;
    kvplat::SetPostHook([&](const kvplat::PostedMessage&) { hooked++; });
    EXPECT_TRUE(PostMessageA(HWND_BROADCAST, id, 0x80000000u, 1));
    auto posted = kvplat::PostedMessages();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].name, "QRT command message");
    EXPECT_EQ(posted[0].wParam, 0x80000000u);
    EXPECT_EQ(hooked, 1);

    EXPECT_EQ(MessageBoxA(NULL, "t", "c", MB_RETRYCANCEL), IDCANCEL);
    kvplat::SetMessageBoxHook([](const kvplat::MessageBoxRecord& r) { return r.text == "t" ? IDRETRY : IDOK; });
    EXPECT_EQ(MessageBoxA(NULL, "t", "c", MB_RETRYCANCEL), IDRETRY);
    auto boxes = kvplat::MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].answer, IDRETRY);
    EXPECT_EQ(boxes[1].flags, MB_RETRYCANCEL);
}

}  // namespace
