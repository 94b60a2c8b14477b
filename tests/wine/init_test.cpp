// InitializeMonitorEx against the real registry: "ReadCycle" read, created and rewritten
// below the root the spooler passes, and the table it fills.
#include <cstring>

#include "support.h"

namespace kvwine {
namespace {

struct RegValue {
    LSTATUS rc = -1;
    DWORD type = 0;
    DWORD size = 0;
    BYTE data[64] = {};
    DWORD Dword() const
    {
        DWORD v = 0;
        std::memcpy(&v, data, sizeof v);
        return v;
    }
};

RegValue ReadCycleValue()
{
    RegValue v;
    HKEY key = NULL;
    v.rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegistryRoot, 0, KEY_READ, &key);
    if (v.rc != ERROR_SUCCESS) return v;
    v.size = sizeof v.data;
    v.rc = RegQueryValueExA(key, "ReadCycle", NULL, &v.type, v.data, &v.size);
    RegCloseKey(key);
    return v;
}

void SetReadCycle(DWORD type, const void* data, DWORD size)
{
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRegistryRoot, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "ReadCycle", 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
}

BOOL Initialize(LPCSTR root, MONITOR* table)
{
    return InitializeMonitorEx()(const_cast<LPSTR>(root), table);
}

class InitializeTest : public ::testing::Test {
protected:
    void SetUp() override { DeleteMachineKey(kRegistryRoot); }
    void TearDown() override { DeleteMachineKey(kRegistryRoot); }
    MONITOR table_{};
};

TEST_F(InitializeTest, ReadCycleCreatedWhenAbsent)
{
    ASSERT_EQ(ReadCycleValue().rc, ERROR_FILE_NOT_FOUND) << "root not removed";
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(Initialize(kRegistryRoot, &table_)) << "error " << GetLastError();
    RegValue v = ReadCycleValue();
    ASSERT_EQ(v.rc, ERROR_SUCCESS) << "ReadCycle not created below HKLM\\" << kRegistryRoot;
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(v.size, 4u);
    EXPECT_EQ(v.Dword(), 2000u);
}

TEST_F(InitializeTest, ReadCycleStringRewrittenAsDword)
{
    const char text[] = "1234567890";  // 10 characters: 11 bytes, more than the 4 read
    SetReadCycle(REG_SZ, text, sizeof text);
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(Initialize(kRegistryRoot, &table_)) << "error " << GetLastError();
    RegValue v = ReadCycleValue();
    ASSERT_EQ(v.rc, ERROR_SUCCESS);
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_DWORD)) << "REG_SZ value not replaced";
    EXPECT_EQ(v.size, 4u);
    EXPECT_EQ(v.Dword(), 2000u);
}

TEST_F(InitializeTest, ReadCycleNumbersLeftAsStored)
{
    for (DWORD stored : {0u, 1999u, 5000u}) {
        SetReadCycle(REG_DWORD, &stored, sizeof stored);
        SetLastError(0xdeadbeef);
        ASSERT_TRUE(Initialize(kRegistryRoot, &table_)) << "error " << GetLastError();
        RegValue v = ReadCycleValue();
        ASSERT_EQ(v.rc, ERROR_SUCCESS);
        EXPECT_EQ(v.type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(v.Dword(), stored) << "stored ReadCycle " << stored << " was rewritten";
    }
}

TEST_F(InitializeTest, FillsSevenSlots)
{
    std::memset(&table_, 0xcc, sizeof table_);
    ASSERT_TRUE(Initialize(kRegistryRoot, &table_));
    EXPECT_EQ(table_.pfnEnumPorts, nullptr);
    EXPECT_EQ(table_.pfnOpenPort, nullptr);
    EXPECT_NE(table_.pfnOpenPortEx, nullptr);
    EXPECT_NE(table_.pfnStartDocPort, nullptr);
    EXPECT_NE(table_.pfnWritePort, nullptr);
    EXPECT_NE(table_.pfnReadPort, nullptr);
    EXPECT_NE(table_.pfnEndDocPort, nullptr);
    EXPECT_NE(table_.pfnClosePort, nullptr);
    EXPECT_EQ(table_.pfnAddPort, nullptr);
    EXPECT_EQ(table_.pfnConfigurePort, nullptr);
    EXPECT_EQ(table_.pfnDeletePort, nullptr);
    EXPECT_NE(table_.pfnGetPrinterDataFromPort, nullptr);
    EXPECT_EQ(table_.pfnSetPortTimeOuts, nullptr);
}

TEST_F(InitializeTest, RefusesMissingArguments)
{
    MONITOR untouched;
    std::memset(&untouched, 0xcc, sizeof untouched);
    table_ = untouched;

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Initialize("", &table_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Initialize(NULL, &table_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(std::memcmp(&table_, &untouched, sizeof table_), 0) << "table changed by a refused call";

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Initialize(kRegistryRoot, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ReadCycleValue().rc, ERROR_FILE_NOT_FOUND) << "a refused call created ReadCycle";
}

}  // namespace
}  // namespace kvwine
