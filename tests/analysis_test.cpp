// The tools' analysis of device replies and status blocks, held against what the monitor
// itself does with the same bytes, and the scenario text escapes.
#include <cstring>
#include <sstream>
#include <string>

#include "devstatus.h"
#include "test_support.h"

namespace {

using kvtools::AnalyseBlock;
using kvtools::AnalyseReply;
using kvtools::Analysis;

const std::string kHead = "MFG:Kestravon;MDL:ZR-QM4471;CMD:PJL;";

// ---- reply analysis ----

TEST(ReplyAnalysis, RecognitionFailuresSayWhy)
{
    Analysis lower = AnalyseReply("MFG:kestravon;MDL:ZR-QM4471;VSTATUS:x");
    EXPECT_FALSE(lower.recognised);
    EXPECT_FALSE(lower.hasCode);
    EXPECT_NE(lower.whyNot.find("\"kestravon\" does not begin with \"Kestravon\""), std::string::npos) << lower.whyNot;

    Analysis swallowed = AnalyseReply("MFG:Kestravon;FL1;MDL:ZR-QM4471;VSTATUS:x");
    EXPECT_FALSE(swallowed.recognised);
    EXPECT_TRUE(swallowed.makerOk);
    EXPECT_NE(swallowed.whyNot.find("\"FL1;MDL:\""), std::string::npos) << swallowed.whyNot;

    Analysis noMaker = AnalyseReply("MDL:ZR-QM4471;VSTATUS:x");
    EXPECT_FALSE(noMaker.recognised);
    EXPECT_NE(noMaker.whyNot.find("no manufacturer key"), std::string::npos) << noMaker.whyNot;
}

TEST(ReplyAnalysis, Base64PayloadOf32CharactersIsDecoded)
{
    std::string reply = kvtools::KestravonReply(42632);
    Analysis a = AnalyseReply(reply);
    ASSERT_TRUE(a.recognised);
    EXPECT_TRUE(a.decoded);
    EXPECT_EQ(a.record, kvtools::StatusRecord(42632));
    EXPECT_EQ(a.code, 42632);
    EXPECT_EQ(a.row, 16);
    EXPECT_EQ(a.bits, (DWORD)(PRINTER_STATUS_PAPER_JAM | PRINTER_STATUS_USER_INTERVENTION));
    EXPECT_TRUE(a.notifies);
    // Block: length, the text through "VSTATUS:" now reading "FL0;", then the 24 bytes.
    std::string text = kHead + "FL0;VSTATUS:";
    ASSERT_EQ(a.block.size(), text.size() + 24 + 2);
    EXPECT_EQ((BYTE)a.block[0] << 8 | (BYTE)a.block[1], (int)a.block.size());
    EXPECT_EQ(a.block.substr(2, text.size()), text);
    EXPECT_EQ(kvtools::StatusBitNames(a.bits), "PAPER_JAM | USER_INTERVENTION");
}

TEST(ReplyAnalysis, PayloadOf30CharactersStaysRawWithCodeFromTheText)
{
    // Characters 21 and 22 of the Base64 text are 'V' (0x56) and 'W' (0x57).
    std::string reply = kHead + "FL1;VSTATUS:ABCDEFGHIJKLMNOPQRSTUVWXYZabcd";
    Analysis a = AnalyseReply(reply);
    ASSERT_TRUE(a.recognised);
    EXPECT_FALSE(a.decoded);
    EXPECT_NE(a.rawReason.find("30 characters"), std::string::npos);
    EXPECT_EQ(a.code, 0x5657);
    EXPECT_EQ(a.row, 0);
    EXPECT_TRUE(a.offline);
    EXPECT_EQ(a.bits, (DWORD)PRINTER_STATUS_OFFLINE);
    // Raw block: length field = reply length, the reply less its last two bytes, "FL1;" kept.
    ASSERT_EQ(a.block.size(), reply.size());
    EXPECT_EQ(a.block.substr(2), reply.substr(0, reply.size() - 2));
}

// What the report says when the record lacks the code's bytes, the payload is not Base64,
// or the buffer cuts a raw payload: each said, and the counts agree.
TEST(ReplyAnalysis, TheReportSaysWhatIsMissing)
{
    auto report = [](const std::string& reply) {
        std::ostringstream out;
        kvtools::PrintAnalysis(out, AnalyseReply(reply));
        return out.str();
    };
    std::string empty = report(kHead + "VSTATUS:");
    EXPECT_NE(empty.find("record        0 bytes: none\n"), std::string::npos) << empty;
    EXPECT_NE(empty.find("code          0 (0x0000): the record has no bytes 21-22 (0 bytes)"), std::string::npos)
        << empty;

    Analysis bad = AnalyseReply(kHead + "FL1;VSTATUS:!!!!");
    EXPECT_EQ(bad.notBase64, 4u);
    EXPECT_FALSE(bad.codeInRecord);
    EXPECT_NE(report(kHead + "FL1;VSTATUS:!!!!").find("not Base64: 4 of the characters (the first, \"!\", at payload "
                                                      "character 0)"),
              std::string::npos);

    // A 2080-byte raw reply: the payload's characters end at the NUL the buffer's last byte
    // becomes; the record runs to the reply's end and says so.
    std::string longReply = report(kHead + "VSTATUS:" + std::string(2080 - kHead.size() - 8, 'A'));
    EXPECT_NE(longReply.find("payload at offset 44, 979 characters"), std::string::npos) << longReply;
    EXPECT_NE(longReply.find("record        980 bytes (the payload's 979 characters, then 1 from its NUL to the "
                             "reply's end)"),
              std::string::npos)
        << longReply;
}

TEST(ReplyAnalysis, BufferLimits)
{
    // Exactly 1024 bytes without NUL: the last byte is read as NUL, the count stays 1024.
    std::string full = kHead + "VSTATUS:" + std::string(21, '\x01') + "\x2f\xb3";  // 0x2fb3 = 12211
    full += std::string(1024 - full.size(), 'x');
    ASSERT_EQ(full.size(), 1024u);
    Analysis a = AnalyseReply(full);
    EXPECT_TRUE(a.terminated);
    EXPECT_EQ(a.length, 1024u);
    EXPECT_EQ(a.reply[1023], '\0');
    EXPECT_EQ(a.code, 12211);
    EXPECT_EQ(a.block.size(), 1024u);

    // Longer replies are cut to the buffer.
    Analysis cut = AnalyseReply(full + "yyyy");
    EXPECT_EQ(cut.givenLength, 1028u);
    EXPECT_EQ(cut.length, 1024u);
    EXPECT_EQ(cut.code, 12211);

    // No bytes at all: no answer, code 901.
    Analysis none = AnalyseReply("");
    EXPECT_FALSE(none.answered);
    EXPECT_EQ(none.code, STATUS_NO_RESPONSE);
    EXPECT_EQ(none.bits, (DWORD)PRINTER_STATUS_OFFLINE);
    EXPECT_FALSE(none.notifies);
}

// The analysis must say what the monitor does: same code, same printer bits, same block.
class ReplyAnalysisAgainstMonitor : public kvtest::MonitorTest {};

TEST_F(ReplyAnalysisAgainstMonitor, SameCodeStatusAndBlock)
{
    AddPrinter("P", "USB001");
    const std::string replies[] = {
        kvtools::KestravonReply(42632),
        kvtools::KestravonReply(40401, true),
        kHead + "FL1;VSTATUS:ABCDEFGHIJKLMNOPQRSTUVWXYZabcd",
        kHead + "VSTATUS:" + std::string(1024, 'z'),
        "MFG:kestravon;MDL:X;VSTATUS:AAAA",
        kHead + "FL1;VSTATUS:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==",
    };
    for (const std::string& reply : replies) {
        SCOPED_TRACE(kvtools::Escape(reply, 80));
        Analysis a = AnalyseReply(reply);
        PortContext* ctx = kvtest::CreateContext("USB001", "P");
        ASSERT_NE(ctx, nullptr);
        char buffer[DEVID_BUFFER_SIZE] = {};
        size_t n = std::min(reply.size(), sizeof buffer);
        std::memcpy(buffer, reply.data(), n);
        BOOL processed = ProcessDeviceId(ctx, buffer, (WORD)n);
        EXPECT_EQ(processed != FALSE, a.hasCode);
        if (a.hasCode) {
            EXPECT_EQ(ctx->lastCode, (DWORD)a.code);
            EXPECT_EQ(ctx->printerStatus, a.bits);
            HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, MappingName("USB001").c_str());
            ASSERT_NE(h, (HANDLE)NULL);
            const char* view = (const char*)MapViewOfFile(h, FILE_MAP_READ, 0, 0, a.block.size());
            ASSERT_NE(view, nullptr);
            EXPECT_EQ(std::string(view, a.block.size()), a.block);
            // And the block read back gives the same code.
            kvtools::BlockAnalysis b = AnalyseBlock(std::string(view, a.block.size()));
            if (b.detail.codeKnown) {
                EXPECT_EQ((DWORD)b.detail.code, (DWORD)a.code);
            }
            UnmapViewOfFile(view);
            CloseHandle(h);
        } else {
            EXPECT_EQ(ctx->hMapping, (HANDLE)NULL);
        }
        CloseStatusMapping(ctx);
        kvtest::DeleteContext(ctx);
    }
}

