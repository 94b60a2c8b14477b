// Status publication: the named shared status block, written directly and through
// ProcessDeviceId.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::string Hex(const std::string& bytes, size_t max = 96)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < bytes.size() && i < max; i++) {
        unsigned char c = (unsigned char)bytes[i];
        s += digits[c >> 4];
        s += digits[c & 15];
        s += ' ';
    }
    if (bytes.size() > max)
        s += "... (" + std::to_string(bytes.size()) + " bytes)";
    return s;
}

// First difference of two byte strings, for readable failures.
std::string Diff(const std::string& actual, const std::string& expected)
{
    if (actual == expected)
        return "equal";
    size_t i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i])
        i++;
    return "first difference at byte " + std::to_string(i) + " of " + std::to_string(actual.size()) + "/" +
           std::to_string(expected.size()) + "\n  actual:   " + Hex(actual.substr(i, 24)) +
           "\n  expected: " + Hex(expected.substr(i, 24));
}

// The first `size` bytes of the mapping `name`, opened by name as another program would.
std::optional<std::string> ReadMapping(const std::string& name, size_t size)
{
    HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    if (h == NULL)
        return std::nullopt;
    void* view = MapViewOfFile(h, FILE_MAP_READ, 0, 0, size);
    std::optional<std::string> out;
    if (view != NULL) {
        out = std::string((const char*)view, size);
        UnmapViewOfFile(view);
    }
    CloseHandle(h);
    return out;
}

bool MappingExists(const std::string& name)
{
    HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    if (h != NULL)
        CloseHandle(h);
    return h != NULL;
}

// Size and permission bits of the shared memory object behind the mapping `name`.
bool MappingObjectStat(const std::string& name, struct stat* st)
{
    int fd = shm_open(kvplat::ShmObjectName(name).c_str(), O_RDONLY, 0);
    if (fd < 0)
        return false;
    bool ok = fstat(fd, st) == 0;
    close(fd);
    return ok;
}

// n bytes, distinct per seed, never NUL.
std::string Pattern(size_t n, int seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)(1 + (i * 7 + (size_t)seed * 31) % 250);
    return s;
}

BOOL Publish(const std::string& block, PortContext* ctx)
{
    return PublishStatusBlock((const BYTE*)block.data(), (WORD)block.size(), ctx);
}

// ---- PublishStatusBlock ----

class StatusBlockTest : public kvtest::MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        mappingsBefore_ = kvplat::LiveMappings();
    }
    // Closes the context's mapping and deletes the context.
    void Drop(PortContext* ctx)
    {
        CloseStatusMapping(ctx);
        kvtest::DeleteContext(ctx);
    }
    void TearDown() override
    {
        EXPECT_EQ(kvplat::LiveMappings(), mappingsBefore_) << "mapping handles left open";
        MonitorTest::TearDown();
    }
    long mappingsBefore_ = 0;
};

TEST_F(StatusBlockTest, ShorterBlockOverwritesTheStartOnly)
{
    AddPrinter("Kestravon P1", "USB001");
    PortContext* ctx = kvtest::CreateContext("USB001", "Kestravon P1");
    ASSERT_NE(ctx, nullptr);
    const std::string name = MappingName("USB001");
    std::string first = Pattern(300, 1), second = Pattern(280, 2);

    SetLastError(0xdeadbeef);
    ASSERT_TRUE(Publish(first, ctx));
    ASSERT_NE(ctx->hMapping, nullptr);
    struct stat st;
    ASSERT_TRUE(MappingObjectStat(name, &st)) << "no mapping named \"" << name << "\"";
    EXPECT_EQ(st.st_size, 300) << "the mapping takes the first block's size";
    EXPECT_EQ(st.st_mode & 0777, 0666u) << "the block must be open to every user (NULL DACL)";

    HANDLE mapping = ctx->hMapping;
    ASSERT_TRUE(Publish(second, ctx));
    EXPECT_EQ(ctx->hMapping, mapping) << "the mapping was created again";

    std::optional<std::string> seen = ReadMapping(name, 300);
    ASSERT_TRUE(seen.has_value()) << "mapping \"" << name << "\" cannot be read by name";
    std::string expected = second + first.substr(280);
    EXPECT_EQ(*seen, expected) << Diff(*seen, expected);
    Drop(ctx);
    EXPECT_FALSE(MappingExists(name)) << "the block outlived its last holder";
}

