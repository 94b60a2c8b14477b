// The device status code table and its application to the spooler's printer: status bits,
// SetPrinterA only on change, companion notification only for codes that are not offline.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

const DWORD kUserError = 0x00100002;  // USER_INTERVENTION | ERROR
const DWORD kTonerOffline = 0x00140080;

class StatusCodeTest : public kvtest::MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        folder_ = std::make_unique<kvtest::StatusAppFolder>();
        AddPrinter("Kestravon P1", "USB001");
        ctx_ = kvtest::CreateContext("USB001", "Kestravon P1");
        ASSERT_NE(ctx_, nullptr);
        ASSERT_NE(ctx_->hPrinter, nullptr);
    }
    void TearDown() override
    {
        kvtest::DeleteContext(ctx_);
        MonitorTest::TearDown();
    }

    // Applies code and reports what reached the spooler and the companion application.
    struct Effect {
        BOOL offline;
        std::vector<DWORD> statusesSet;  // SetPrinterA calls made by this application
        size_t posted;                   // messages posted by it
    };
    Effect Apply(WORD code)
    {
        size_t setsBefore = StatusesOf("Kestravon P1").size();
        size_t postedBefore = kvplat::PostedMessages().size();
        Effect e;
        e.offline = ApplyStatusCode(code, ctx_, "Kestravon ZR-QM4471");
        std::vector<DWORD> all = StatusesOf("Kestravon P1");
        e.statusesSet.assign(all.begin() + (long)setsBefore, all.end());
        e.posted = kvplat::PostedMessages().size() - postedBefore;
        return e;
    }

    std::unique_ptr<kvtest::StatusAppFolder> folder_;
    PortContext* ctx_ = nullptr;
};

std::string Hex(DWORD v)
{
    char buf[16];
    snprintf(buf, sizeof(buf), "0x%08x", v);
    return buf;
}

std::string HexList(const std::vector<DWORD>& v)
{
    std::string s = "{";
    for (DWORD x : v)
        s += " " + Hex(x);
    return s + " }";
}

TEST_F(StatusCodeTest, CodesMapToStatusBitsAndNotifyUnlessOffline)
{
    struct Case {
        WORD code;
        DWORD status;
        bool offline;
    } cases[] = {
        {50130, kUserError, false},
        {901, PRINTER_STATUS_OFFLINE, true},     // no response
        {10104, kTonerOffline, true},            // error bits and offline
        {63400, 0, false},                       // no error bits, still reported
        {12211, PRINTER_STATUS_PAPER_OUT, false},
        {63014, kUserError, false},              // row 13, not row 42
        {40401, 0x00500000, false},
        {0, PRINTER_STATUS_OFFLINE, true},       // the terminator's code is never found
        {12345, PRINTER_STATUS_OFFLINE, true},   // unknown
        {63256, PRINTER_STATUS_OFFLINE, true},
        {42836, 0x00100008, false},
        {40001, PRINTER_STATUS_OFFLINE, true},   // last row
    };
    // Each code differs from the one before, so each is a change.
    for (const Case& c : cases) {
        Effect e = Apply(c.code);
        EXPECT_EQ(e.offline, c.offline ? TRUE : FALSE) << "code " << c.code;
        EXPECT_EQ(Hex(ctx_->printerStatus), Hex(c.status)) << "code " << c.code;
        EXPECT_EQ(ctx_->lastCode, c.code);
        EXPECT_EQ(HexList(e.statusesSet), HexList({c.status})) << "code " << c.code << ": SetPrinterA calls";
        EXPECT_EQ(e.posted, c.offline ? 0u : 1u) << "code " << c.code << ": notifications";
    }
    EXPECT_EQ(Hex(spooler_.PrinterStatus("Kestravon P1")), Hex(PRINTER_STATUS_OFFLINE)) << "printer's final bits";
}

TEST_F(StatusCodeTest, NotificationCarriesTheModelText)
{
    Apply(50130);
    char value[NAME_BUFFER_SIZE] = {};
    GetPrivateProfileStringA("DEVICE", "MODELNAME", "<none>", value, sizeof(value), folder_->LogPath().c_str());
    EXPECT_STREQ(value, "Kestravon ZR-QM4471");
}

TEST_F(StatusCodeTest, RepeatedCodeChangesNothing)
{
    const WORD codes[] = {50130, 63400, 901, 12345};
    for (WORD code : codes) {
        Effect first = Apply(code);
        EXPECT_EQ(first.statusesSet.size(), 1u) << "code " << code;
        Effect again = Apply(code);
        EXPECT_EQ(HexList(again.statusesSet), HexList({})) << "code " << code << " applied twice";
        EXPECT_EQ(again.posted, 0u) << "code " << code << " applied twice";
        EXPECT_EQ(again.offline, first.offline);
    }
}