TEST(BlockAnalysis, FormsAndDamage)
{
    Analysis decoded = AnalyseReply(kvtools::KestravonReply(40251));
    kvtools::BlockAnalysis b = AnalyseBlock(decoded.block + std::string(20, 'o'));  // stale bytes behind
    ASSERT_TRUE(b.valid);
    EXPECT_TRUE(b.decodedForm);
    EXPECT_EQ(b.detail.manufacturer, "Kestravon");
    EXPECT_EQ(b.detail.code, 40251);
    EXPECT_EQ(b.detail.record.size(), 24u);

    // A raw 24-byte record loses its last two bytes in the block: byte 22 of the code.
    Analysis raw = AnalyseReply(kvtools::KestravonReply(40251, true));
    kvtools::BlockAnalysis r = AnalyseBlock(raw.block);
    ASSERT_TRUE(r.valid);
    EXPECT_FALSE(r.decodedForm);
    EXPECT_FALSE(r.detail.codeKnown);

    EXPECT_FALSE(AnalyseBlock(std::string("\x01\x00", 2) + "short").valid);
    EXPECT_FALSE(AnalyseBlock(std::string("\x00\x01", 2)).valid);
}

TEST(Text, EscapesRoundTripAndErrors)
{
    std::string bytes;
    std::string error;
    ASSERT_TRUE(kvtools::Unescape("a\\x00\\n\\\\\\\"\\x7\\xfFz", &bytes, &error));
    EXPECT_EQ(bytes, std::string("a\0\n\\\"\x07\xff" "z", 8));
    std::string back;
    ASSERT_TRUE(kvtools::Unescape(kvtools::Escape(bytes), &back, &error));
    EXPECT_EQ(back, bytes);
    EXPECT_FALSE(kvtools::Unescape("\\q", &bytes, &error));
    EXPECT_FALSE(kvtools::Unescape("\\xg", &bytes, &error));
    EXPECT_FALSE(kvtools::Unescape("end\\", &bytes, &error));
}

}  // namespace
