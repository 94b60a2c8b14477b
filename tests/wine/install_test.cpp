// The monitor as the package's kvmon.inf installed it (scripts/test-wine --install): the
// runner then loads the installed copy named by KVMON_INSTALLED_DLL instead of its own,
// with the registry root the INF created; and the INF's behaviour when its DLL is missing.
// Left out of the ordinary run (main.cpp).
#include <windows.h>
#include <setupapi.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support.h"

namespace kvwine {
namespace {

const char* const kInstalledRoot = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Kestravon Language Monitor";

struct Value {
    LSTATUS rc = -1;
    DWORD type = 0;
    DWORD size = 0;
    BYTE data[MAX_PATH] = {};
    DWORD Dword() const
    {
        DWORD v = 0;
        std::memcpy(&v, data, sizeof v);
        return v;
    }
};

Value ReadInstalled(const char* name)
{
    Value v;
    HKEY key = NULL;
    v.rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstalledRoot, 0, KEY_READ, &key);
    if (v.rc != ERROR_SUCCESS) return v;
    v.size = sizeof v.data - 1;
    v.rc = RegQueryValueExA(key, name, NULL, &v.type, v.data, &v.size);
    RegCloseKey(key);
    return v;
}

class InstalledMonitorTest : public MonitorTest {
protected:
    void SetUp() override
    {
        const char* path = std::getenv("KVMON_INSTALLED_DLL");
        ASSERT_TRUE(path && *path) << "KVMON_INSTALLED_DLL does not name the installed kvmon.dll";
        installed_ = path;
        MonitorTest::SetUp();
    }
    BOOL InitializeInstalled() { return InitializeMonitorEx()(const_cast<LPSTR>(kInstalledRoot), &table_); }
    std::string installed_;
};

TEST_F(InstalledMonitorTest, RunsTheInstalledCopy)
{
    char path[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameA(KvmonModule(), path, sizeof path), 0u);
    EXPECT_EQ(lstrcmpiA(path, installed_.c_str()), 0) << "loaded " << path << ", expected " << installed_;
}

TEST_F(InstalledMonitorTest, ReadsTheInstalledReadCycle)
{
    Value driver = ReadInstalled("Driver");
    ASSERT_EQ(driver.rc, ERROR_SUCCESS) << "no Driver below HKLM\\" << kInstalledRoot;
    EXPECT_EQ(driver.type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(reinterpret_cast<const char*>(driver.data), "kvmon.dll");

    // The INF's default, given as the bytes d0 07 00 00 with the REG_DWORD flag: a REG_DWORD
    // of 2000 the monitor reads as it is (an unreadable value would be rewritten).
    Value cycle = ReadInstalled("ReadCycle");
    ASSERT_EQ(cycle.rc, ERROR_SUCCESS) << "no ReadCycle below HKLM\\" << kInstalledRoot;
    EXPECT_EQ(cycle.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(cycle.size, 4u);
    EXPECT_EQ(cycle.Dword(), 2000u);
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(InitializeInstalled()) << "error " << GetLastError();
    Value after = ReadInstalled("ReadCycle");
    EXPECT_TRUE(after.type == REG_DWORD && after.size == 4 && after.Dword() == 2000u)
        << "ReadCycle changed by InitializeMonitorEx: type " << after.type << ", " << after.Dword();

    // The interval comes from this key: set to 3000 ms there, the polling thread waits
    // 3000 ms between queries, not the built-in 2000.
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstalledRoot, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    const DWORD tuned = 3000;
    LSTATUS rc = RegSetValueExA(key, "ReadCycle", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&tuned), sizeof tuned);
    RegCloseKey(key);
    ASSERT_EQ(rc, ERROR_SUCCESS);
    ASSERT_TRUE(InitializeInstalled()) << "error " << GetLastError();

    AddPrinter("Kestravon Installed", "USB011");
    pm_.SetDeviceAnswer("USB011", sim::DeviceAnswer::Text(KestravonId(63400)));
    HANDLE h = OpenPort("USB011", "Kestravon Installed");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartDoc(h, "Kestravon Installed"));
    Sleep(500);              // the new thread parks: a job is active
    ASSERT_TRUE(EndDoc(h));  // wakes the thread for one query; then one per ReadCycle
    ASSERT_TRUE(WaitUntil([this] { return Queries("USB011") >= 2; }, 1500)) << "EndDocPort did not wake the thread";
    DWORD woken = GetTickCount();
    ASSERT_TRUE(WaitUntil([this] { return Queries("USB011") >= 3; }, 6000)) << "no poll within 6000 ms";
    DWORD gap = GetTickCount() - woken;
    EXPECT_GE(gap, 2800u) << "polled after " << gap << " ms with ReadCycle " << tuned << " in the installed key";
}

// setupapi.dll, loaded by the one case that needs it: the runner imports only what the
// monitor's cases use.
struct SetupApi {
    template <typename F>
    F Get(const char* name) const
    {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
    HMODULE module = LoadLibraryA("setupapi.dll");
    decltype(&SetupOpenInfFileA) OpenInfFile = Get<decltype(&SetupOpenInfFileA)>("SetupOpenInfFileA");
    decltype(&SetupCloseInfFile) CloseInfFile = Get<decltype(&SetupCloseInfFile)>("SetupCloseInfFile");
    decltype(&SetupInstallFromInfSectionA) InstallFromInfSection =
        Get<decltype(&SetupInstallFromInfSectionA)>("SetupInstallFromInfSectionA");
    decltype(&SetupInitDefaultQueueCallbackEx) InitDefaultQueueCallbackEx =
        Get<decltype(&SetupInitDefaultQueueCallbackEx)>("SetupInitDefaultQueueCallbackEx");
    decltype(&SetupTermDefaultQueueCallback) TermDefaultQueueCallback =
        Get<decltype(&SetupTermDefaultQueueCallback)>("SetupTermDefaultQueueCallback");
    decltype(&SetupDefaultQueueCallbackA) DefaultQueueCallback =
        Get<decltype(&SetupDefaultQueueCallbackA)>("SetupDefaultQueueCallbackA");
    bool Loaded() const
    {
        return OpenInfFile && CloseInfFile && InstallFromInfSection && InitDefaultQueueCallbackEx &&
               TermDefaultQueueCallback && DefaultQueueCallback;
    }
};

// setupapi's notifications during an install, answered as a user would who has no
// source for a missing file: Cancel. Everything else goes to the default handler (no UI).
struct InstallWatch {
    const SetupApi* api = nullptr;
    PVOID defaultContext = nullptr;
    std::vector<std::string> needed;  // files setupapi asked for (NEEDMEDIA, COPYERROR)
};

UINT CALLBACK WatchInstall(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2)
{
    auto* watch = static_cast<InstallWatch*>(context);
    if (notification == SPFILENOTIFY_NEEDMEDIA) {
        watch->needed.push_back(reinterpret_cast<const SOURCE_MEDIA_A*>(param1)->SourceFile);
        return FILEOP_ABORT;
    }
    if (notification == SPFILENOTIFY_COPYERROR) {
        watch->needed.push_back(reinterpret_cast<const FILEPATHS_A*>(param1)->Source);
        return FILEOP_ABORT;
    }
    return watch->api->DefaultQueueCallback(watch->defaultContext, notification, param1, param2);
}

// kvmon.inf from a folder without kvmon.dll: setupapi reports the missing file, the
// install fails and the monitor is not registered. Runs after the package was removed
// again (scripts/test-wine --install), with KVMON_PACKAGE_INF naming the package's INF.
TEST(KvmonInf, MissingDllIsReportedAndNothingRegistered)
{
    const char* inf = std::getenv("KVMON_PACKAGE_INF");
    ASSERT_TRUE(inf && *inf) << "KVMON_PACKAGE_INF does not name the package's kvmon.inf";
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstalledRoot, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND)
        << "the monitor key exists before the install";