TEST_F(StatusBlockTest, AnotherProcessReadsTheBlockByName)
{
    AddPrinter("Kestravon P1", "USB001");
    PortContext* ctx = kvtest::CreateContext("USB001", "Kestravon P1");
    ASSERT_NE(ctx, nullptr);
    const std::string name = MappingName("USB001");
    std::string first = Pattern(300, 3), second = Pattern(280, 4);
    ASSERT_TRUE(Publish(first, ctx));
    ASSERT_TRUE(Publish(second, ctx));

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child only opens the block by name and hands its 300 bytes back.
        close(fds[0]);
        HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
        if (h == NULL)
            _exit(2);
        void* view = MapViewOfFile(h, FILE_MAP_READ, 0, 0, 300);
        if (view == NULL)
            _exit(3);
        ssize_t n = write(fds[1], view, 300);
        _exit(n == 300 ? 0 : 4);
    }
    close(fds[1]);
    std::string seen;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0)
        seen.append(buf, (size_t)n);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "child: 2 = no mapping by that name, 3 = no view, 4 = short write";
    std::string expected = second + first.substr(280);
    EXPECT_EQ(seen, expected) << Diff(seen, expected);
    Drop(ctx);
}

TEST_F(StatusBlockTest, LongerBlockFitsOnlyWithinThePage)
{
    AddPrinter("Kestravon P1", "USB001");
    PortContext* ctx = kvtest::CreateContext("USB001", "Kestravon P1");
    ASSERT_NE(ctx, nullptr);
    const std::string name = MappingName("USB001");
    ASSERT_TRUE(Publish(Pattern(300, 5), ctx));

    std::string longer = Pattern(400, 6);
    EXPECT_TRUE(Publish(longer, ctx)) << "a 400-byte view lies within the 300-byte mapping's page";
    std::optional<std::string> seen = ReadMapping(name, 400);
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(*seen, longer) << Diff(*seen, longer);

    std::string tooLong = Pattern(4097, 7);
    EXPECT_FALSE(Publish(tooLong, ctx)) << "a view past the mapping's page must be refused";
    struct stat st;
    ASSERT_TRUE(MappingObjectStat(name, &st));
    EXPECT_EQ(st.st_size, 300) << "the mapping must not be re-created for a longer block";
    seen = ReadMapping(name, 400);
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(*seen, longer) << "a refused block changed the mapping: " << Diff(*seen, longer);
    EXPECT_EQ(kvplat::LiveViews(), 0) << "a view was left mapped";
    Drop(ctx);
}

TEST_F(StatusBlockTest, DriverWithoutMonitorNamesTheBlockByPortAlone)
{
    spooler_.AddPrinter("Plain", "LPT1:", "Plain Driver", std::nullopt);
    PortContext* ctx = kvtest::CreateContext("LPT1:", "Plain");
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(ctx->monitorName, nullptr);
    std::string block = Pattern(64, 8);
    ASSERT_TRUE(Publish(block, ctx));
    std::optional<std::string> seen = ReadMapping("LPT1:", 64);
    ASSERT_TRUE(seen.has_value()) << "no mapping named \"LPT1:\"";
    EXPECT_EQ(*seen, block) << Diff(*seen, block);
    Drop(ctx);
}

TEST_F(StatusBlockTest, OverlongNameIsCutTo259Characters)
{
    struct Case {
        size_t monitorLength;
        size_t portLength;
    } cases[] = {{200, 100}, {258, 5}, {259, 5}, {300, 5}};
    for (const Case& c : cases) {
        std::string monitor(c.monitorLength, 'M');
        std::string port = "USB" + std::string(c.portLength - 3, 'p');
        std::string printer = "P" + std::to_string(c.monitorLength);
        spooler_.AddPrinter(printer, port, "Driver", monitor);
        PortContext* ctx = kvtest::CreateContext(port.c_str(), printer.c_str());
        ASSERT_NE(ctx, nullptr);
        std::string expected = (monitor + port).substr(0, 259);

        // The name buffer is 260 bytes; guard bytes behind it catch an overflow.
        struct {
            char name[NAME_BUFFER_SIZE];
            char guard[64];
        } buf;
        std::memset(&buf, 0x5A, sizeof(buf));
        BuildMappingName(ctx, buf.name);
        EXPECT_EQ(std::string(buf.guard, sizeof(buf.guard)), std::string(sizeof(buf.guard), '\x5A'))
            << c.monitorLength << "+" << c.portLength << ": name ran past its buffer";
        EXPECT_EQ(std::string(buf.name, strnlen(buf.name, sizeof(buf.name))), expected)
            << c.monitorLength << "+" << c.portLength;

        ASSERT_TRUE(Publish(Pattern(32, 9), ctx));
        EXPECT_TRUE(MappingExists(expected)) << c.monitorLength << "+" << c.portLength << ": not under the cut name";
        Drop(ctx);
    }
}