TEST_F(StatusCodeTest, SameStatusFromAnotherCodeIsStillAChange)
{
    Apply(50130);
    Effect e = Apply(50127);  // same bits, new code
    EXPECT_EQ(HexList(e.statusesSet), HexList({kUserError}));
    EXPECT_EQ(e.posted, 1u);
}

TEST_F(StatusCodeTest, ClearedStatusIsSetAndReportedAgain)
{
    Apply(50130);
    ClearWriteError(ctx_);
    ASSERT_EQ(HexList(StatusesOf("Kestravon P1")), HexList({kUserError, 0})) << "the good write cleared nothing";
    ASSERT_EQ(ctx_->printerStatus, 0u);
    ASSERT_EQ(ctx_->lastCode, 50130u) << "a good write must not forget the code";

    Effect e = Apply(50130);
    EXPECT_EQ(HexList(e.statusesSet), HexList({kUserError})) << "same code after a clear";
    EXPECT_EQ(e.posted, 1u);

    // An offline code comes back too, still without a notification.
    Apply(901);
    ClearWriteError(ctx_);
    e = Apply(901);
    EXPECT_EQ(HexList(e.statusesSet), HexList({PRINTER_STATUS_OFFLINE}));
    EXPECT_EQ(e.posted, 0u);
}

TEST_F(StatusCodeTest, ClearDoesNotRepeatACodeWithoutBits)
{
    Apply(63400);
    ClearWriteError(ctx_);
    Effect e = Apply(63400);
    EXPECT_EQ(HexList(e.statusesSet), HexList({})) << "63400 after a clear";
    EXPECT_EQ(e.posted, 0u);
}

TEST_F(StatusCodeTest, PrinterWithoutHandleStillTracksTheCode)
{
    PortContext* orphan = kvtest::CreateContext("USB009", "Not In Spooler");
    ASSERT_NE(orphan, nullptr);
    ASSERT_EQ(orphan->hPrinter, nullptr);
    size_t posted = kvplat::PostedMessages().size();
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ApplyStatusCode(50130, orphan, "Kestravon ZR-QM4471"));
    EXPECT_EQ(orphan->printerStatus, kUserError);
    EXPECT_EQ(orphan->lastCode, 50130u);
    EXPECT_EQ(kvplat::PostedMessages().size(), posted + 1) << "the failed SetPrinterA must not stop the notification";
    kvtest::DeleteContext(orphan);
}

// Every code the device reports, by the status bits it stands for. A code missing from this
// list must not be found at all; 63014 is found with its first row's bits.
TEST(StatusCodeTableTest, EveryCodeHasItsBitsAndNoOtherCodeIsKnown)
{
    struct Group {
        DWORD status;
        DWORD offline;
        std::vector<WORD> codes;
    } groups[] = {
        {0, 1, {901, 63256, 64401, 64403, 64402, 64404, 40001}},
        {0x00100002, 0, {50130, 50127, 50011, 63011, 50024, 63001, 50185, 40306, 63014, 41292, 41392,
                         41290, 41190, 41390, 64009, 64025, 64026, 64027, 64028, 64013}},
        {0x00500000, 0, {40401, 64015}},
        {0x00140000, 0, {40251, 40300, 63020}},
        {0x00140000, 1, {10104}},
        {0x00100008, 0, {42632, 42322, 42312, 42836}},
        {0x00100800, 0, {15011, 15021, 15031}},
        {0x00000010, 0, {12211, 12111, 12311}},
        {0, 0, {63400, 63240, 63273, 63201, 12213, 12313}},
    };
    std::vector<int> expected(65536, -1);  // index into groups
    for (size_t g = 0; g < sizeof(groups) / sizeof(groups[0]); g++) {
        for (WORD code : groups[g].codes)
            expected[code] = (int)g;
    }
    for (int code = 0; code < 65536; code++) {
        const StatusCodeRow* row = FindStatusCode((WORD)code);
        if (expected[code] < 0) {
            EXPECT_EQ(row, nullptr) << "code " << code << " is not the device's";
            continue;
        }
        const Group& g = groups[expected[code]];
        if (row == nullptr) {
            ADD_FAILURE() << "code " << code << " not found";
            continue;
        }
        EXPECT_EQ(Hex(row->printerStatus), Hex(g.status)) << "code " << code;
        EXPECT_EQ(row->markOffline, g.offline) << "code " << code;
    }
}

TEST(StatusCodeTableTest, FiftyRowsBeforeTheTerminator)
{
    int rows = 0;
    while (rows < 100 && StatusCodeTable[rows].code != 0)
        rows++;
    EXPECT_EQ(rows, 50);
    EXPECT_EQ(StatusCodeTable[0].code, STATUS_NO_RESPONSE);
    EXPECT_NE(StatusCodeTable[0].markOffline, 0u);
}

}  // namespace
