// A recognised device answer, published through a real named paging-file mapping that
// another program opens by "<monitor name><port name>", and the status set on the printer
// through the SPOOLSS.dll test double.
#include <string>

#include "support.h"

namespace kvwine {
namespace {

// The named block as another program sees it: opened read-only, length field first.
struct Published {
    bool found = false;
    DWORD error = 0;
    std::string bytes;  // the whole block, as long as its length field says
};

Published ReadBlock(const std::string& name)
{
    Published p;
    SetLastError(0xdeadbeef);
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    if (!mapping) {
        p.error = GetLastError();
        return p;
    }
    const BYTE* view = static_cast<const BYTE*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (view) {
        p.found = true;
        size_t length = static_cast<size_t>(view[0]) << 8 | view[1];
        p.bytes.assign(reinterpret_cast<const char*>(view), length);
        UnmapViewOfFile(view);
    } else {
        p.error = GetLastError();
    }
    CloseHandle(mapping);
    return p;
}

std::string LengthField(size_t length)
{
    return std::string{static_cast<char>(length >> 8 & 0xFF), static_cast<char>(length & 0xFF)};
}

using PublishTest = MonitorTest;

TEST_F(PublishTest, DecodedBlockOnUsbPort)
{
    const std::string id = KestravonId(50130);
    AddPrinter("Kestravon USB", "USB001");
    pm_.SetDeviceAnswer("USB001", sim::DeviceAnswer::Text(id));
    HANDLE h = OpenPort("USB001", "Kestravon USB");
    ASSERT_NE(h, nullptr);
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(StartDoc(h, "Kestravon USB")) << "error " << GetLastError();

    // The text through "VSTATUS:" with the flag rewritten, then the 24 decoded bytes.
    std::string prefix = id.substr(0, id.find("VSTATUS:") + 8);
    prefix.replace(prefix.find("FL1;"), 4, "FL0;");
    std::string body = prefix + StatusRecord(50130);
    std::string expected = LengthField(body.size() + 2) + body;

    Published block = ReadBlock(std::string(kMonitorName) + "USB001");
    ASSERT_TRUE(block.found) << "no mapping \"" << kMonitorName << "USB001\", error " << block.error;
    EXPECT_EQ(block.bytes.size(), expected.size());
    EXPECT_EQ(block.bytes, expected) << "actual   " << Hex(block.bytes) << "\nexpected " << Hex(expected);

    auto queries = pm_.Calls("GetPrinterDataFromPort");
    ASSERT_FALSE(queries.empty());
    EXPECT_EQ(queries[0].controlId, 0x0016000Cu) << "USB query control code";
    EXPECT_EQ(queries[0].cbBuffer, 1024u);

    std::vector<DWORD> statuses = StatusesOf("Kestravon USB");
    ASSERT_FALSE(statuses.empty()) << "no SetPrinterA reached the SPOOLSS.dll test double";
    EXPECT_EQ(statuses[0], 0x00100002u) << "status of code 50130";
    EXPECT_GE(kvsim_CallCount("GetPrinterDriverA"), 1u) << "kvmon's imports are not bound to the test double";
    EXPECT_GE(kvsim_CallCount("OpenPrinterA"), 1u);

    // While the block is held a client's "Printer Status" request is refused at once: no
    // query, no wait for the polling thread (as Windows 98 too, the block without a descriptor).
    unsigned asked = Queries("USB001");
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(table_.pfnGetPrinterDataFromPort(h, 0, const_cast<LPSTR>("Printer Status"), NULL, 0, NULL, 0, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Queries("USB001"), asked) << "the request waited for a query of the polling thread";
}

TEST_F(PublishTest, RawBlockOnLptPort)
{
    const std::string id = KestravonId(12211, false);
    AddPrinter("Kestravon LPT", "LPT1:");
    pm_.SetDeviceAnswer("LPT1:", sim::DeviceAnswer::Text(id));
    HANDLE h = OpenPort("LPT1:", "Kestravon LPT");
    ASSERT_NE(h, nullptr);
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(StartDoc(h, "Kestravon LPT")) << "error " << GetLastError();

    // The reply as received less its last two bytes, behind a length equal to the reply's.
    std::string expected = LengthField(id.size()) + id.substr(0, id.size() - 2);
    Published block = ReadBlock(std::string(kMonitorName) + "LPT1:");
    ASSERT_TRUE(block.found) << "no mapping \"" << kMonitorName << "LPT1:\", error " << block.error;
    EXPECT_EQ(block.bytes, expected) << "actual   " << Hex(block.bytes) << "\nexpected " << Hex(expected);

    auto queries = pm_.Calls("GetPrinterDataFromPort");
    ASSERT_FALSE(queries.empty());
    EXPECT_EQ(queries[0].controlId, 17u) << "LPT query control code";
    std::vector<DWORD> statuses = StatusesOf("Kestravon LPT");
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses[0], 0x00000010u) << "status of code 12211 (paper out)";
}

TEST_F(PublishTest, PortNameAloneWhenDriverNamesNoMonitor)
{
    AddPrinter("Kestravon Bare", "USB002", nullptr);
    pm_.SetDeviceAnswer("USB002", sim::DeviceAnswer::Text(KestravonId(63400)));
    HANDLE h = OpenPort("USB002", "Kestravon Bare");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartDoc(h, "Kestravon Bare"));
    Published block = ReadBlock("USB002");
    EXPECT_TRUE(block.found) << "no mapping \"USB002\", error " << block.error;
    EXPECT_FALSE(ReadBlock(std::string(kMonitorName) + "USB002").found);
}

TEST_F(PublishTest, NoAnswerMarksOfflineAndPublishesNothing)
{
    AddPrinter("Kestravon Silent", "USB003");
    pm_.SetDeviceAnswer("USB003", sim::DeviceAnswer::Failure());
    HANDLE h = OpenPort("USB003", "Kestravon Silent");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartDoc(h, "Kestravon Silent"));
    std::vector<DWORD> statuses = StatusesOf("Kestravon Silent");
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses[0], 0x00000080u) << "status of a device that does not answer";
    Published block = ReadBlock(std::string(kMonitorName) + "USB003");
    EXPECT_FALSE(block.found);
    EXPECT_EQ(block.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace kvwine