    char temp[MAX_PATH] = {};
    ASSERT_NE(GetTempPathA(sizeof temp, temp), 0u);
    std::string folder = std::string(temp) + "kvmon-inf-only";
    std::string copy = folder + "\\kvmon.inf";
    CreateDirectoryA(folder.c_str(), NULL);
    ASSERT_TRUE(CopyFileA(inf, copy.c_str(), FALSE)) << "CopyFileA(" << inf << ") error " << GetLastError();
    DeleteFileA((folder + "\\kvmon.dll").c_str());

    SetupApi api;
    ASSERT_TRUE(api.Loaded()) << "setupapi.dll or one of its functions is missing";
    UINT line = 0;
    HINF hinf = api.OpenInfFile(copy.c_str(), NULL, INF_STYLE_WIN4, &line);
    ASSERT_NE(hinf, INVALID_HANDLE_VALUE) << "SetupOpenInfFileA error " << GetLastError() << " at line " << line;
    InstallWatch watch;
    watch.api = &api;
    watch.defaultContext = api.InitDefaultQueueCallbackEx(NULL, static_cast<HWND>(INVALID_HANDLE_VALUE), 0, 0, NULL);
    SetLastError(0xdeadbeef);
    BOOL ok = api.InstallFromInfSection(NULL, hinf, "DefaultInstall", SPINST_ALL, NULL, folder.c_str(),
                                        SP_COPY_NEWER_OR_SAME, WatchInstall, &watch, NULL, NULL);
    DWORD error = GetLastError();
    api.TermDefaultQueueCallback(watch.defaultContext);
    api.CloseInfFile(hinf);
    DeleteFileA(copy.c_str());
    RemoveDirectoryA(folder.c_str());

    EXPECT_FALSE(ok) << "an install without kvmon.dll succeeded";
    EXPECT_NE(error, static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(watch.needed.size(), 1u) << "setupapi did not ask for the missing file";
    EXPECT_EQ(watch.needed[0], "kvmon.dll");
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstalledRoot, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND)
        << "the monitor was registered without its DLL";
    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, sizeof system);
    EXPECT_EQ(GetFileAttributesA((std::string(system) + "\\kvmon.dll").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace kvwine