// ---- ProcessDeviceId: the block a recognised answer publishes ----

class DeviceIdBlockTest : public StatusBlockTest {
protected:
    void SetUp() override
    {
        StatusBlockTest::SetUp();
        AddPrinter("Kestravon P1", "USB001");
        ctx_ = kvtest::CreateContext("USB001", "Kestravon P1");
        ASSERT_NE(ctx_, nullptr);
    }
    void TearDown() override
    {
        Drop(ctx_);
        StatusBlockTest::TearDown();
    }
    // The answer in a zeroed 1024-byte buffer, as the status query hands it over.
    BOOL Process(const std::string& reply, WORD len = 0)
    {
        reply_.assign(DEVID_BUFFER_SIZE, '\0');
        std::memcpy(reply_.data(), reply.data(), std::min(reply.size(), reply_.size()));
        return ProcessDeviceId(ctx_, reply_.data(), len != 0 ? len : (WORD)reply.size());
    }
    // The published block: its length field, then that many bytes in all.
    std::string Block()
    {
        std::optional<std::string> head = ReadMapping(MappingName("USB001"), 2);
        if (!head)
            return std::string();
        size_t length = (size_t)(BYTE)(*head)[0] << 8 | (BYTE)(*head)[1];
        return ReadMapping(MappingName("USB001"), length).value_or(std::string());
    }

    PortContext* ctx_ = nullptr;
    std::vector<char> reply_;
};

std::string LengthField(size_t n)
{
    return std::string{(char)(n >> 8), (char)(n & 0xFF)};
}

TEST_F(DeviceIdBlockTest, DecodedRecordFollowsTheTextPrefix)
{
    const std::string prefix = "MFG:Kestravon;MDL:ZR-QM4471;CMD:PJL;CLS:PRINTER;FL1;VSTATUS:";
    ASSERT_EQ(prefix.size(), 60u);
    std::string record = kvtest::StatusRecord(50130);
    ASSERT_TRUE(Process(prefix + kvtest::Base64Encode(record)));

    std::string rewritten = "MFG:Kestravon;MDL:ZR-QM4471;CMD:PJL;CLS:PRINTER;FL0;VSTATUS:";
    std::string block = Block();
    EXPECT_EQ(Hex(block.substr(0, 2)), Hex(std::string("\x00\x56", 2))) << "length field";
    std::string expected = LengthField(86) + rewritten + record;
    EXPECT_EQ(block, expected) << Diff(block, expected);
    EXPECT_EQ(std::string(reply_.data(), 60), rewritten) << "the reply itself now reads \"FL0;\"";
    EXPECT_EQ(ctx_->lastCode, 50130u);
    EXPECT_EQ(ctx_->printerStatus, 0x00100002u);
}

TEST_F(DeviceIdBlockTest, RawRecordIsPublishedAsReceived)
{
    std::string reply = kvtest::KestravonId(12211, false);
    ASSERT_TRUE(Process(reply));
    std::string block = Block();
    std::string expected = LengthField(reply.size()) + reply.substr(0, reply.size() - 2);
    EXPECT_EQ(block, expected) << Diff(block, expected);
    EXPECT_EQ(ctx_->lastCode, 12211u) << "code from payload bytes 21 and 22";
    EXPECT_EQ(ctx_->printerStatus, (DWORD)PRINTER_STATUS_PAPER_OUT);
}

TEST_F(DeviceIdBlockTest, MisalignedBase64PayloadIsReadAsText)
{
    // Characters 21 and 22 of the payload are '/' and 'O': code 0x2F4F = 12111 (paper out).
    std::string payload = std::string(21, 'A') + "/O" + std::string(7, 'A');
    ASSERT_EQ(payload.size(), 30u);
    std::string reply = "MFG:Kestravon;MDL:ZR-QM4471;FL1;VSTATUS:" + payload;
    ASSERT_TRUE(Process(reply));
    std::string block = Block();
    std::string expected = LengthField(reply.size()) + reply.substr(0, reply.size() - 2);
    EXPECT_EQ(block, expected) << Diff(block, expected);
    EXPECT_NE(block.find("FL1;VSTATUS:"), std::string::npos) << "the flag must stay \"FL1;\"";
    EXPECT_EQ(ctx_->lastCode, 12111u);
    EXPECT_EQ(ctx_->printerStatus, (DWORD)PRINTER_STATUS_PAPER_OUT);
}

