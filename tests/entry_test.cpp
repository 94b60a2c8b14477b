// Module entry: InitializeMonitorEx (poll interval, argument checks, the table it hands
// back), the port context list, and the USB/LPT port-name tests.
#include <cstring>
#include <string>

#include "test_support.h"

namespace {

using kvtest::CreateContext;
using kvtest::DeleteContext;

// ---- "ReadCycle" and InitializeMonitorEx ----

class InitializeTest : public kvtest::MonitorTest {
protected:
    HKEY OpenRoot()
    {
        HKEY key = NULL;
        LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kvtest::kRegistryRoot, 0, KEY_READ | KEY_WRITE, &key);
        EXPECT_EQ(rc, ERROR_SUCCESS) << "opening the registry root";
        return key;
    }
    void StoreValue(DWORD type, const void* data, DWORD size)
    {
        HKEY key = OpenRoot();
        ASSERT_EQ(RegSetValueExA(key, "ReadCycle", 0, type, (const BYTE*)data, size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void StoreDword(DWORD value) { StoreValue(REG_DWORD, &value, sizeof(value)); }
    void DeleteValue()
    {
        HKEY key = OpenRoot();
        ASSERT_EQ(RegDeleteValueA(key, "ReadCycle"), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    // "ReadCycle" as stored: type and 32-bit contents. FALSE when it cannot be read as 4 bytes.
    bool StoredDword(DWORD* type, DWORD* value)
    {
        HKEY key = OpenRoot();
        DWORD cb = sizeof(*value);
        *value = 0xdeadbeef;
        LSTATUS rc = RegQueryValueExA(key, "ReadCycle", NULL, type, (LPBYTE)value, &cb);
        RegCloseKey(key);
        return rc == ERROR_SUCCESS && cb == sizeof(*value);
    }
    BOOL Reinitialize()
    {
        MONITOR table{};
        return InitializeMonitorEx((LPSTR)kvtest::kRegistryRoot, &table);
    }
};

TEST_F(InitializeTest, AbsentReadCycleIsCreatedWithDefault)
{
    // Start from a non-default interval so that falling back to 2000 is visible.
    StoreDword(5000);
    ASSERT_TRUE(Reinitialize());
    ASSERT_EQ(g_dwReadCycle, 5000u);

    DeleteValue();
    ASSERT_TRUE(Reinitialize());
    EXPECT_EQ(g_dwReadCycle, 2000u);
    DWORD type = 0, value = 0;
    ASSERT_TRUE(StoredDword(&type, &value)) << "ReadCycle was not created";
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(value, 2000u);
}

TEST_F(InitializeTest, ShortIntervalsAreRaisedButNotRewritten)
{
    const DWORD shortValues[] = {0, 1, 1999};
    for (DWORD stored : shortValues) {
        StoreDword(5000);
        ASSERT_TRUE(Reinitialize());
        StoreDword(stored);
        ASSERT_TRUE(Reinitialize());
        EXPECT_EQ(g_dwReadCycle, 2000u) << "ReadCycle " << stored;
        DWORD type = 0, value = 0;
        ASSERT_TRUE(StoredDword(&type, &value));
        EXPECT_EQ(type, (DWORD)REG_DWORD) << "ReadCycle " << stored;
        EXPECT_EQ(value, stored) << "the stored value must stay as it was";
    }
}

TEST_F(InitializeTest, LongerIntervalsAreUsedAsStored)
{
    const DWORD values[] = {2000, 2001, 5000, 0xFFFFFFFFu};
    for (DWORD stored : values) {
        StoreDword(stored);
        ASSERT_TRUE(Reinitialize());
        EXPECT_EQ(g_dwReadCycle, stored);
    }
}

TEST_F(InitializeTest, OversizedValueIsReplacedByDefault)
{
    StoreDword(5000);
    ASSERT_TRUE(Reinitialize());
    // "5000" as a string is five bytes with its terminator: too big for the 4-byte query.
    StoreValue(REG_SZ, "5000", 5);
    ASSERT_TRUE(Reinitialize());
    EXPECT_EQ(g_dwReadCycle, 2000u);
    DWORD type = 0, value = 0;
    ASSERT_TRUE(StoredDword(&type, &value)) << "ReadCycle still unreadable as 4 bytes";
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(value, 2000u);
}

TEST_F(InitializeTest, BadArgumentsAreRefusedWithoutSideEffects)
{
    const char* otherRoot = "System\\Kestravon\\Untouched Root";
    struct Case {
        const char* name;
        LPSTR root;
        bool withTable;
    } cases[] = {
        {"NULL root", NULL, true},
        {"empty root", (LPSTR) "", true},
        {"NULL table", (LPSTR)otherRoot, false},
    };
    for (const Case& c : cases) {
        StoreDword(5000);
        ASSERT_TRUE(Reinitialize());
        MONITOR table;
        std::memset(&table, 0xA5, sizeof(table));
        MONITOR before = table;

        SetLastError(0xdeadbeef);
        BOOL ok = InitializeMonitorEx(c.root, c.withTable ? &table : NULL);
        DWORD error = GetLastError();
        EXPECT_FALSE(ok) << c.name;
        EXPECT_EQ(error, (DWORD)ERROR_INVALID_PARAMETER) << c.name << ": last error " << error;
        EXPECT_EQ(std::memcmp(&table, &before, sizeof(table)), 0) << c.name << ": table was touched";
        EXPECT_EQ(g_dwReadCycle, 5000u) << c.name << ": interval was reread";
    }
    HKEY key = NULL;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, otherRoot, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND)
        << "a refused call created its registry root";
    if (key != NULL)
        RegCloseKey(key);
}

TEST_F(InitializeTest, TableHasTheSevenOperationsInTheirSlots)
{
    MONITOR table;
    std::memset(&table, 0xA5, sizeof(table));
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(InitializeMonitorEx((LPSTR)kvtest::kRegistryRoot, &table));

    struct Slot {
        const char* name;
        void* actual;
        void* expected;
    } slots[MONITOR_SLOT_COUNT] = {
        {"EnumPorts", (void*)table.pfnEnumPorts, nullptr},
        {"OpenPort", (void*)table.pfnOpenPort, nullptr},
        {"OpenPortEx", (void*)table.pfnOpenPortEx, (void*)OpenPortEx},
        {"StartDocPort", (void*)table.pfnStartDocPort, (void*)StartDocPort},
        {"WritePort", (void*)table.pfnWritePort, (void*)WritePort},
        {"ReadPort", (void*)table.pfnReadPort, (void*)ReadPort},
        {"EndDocPort", (void*)table.pfnEndDocPort, (void*)EndDocPort},
        {"ClosePort", (void*)table.pfnClosePort, (void*)ClosePort},
        {"AddPort", (void*)table.pfnAddPort, nullptr},
        {"ConfigurePort", (void*)table.pfnConfigurePort, nullptr},
        {"DeletePort", (void*)table.pfnDeletePort, nullptr},
        {"GetPrinterDataFromPort", (void*)table.pfnGetPrinterDataFromPort, (void*)GetPrinterDataFromPort},
        {"SetPortTimeOuts", (void*)table.pfnSetPortTimeOuts, nullptr},
    };
    int filled = 0;
    for (const Slot& s : slots) {
        EXPECT_EQ(s.actual, s.expected) << "slot " << s.name;
        filled += s.actual != nullptr;
    }
    EXPECT_EQ(filled, 7);
}

// ---- port contexts ----

class PortContextTest : public kvtest::MonitorTest {};

TEST_F(PortContextTest, CreateFillsNamesAndHandle)
{
    spooler_.AddPrinter("Kestravon P1", "USB001", "Kestravon ZR Driver", std::string("Kestravon LM"));
    PortContext* ctx = CreateContext("USB001", "Kestravon P1");
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->signature, (DWORD)PORT_CONTEXT_SIGNATURE);
    EXPECT_STREQ(ctx->portName, "USB001");
    EXPECT_STREQ(ctx->printerName, "Kestravon P1");
    EXPECT_STREQ(ctx->monitorName, "Kestravon LM");
    EXPECT_STREQ(ctx->driverName, "Kestravon ZR Driver");
    EXPECT_EQ(spooler_.HandlePrinter(ctx->hPrinter).value_or("<not a live handle>"), "Kestravon P1");
    DeleteContext(ctx);
}

TEST_F(PortContextTest, DriverWithoutMonitorLeavesMonitorNameNull)
{
    spooler_.AddPrinter("Plain", "LPT1:", "Plain Driver", std::nullopt);
    PortContext* ctx = CreateContext("LPT1:", "Plain");
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->monitorName, nullptr) << "monitorName \"" << ctx->monitorName << "\"";
    EXPECT_STREQ(ctx->driverName, "Plain Driver");
    DeleteContext(ctx);
}

TEST_F(PortContextTest, UnknownPrinterLeavesHandleAndNamesNull)
{
    PortContext* ctx = CreateContext("USB001", "No Such Printer");
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->hPrinter, nullptr);
    EXPECT_EQ(ctx->monitorName, nullptr);
    EXPECT_EQ(ctx->driverName, nullptr);
    DeleteContext(ctx);
}

TEST_F(PortContextTest, FindIgnoresCaseOfPortName)
{
    PortContext* ctx = CreateContext("USB001", "P1");
    ASSERT_NE(ctx, nullptr);
    EnterCriticalSection(&g_csPorts);
    EXPECT_EQ(FindPortContext("usb001"), ctx);
    EXPECT_EQ(FindPortContext("USB001"), ctx);
    EXPECT_EQ(FindPortContext("USB002"), nullptr);
    EXPECT_EQ(FindPortContext("USB00"), nullptr);
    EXPECT_EQ(FindPortContext(""), nullptr);
    EXPECT_EQ(FindPortContext(NULL), nullptr);
    LeaveCriticalSection(&g_csPorts);
    DeleteContext(ctx);
}

TEST_F(PortContextTest, ListKeepsOpeningOrderAcrossDeletes)
{
    PortContext* a = CreateContext("USB001", "A");
    PortContext* b = CreateContext("USB002", "B");
    PortContext* c = CreateContext("LPT1:", "C");
    ASSERT_TRUE(a && b && c);
    ASSERT_EQ(g_pPortList, a);
    ASSERT_EQ(a->next, b);
    ASSERT_EQ(b->next, c);
    ASSERT_EQ(c->next, nullptr);

    DeleteContext(b);
    EXPECT_EQ(g_pPortList, a);
    EXPECT_EQ(a->next, c) << "the middle one's successor must follow its predecessor";
    EXPECT_EQ(c->next, nullptr);
    EnterCriticalSection(&g_csPorts);
    EXPECT_EQ(FindPortContext("USB002"), nullptr);
    EXPECT_EQ(FindPortContext("lpt1:"), c);
    // A context that is no longer listed is refused, and nothing is freed twice.
    PortContext stranger{};
    EXPECT_FALSE(DeletePortContext(&stranger));
    LeaveCriticalSection(&g_csPorts);

    PortContext* d = CreateContext("USB003", "D");
    EXPECT_EQ(c->next, d) << "a new context goes to the tail";
    DeleteContext(a);
    EXPECT_EQ(g_pPortList, c);
    DeleteContext(d);
    EXPECT_EQ(c->next, nullptr);
    DeleteContext(c);
    EXPECT_EQ(g_pPortList, nullptr);
}

TEST_F(PortContextTest, SameNameInOtherCaseReopensWithoutRefetching)
{
    spooler_.AddPrinter("Kestravon P1", "USB001", "Driver A", std::string("Monitor A"));
    PortContext* ctx = CreateContext("USB001", "Kestravon P1");
    ASSERT_NE(ctx, nullptr);
    HANDLE before = ctx->hPrinter;
    ASSERT_NE(before, nullptr);
    // Names fetched again would now read "Driver B" and "Monitor B".
    spooler_.SetPrinterDriver("Kestravon P1", "Driver B", std::string("Monitor B"));
    unsigned opens = spooler_.CallCount("OpenPrinterA");
    unsigned closes = spooler_.CallCount("ClosePrinter");
    unsigned driverQueries = spooler_.CallCount("GetPrinterDriverA");
    unsigned printerQueries = spooler_.CallCount("GetPrinterA");

    UpdatePrinterName(ctx, "KESTRAVON p1");

    EXPECT_STREQ(ctx->printerName, "KESTRAVON p1");
    EXPECT_EQ(spooler_.CallCount("ClosePrinter") - closes, 1u) << "old handle not closed";
    EXPECT_EQ(spooler_.CallCount("OpenPrinterA") - opens, 1u) << "printer not reopened";
    EXPECT_NE(ctx->hPrinter, before);
    EXPECT_TRUE(spooler_.HandlePrinter(ctx->hPrinter).has_value()) << "new handle is not live";
    EXPECT_EQ(spooler_.CallCount("GetPrinterDriverA"), driverQueries);
    EXPECT_EQ(spooler_.CallCount("GetPrinterA"), printerQueries);
    EXPECT_STREQ(ctx->monitorName, "Monitor A");
    EXPECT_STREQ(ctx->driverName, "Driver A");
    DeleteContext(ctx);
}

TEST_F(PortContextTest, NewNameWithoutEarlierHandleFetchesNames)
{
    PortContext* ctx = CreateContext("USB001", "Missing");
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(ctx->hPrinter, nullptr);
    spooler_.AddPrinter("Arrived", "USB001", "Driver A", std::string("Monitor A"));

    UpdatePrinterName(ctx, "Arrived");

    EXPECT_STREQ(ctx->printerName, "Arrived");
    EXPECT_EQ(spooler_.HandlePrinter(ctx->hPrinter).value_or("<none>"), "Arrived");
    EXPECT_STREQ(ctx->monitorName, "Monitor A");
    EXPECT_STREQ(ctx->driverName, "Driver A");
    DeleteContext(ctx);
}

TEST_F(PortContextTest, EqualNameReopensOnlyAMissingHandle)
{
    PortContext* ctx = CreateContext("USB001", "Late");
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(ctx->hPrinter, nullptr);
    spooler_.AddPrinter("Late", "USB001", "Driver L", std::string("Monitor L"));

    UpdatePrinterName(ctx, "Late");
    HANDLE opened = ctx->hPrinter;
    EXPECT_NE(opened, nullptr);
    EXPECT_STREQ(ctx->driverName, "Driver L");
    EXPECT_STREQ(ctx->monitorName, "Monitor L");

    unsigned opens = spooler_.CallCount("OpenPrinterA");
    UpdatePrinterName(ctx, "Late");
    EXPECT_EQ(ctx->hPrinter, opened);
    EXPECT_EQ(spooler_.CallCount("OpenPrinterA"), opens) << "an open handle was reopened";
    DeleteContext(ctx);
}

TEST(PortNameTest, UsbAndLptPrefixesCompareWithCase)
{
    struct Case {
        const char* name;
        BOOL usb;
        BOOL lpt;
    } cases[] = {
        {"USB001", TRUE, FALSE}, {"USB", TRUE, FALSE},  {"usb001", FALSE, FALSE}, {"Usb001", FALSE, FALSE},
        {"LPT1:", FALSE, TRUE},  {"lpt1:", FALSE, FALSE}, {"LPT", FALSE, TRUE},   {"COM1", FALSE, FALSE},
        {"US", FALSE, FALSE},    {"LP", FALSE, FALSE},  {"", FALSE, FALSE},       {" USB001", FALSE, FALSE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsUsbPort(c.name), c.usb) << "IsUsbPort(\"" << c.name << "\")";
        EXPECT_EQ(IsLptPort(c.name), c.lpt) << "IsLptPort(\"" << c.name << "\")";
    }
    EXPECT_FALSE(IsUsbPort(NULL));
    EXPECT_FALSE(IsLptPort(NULL));
}

}  // namespace
