// The companion application's notification: "vuelog.err" in its folder and the broadcast
// message, with what it reports about the printer and what it refuses to write.
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

// ---- NotifyStatusApp ----

using Section = std::vector<std::pair<std::string, std::string>>;

// Sections of an INI text in file order, each with its keys in file order.
std::map<std::string, Section> ParseIni(const std::string& text, std::vector<std::string>* order = nullptr)
{
    std::map<std::string, Section> out;
    std::string current;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            current = line.substr(1, line.size() - 2);
            out[current];
            if (order != nullptr)
                order->push_back(current);
        } else if (size_t eq = line.find('='); eq != std::string::npos) {
            out[current].emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
    }
    return out;
}

std::string Keys(const Section& s)
{
    std::string out;
    for (const auto& kv : s)
        out += kv.first + "=" + kv.second + "\n";
    return out;
}

class NotifyTest : public kvtest::MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        folder_ = std::make_unique<kvtest::StatusAppFolder>();
        spooler_.AddPrinter("Printer A", "USB001", "Driver A");
        spooler_.AddPrinter("Printer B", "LPT1:", "Driver B");
        a_ = kvtest::CreateContext("USB001", "Printer A");
        b_ = kvtest::CreateContext("LPT1:", "Printer B");
        ASSERT_TRUE(a_ && b_);
    }
    void TearDown() override
    {
        kvtest::DeleteContext(a_);
        kvtest::DeleteContext(b_);
        MonitorTest::TearDown();
    }
    std::string Profile(const char* key)
    {
        char value[NAME_BUFFER_SIZE] = {};
        GetPrivateProfileStringA("DEVICE", key, "<absent>", value, sizeof(value), folder_->LogPath().c_str());
        return value;
    }
    // A folder path of exactly `length` characters inside the temporary folder, created.
    std::string FolderOfLength(size_t length)
    {
        std::string path = folder_->Path() + "/";
        path += std::string(length - path.size(), 'd');
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
        return path;
    }

    std::unique_ptr<kvtest::StatusAppFolder> folder_;
    PortContext* a_ = nullptr;
    PortContext* b_ = nullptr;
};