// A 1024-byte reply placed against an inaccessible page: any read past it faults.
class GuardedReply {
public:
    GuardedReply()
    {
        long page = sysconf(_SC_PAGESIZE);
        base_ = mmap(nullptr, (size_t)page * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(base_, MAP_FAILED);
        EXPECT_EQ(mprotect((char*)base_ + page, (size_t)page, PROT_NONE), 0);
        size_ = (size_t)page * 2;
        reply_ = (char*)base_ + page - DEVID_BUFFER_SIZE;
    }
    ~GuardedReply() { munmap(base_, size_); }
    char* Fill(const std::string& bytes)
    {
        EXPECT_EQ(bytes.size(), (size_t)DEVID_BUFFER_SIZE);
        std::memcpy(reply_, bytes.data(), DEVID_BUFFER_SIZE);
        return reply_;
    }

private:
    void* base_ = nullptr;
    size_t size_ = 0;
    char* reply_ = nullptr;
};

TEST_F(DeviceIdBlockTest, FullReplyWithoutTerminatorStaysInItsBuffer)
{
    struct Case {
        const char* why;
        std::string head;
    } cases[] = {
        {"raw", "MFG:Kestravon;MDL:ZR-QM4471;VSTATUS:"},
        {"flagged, payload of a multiple of 4 once cut", "MFG:Kestravon;MDL:ZR-QM447;FL1;VSTATUS:"},
        {"flagged, payload of a multiple of 4 uncut", "MFG:Kestravon;MDL:ZR-QM4471;FL1;VSTATUS:"},
        {"no status field", "MFG:Kestravon;MDL:ZR-QM4471;CMD:"},
        {"no colon after the head", "MFG:Kestravon;MDL:ZR-QM4471;"},
    };
    for (const Case& c : cases) {
        GuardedReply guarded;
        std::string bytes = c.head + std::string(DEVID_BUFFER_SIZE - c.head.size(), 'x');
        char* reply = guarded.Fill(bytes);
        SCOPED_TRACE(c.why);
        // A read past the buffer ends the test program here.
        ProcessDeviceId(ctx_, reply, DEVID_BUFFER_SIZE);
        CloseStatusMapping(ctx_);
    }
    GuardedReply guarded;
    std::string bytes = "MFG:Kestravon;MDL:ZR-QM4471;VSTATUS:" + std::string(DEVID_BUFFER_SIZE - 36, 'x');
    EXPECT_TRUE(ProcessDeviceId(ctx_, guarded.Fill(bytes), DEVID_BUFFER_SIZE));
    EXPECT_EQ(ctx_->lastCode, 0x7878u) << "code from payload bytes 21 and 22";
    EXPECT_EQ(Block().size(), (size_t)DEVID_BUFFER_SIZE);

    // A raw payload within 22 bytes of the end: its bytes 21 and 22 lie on or past the
    // last byte, which the cut made NUL, and read as zero.
    for (size_t start = 1000; start <= 1004; start++) {
        std::string head = "MFG:Kestravon;MDL:ZR-QM4471;" + std::string(start - 36, 'x') + "VSTATUS:";
        std::string payload;
        for (size_t i = 0; head.size() + payload.size() < DEVID_BUFFER_SIZE; i++)
            payload += (char)('a' + i);
        GuardedReply nearEnd;
        EXPECT_TRUE(ProcessDeviceId(ctx_, nearEnd.Fill(head + payload), DEVID_BUFFER_SIZE));
        WORD expected = (WORD)((start + 21 < DEVID_BUFFER_SIZE - 1 ? (BYTE)payload[21] : 0) * 256 +
                               (start + 22 < DEVID_BUFFER_SIZE - 1 ? (BYTE)payload[22] : 0));
        EXPECT_EQ(ctx_->lastCode, expected) << "payload at offset " << start;
        CloseStatusMapping(ctx_);
    }
}

TEST_F(DeviceIdBlockTest, OneByteReplyPublishesNothingAndClosesTheBlock)
{
    ASSERT_TRUE(Process(kvtest::KestravonId(50130)));
    ASSERT_TRUE(MappingExists(MappingName("USB001")));
    size_t sets = StatusesOf("Kestravon P1").size();

    // The buffer holds a whole device ID, but the port monitor counted one byte.
    EXPECT_FALSE(Process(kvtest::KestravonId(12211, false), 1));
    EXPECT_EQ(ctx_->hMapping, nullptr);
    EXPECT_FALSE(MappingExists(MappingName("USB001")));
    EXPECT_EQ(StatusesOf("Kestravon P1").size(), sets) << "an unrecognised answer changed the status";
    EXPECT_EQ(ctx_->lastCode, 50130u);
}

}  // namespace
