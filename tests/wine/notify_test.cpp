// The companion application's side of a status change: "vuelog.err" in the folder the
// registry names, and the "QRT command message" broadcast to top-level windows.
#include <string>

#include "support.h"

namespace kvwine {
namespace {

struct Broadcast {
    UINT message = 0;
    int count = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};
Broadcast g_broadcast;

LRESULT CALLBACK ListenerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (g_broadcast.message && msg == g_broadcast.message) {
        ++g_broadcast.count;
        g_broadcast.wParam = wParam;
        g_broadcast.lParam = lParam;
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

class NotifyTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        char temp[MAX_PATH] = {};
        ASSERT_NE(GetTempPathA(sizeof temp, temp), 0u);
        folder_ = std::string(temp) + "kvmon-statovue";
        CreateDirectoryA(folder_.c_str(), NULL);
        log_ = folder_ + "\\vuelog.err";
        DeleteFileA(log_.c_str());

        WNDCLASSA wc{};
        wc.lpfnWndProc = ListenerProc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "KvmonStatusListener";
        RegisterClassA(&wc);
        g_broadcast = Broadcast();
        g_broadcast.message = RegisterWindowMessageA("QRT command message");
        ASSERT_NE(g_broadcast.message, 0u);
        window_ = CreateWindowExA(0, "KvmonStatusListener", "Statovue listener", WS_OVERLAPPEDWINDOW, 0, 0, 100,
                                  100, NULL, NULL, GetModuleHandleA(NULL), NULL);
        ASSERT_NE(window_, nullptr) << "CreateWindowExA error " << GetLastError();
    }
    void TearDown() override
    {
        if (window_) DestroyWindow(window_);
        DeleteFileA(log_.c_str());
        RemoveDirectoryA(folder_.c_str());
        MonitorTest::TearDown();
    }

    void SetInstalledFolder(const std::string& folder)
    {
        HKEY key = NULL;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kStatusAppKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, "Installed Folder", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                                 static_cast<DWORD>(folder.size() + 1)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    std::string Device(const char* key)
    {
        char value[260] = {};
        GetPrivateProfileStringA("DEVICE", key, "<absent>", value, sizeof value, log_.c_str());
        return value;
    }

    std::string folder_, log_;
    HWND window_ = NULL;
};

TEST_F(NotifyTest, StatusChangeWritesLogAndBroadcasts)
{
    SetInstalledFolder(folder_);
    AddPrinter("Kestravon Notify", "USB005");
    pm_.SetDeviceAnswer("USB005", sim::DeviceAnswer::Text(KestravonId(50130)));
    HANDLE h = OpenPort("USB005", "Kestravon Notify");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartDoc(h, "Kestravon Notify"));

    EXPECT_TRUE(PumpUntil([] { return g_broadcast.count > 0; }, 5000)) << "no \"QRT command message\" received";
    EXPECT_EQ(g_broadcast.wParam, static_cast<WPARAM>(0x80000000u));
    EXPECT_EQ(g_broadcast.lParam, 1);

    EXPECT_EQ(GetFileAttributesA(log_.c_str()) != INVALID_FILE_ATTRIBUTES, true) << log_ << " not written";
    EXPECT_EQ(Device("MODELNAME"), "Kestravon ZR-QM4471");
    EXPECT_EQ(Device("DRVNAME"), "Kestravon Printer");
    EXPECT_EQ(Device("PRNNAME"), "Kestravon Notify");
    EXPECT_EQ(Device("PORTNAME"), "USB005");
}

TEST_F(NotifyTest, OfflineCodeNotifiesNobody)
{
    SetInstalledFolder(folder_);
    AddPrinter("Kestravon Offline", "USB006");
    pm_.SetDeviceAnswer("USB006", sim::DeviceAnswer::Text(KestravonId(10104)));
    HANDLE h = OpenPort("USB006", "Kestravon Offline");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartDoc(h, "Kestravon Offline"));

    std::vector<DWORD> statuses = StatusesOf("Kestravon Offline");
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses[0], 0x00140080u) << "status of code 10104";
    PumpUntil(nullptr, 300);
    EXPECT_EQ(g_broadcast.count, 0) << "broadcast for an offline code";
    EXPECT_EQ(GetFileAttributesA(log_.c_str()), INVALID_FILE_ATTRIBUTES) << log_ << " written for an offline code";
}

}  // namespace
}  // namespace kvwine