TEST_F(NotifyTest, FileDescribesTheLastPortAndKeepsOtherSections)
{
    const std::string before = "[Settings]\r\nRefresh=5\r\n\r\n[History]\r\nLast=none\r\n";
    {
        FILE* f = fopen(folder_->LogPath().c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(before.data(), 1, before.size(), f);
        fclose(f);
    }
    std::string writes;
    kvplat::SetProfileWriteHook([&writes](const kvplat::ProfileWrite& w) {
        writes += w.section + "/" + w.key + (w.hasValue ? "=" + w.value : " removed") + "\n";
    });
    NotifyStatusApp(a_, "Kestravon ZR-QM4471", a_->printerName);
    NotifyStatusApp(b_, "Kestravon ZR-QM5000", b_->printerName);
    kvplat::SetProfileWriteHook(nullptr);
    EXPECT_EQ(writes,
              "DEVICE/MODELNAME=Kestravon ZR-QM4471\nDEVICE/DRVNAME=Driver A\nDEVICE/PRNNAME=Printer A\n"
              "DEVICE/PORTNAME=USB001\n"
              "DEVICE/MODELNAME=Kestravon ZR-QM5000\nDEVICE/DRVNAME=Driver B\nDEVICE/PRNNAME=Printer B\n"
              "DEVICE/PORTNAME=LPT1:\n");

    std::string text = kvtest::ReadFileBytes(folder_->LogPath());
    std::vector<std::string> order;
    std::map<std::string, Section> ini = ParseIni(text, &order);
    EXPECT_EQ(Keys(ini["DEVICE"]),
              "MODELNAME=Kestravon ZR-QM5000\nDRVNAME=Driver B\nPRNNAME=Printer B\nPORTNAME=LPT1:\n")
        << "file:\n" << text;
    EXPECT_EQ(Keys(ini["Settings"]), "Refresh=5\n") << "file:\n" << text;
    EXPECT_EQ(Keys(ini["History"]), "Last=none\n") << "file:\n" << text;
    EXPECT_EQ(order.size(), 3u) << "file:\n" << text;
    EXPECT_EQ(text.compare(0, before.size(), before), 0) << "the existing sections were rewritten:\n" << text;

    EXPECT_EQ(Profile("MODELNAME"), "Kestravon ZR-QM5000");
    EXPECT_EQ(Profile("DRVNAME"), "Driver B");
    EXPECT_EQ(Profile("PRNNAME"), "Printer B");
    EXPECT_EQ(Profile("PORTNAME"), "LPT1:");
}

TEST_F(NotifyTest, LineBreaksFromTheDeviceCannotAddKeysOrSections)
{
    // A model value is the device's text up to its ';': it may carry line breaks.
    NotifyStatusApp(a_, "Kestravon X\r\n[Settings]\r\nRefresh=0\nINJECTED=1", a_->printerName);
    std::string text = kvtest::ReadFileBytes(folder_->LogPath());
    std::vector<std::string> order;
    std::map<std::string, Section> ini = ParseIni(text, &order);
    EXPECT_EQ(order.size(), 1u) << "file:\n" << text;
    EXPECT_EQ(Profile("MODELNAME"), "Kestravon X  [Settings]  Refresh=0 INJECTED=1");
    EXPECT_EQ(Profile("INJECTED"), "<absent>");
    EXPECT_EQ(Profile("PORTNAME"), "USB001");
}

TEST_F(NotifyTest, MissingDriverNameRemovesItsKey)
{
    NotifyStatusApp(a_, "Kestravon ZR-QM4471", a_->printerName);
    ASSERT_EQ(Profile("DRVNAME"), "Driver A");
    PortContext* ghost = kvtest::CreateContext("USB002", "Ghost");
    ASSERT_NE(ghost, nullptr);
    ASSERT_EQ(ghost->driverName, nullptr);
    bool removed = false;
    kvplat::SetProfileWriteHook([&removed](const kvplat::ProfileWrite& w) {
        removed |= w.key == "DRVNAME" && !w.hasValue;
    });
    NotifyStatusApp(ghost, "Kestravon ZR-QM4471", ghost->printerName);
    kvplat::SetProfileWriteHook(nullptr);
    EXPECT_TRUE(removed) << "DRVNAME was not written with a NULL value";
    EXPECT_EQ(Profile("DRVNAME"), "<absent>");
    EXPECT_EQ(Profile("PRNNAME"), "Ghost");
    EXPECT_EQ(Profile("PORTNAME"), "USB002");
    EXPECT_EQ(Keys(ParseIni(kvtest::ReadFileBytes(folder_->LogPath()))["DEVICE"]),
              "MODELNAME=Kestravon ZR-QM4471\nPRNNAME=Ghost\nPORTNAME=USB002\n");
    kvtest::DeleteContext(ghost);
}

TEST_F(NotifyTest, BroadcastsTheRegisteredMessage)
{
    NotifyStatusApp(a_, "Kestravon ZR-QM4471", a_->printerName);
    NotifyStatusApp(b_, "Kestravon ZR-QM4471", b_->printerName);
    UINT id = RegisterWindowMessageA("QRT command message");
    std::vector<kvplat::PostedMessage> posted = kvplat::PostedMessages();
    ASSERT_EQ(posted.size(), 2u);
    for (const kvplat::PostedMessage& m : posted) {
        EXPECT_EQ(m.hwnd, HWND_BROADCAST);
        EXPECT_EQ(m.msg, id) << "message \"" << m.name << "\"";
        EXPECT_EQ(m.name, "QRT command message");
        EXPECT_EQ(m.wParam, (WPARAM)0x80000000u);
        EXPECT_EQ(m.lParam, (LPARAM)1);
    }
}

TEST_F(NotifyTest, NothingWithoutTheApplication)
{
    // Key present but no folder value.
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestravon\\Statovue", 0, KEY_WRITE, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key, "Installed Folder"), ERROR_SUCCESS);
    RegCloseKey(key);
    NotifyStatusApp(a_, "Kestravon ZR-QM4471", a_->printerName);
    // No key at all.
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestravon\\Statovue"), ERROR_SUCCESS);
    NotifyStatusApp(b_, "Kestravon ZR-QM4471", b_->printerName);

    EXPECT_FALSE(kvtest::FileExists(folder_->LogPath()));
    EXPECT_EQ(kvplat::PostedMessages().size(), 0u);
    EXPECT_EQ(kvplat::LiveRegistryKeys(), 0) << "a registry key was left open";
}

TEST_F(NotifyTest, PathAddsOneSeparatorToTheFolder)
{
    // The POSIX build joins with '/'; a trailing separator of the folder is kept, so the
    // path then holds two (which still names the file inside the folder).
    struct Case {
        const char* trailer;
        const char* join;
    } cases[] = {{"", "/"}, {"/", "//"}, {"\\", "\\/"}};
    for (const Case& c : cases) {
        std::vector<std::string> files;
        kvplat::SetProfileWriteHook([&files](const kvplat::ProfileWrite& w) { files.push_back(w.file); });
        std::remove(folder_->LogPath().c_str());
        kvtest::StatusAppFolder::SetFolderValue(folder_->Path() + c.trailer + std::string(1, '\0'));
        NotifyStatusApp(a_, "Kestravon ZR-QM4471", a_->printerName);
        kvplat::SetProfileWriteHook(nullptr);

        std::string expected = folder_->Path() + c.join + "vuelog.err";
        ASSERT_EQ(files.size(), 4u) << "folder with trailing \"" << c.trailer << "\"";
        for (const std::string& f : files)
            EXPECT_EQ(f, expected) << "folder with trailing \"" << c.trailer << "\"";
        EXPECT_EQ(Profile("PORTNAME"), "USB001") << "folder with trailing \"" << c.trailer << "\"";
    }
    EXPECT_EQ(kvplat::PostedMessages().size(), 3u);
}

TEST_F(NotifyTest, FolderMustLeaveRoomForTheFileName)
{
    std::string fits = FolderOfLength(248);
    std::string tooLong = FolderOfLength(249);

    kvtest::StatusAppFolder::SetFolderValue(tooLong + std::string(1, '\0'));
    NotifyStatusApp(a_, "Kestravon ZR-QM4471", a_->printerName);
    EXPECT_FALSE(kvtest::FileExists(tooLong + "/vuelog.err")) << "249-character folder";
    EXPECT_EQ(kvplat::PostedMessages().size(), 0u) << "249-character folder";

    // 260 bytes with no terminator: the 248-character folder, a separator and 11 more.
    kvtest::StatusAppFolder::SetFolderValue(fits + "/" + std::string(11, 'z'));
    NotifyStatusApp(a_, "Kestravon ZR-QM4471", a_->printerName);
    EXPECT_EQ(kvplat::PostedMessages().size(), 0u) << "unterminated folder";

    kvtest::StatusAppFolder::SetFolderValue(fits + std::string(1, '\0'));
    NotifyStatusApp(a_, "Kestravon ZR-QM4471", a_->printerName);
    EXPECT_TRUE(kvtest::FileExists(fits + "/vuelog.err")) << "248-character folder";
    EXPECT_EQ(kvplat::PostedMessages().size(), 1u);
    // Nothing else appeared next to the folders.
    EXPECT_FALSE(kvtest::FileExists(fits + "/" + std::string(11, 'z')));
    EXPECT_FALSE(kvtest::FileExists(folder_->LogPath()));
}

}  // namespace
