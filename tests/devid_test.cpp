// Device ID recognition, the VSTATUS: field and decoding of its Base64 status record.
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// ---- ParseDeviceId ----

struct ParseResult {
    BOOL recognised;
    DWORD flags;
    std::string mfg;
    std::string mdl;
    std::string mfgBuffer;  // all 260 bytes of the manufacturer buffer
    std::string mdlBuffer;
};

// Parses a copy of text with the given flags preset, into zero-filled 260-byte buffers.
ParseResult Parse(const std::string& text, DWORD presetFlags = 0)
{
    PortContext ctx{};
    ctx.flags = (LONG)presetFlags;
    std::vector<char> copy(DEVID_BUFFER_SIZE, '\0');
    std::memcpy(copy.data(), text.data(), text.size());
    char mfg[NAME_BUFFER_SIZE] = {};
    char mdl[NAME_BUFFER_SIZE] = {};
    ParseResult r;
    r.recognised = ParseDeviceId(&ctx, copy.data(), mfg, mdl);
    r.flags = (DWORD)ctx.flags;
    r.mfg.assign(mfg, strnlen(mfg, sizeof(mfg)));
    r.mdl.assign(mdl, strnlen(mdl, sizeof(mdl)));
    r.mfgBuffer.assign(mfg, sizeof(mfg));
    r.mdlBuffer.assign(mdl, sizeof(mdl));
    return r;
}

const DWORD kRecognitionFlags = PCF_MODEL_OK | PCF_MAKER_OK | PCF_UNRECOGNISED;

TEST(ParseDeviceIdTest, RecognisesMakerAndAnyModel)
{
    struct Case {
        const char* text;
        const char* mfg;
        const char* mdl;
    } cases[] = {
        {"MFG:Kestravon;MDL:ZR-QM4471;CMD:PJL;VSTATUS:AAAA", "Kestravon", "ZR-QM4471"},
        {"MANUFACTURER:Kestravon Ltd.;MODEL:Some Other Model;VSTATUS:AAAA", "Kestravon Ltd.", "Some Other Model"},
        {"CMD:PJL;MDL:X;CLS:PRINTER;MFG:KestravonCorp;", "KestravonCorp", "X"},
        {"MFG:Kestravon;MDL:;", "Kestravon", ""},
    };
    for (const Case& c : cases) {
        // Stale bits of an earlier parse must not survive: UNRECOGNISED is preset.
        ParseResult r = Parse(c.text, PCF_UNRECOGNISED | PCF_DOC_STARTED);
        EXPECT_TRUE(r.recognised) << c.text;
        EXPECT_EQ(r.flags, (DWORD)(PCF_MODEL_OK | PCF_MAKER_OK | PCF_DOC_STARTED))
            << c.text << ": flags 0x" << std::hex << r.flags;
        EXPECT_EQ(r.mfg, c.mfg) << c.text;
        EXPECT_EQ(r.mdl, c.mdl) << c.text;
    }
}

TEST(ParseDeviceIdTest, RefusesWhatDoesNotNameTheMakerExactly)
{
    struct Case {
        const char* why;
        const char* text;
        DWORD flags;  // recognition bits expected
    } cases[] = {
        {"maker in lower case", "MFG:kestravon;MDL:ZR-QM4471;", PCF_MODEL_OK | PCF_UNRECOGNISED},
        {"maker cut short", "MFG:Kestravo;MDL:ZR-QM4471;", PCF_MODEL_OK | PCF_UNRECOGNISED},
        {"extra letter after the key", "MFGX:Kestravon;MDL:ZR-QM4471;", PCF_MODEL_OK | PCF_UNRECOGNISED},
        {"extra letter before the key", "XMFG:Kestravon;MDL:ZR-QM4471;", PCF_MODEL_OK | PCF_UNRECOGNISED},
        {"model key with extra letter", "MFG:Kestravon;MDLX:ZR-QM4471;", PCF_MAKER_OK | PCF_UNRECOGNISED},
        {"key in lower case", "mfg:Kestravon;MDL:ZR-QM4471;", PCF_MODEL_OK | PCF_UNRECOGNISED},
        {"model without maker", "MDL:ZR-QM4471;CMD:PJL;", PCF_MODEL_OK | PCF_UNRECOGNISED},
        {"maker without model", "MFG:Kestravon;CMD:PJL;", PCF_MAKER_OK | PCF_UNRECOGNISED},
        {"blank before the model key", "MFG:Kestravon; MDL:ZR-QM4471;", PCF_MAKER_OK | PCF_UNRECOGNISED},
        {"blank before the maker key", "MDL:ZR-QM4471; MFG:Kestravon;", PCF_MODEL_OK | PCF_UNRECOGNISED},
        {"bare token swallows the model key", "MFG:Kestravon;FL1;MDL:ZR-QM4471;VSTATUS:AAAA",
         PCF_MAKER_OK | PCF_UNRECOGNISED},
        {"no colon at all", "Kestravon ZR-QM4471", PCF_UNRECOGNISED},
        {"empty text", "", PCF_UNRECOGNISED},
    };
    for (const Case& c : cases) {
        // Bits of an earlier, recognised parse are preset and must be cleared.
        ParseResult r = Parse(c.text, PCF_MODEL_OK | PCF_MAKER_OK);
        EXPECT_FALSE(r.recognised) << c.why << ": " << c.text;
        EXPECT_EQ(r.flags & kRecognitionFlags, c.flags)
            << c.why << ": flags 0x" << std::hex << r.flags << ", expected 0x" << c.flags;
    }
    // The value of an ignored key is not copied.
    EXPECT_EQ(Parse("MFG:Kestravon;FL1;MDL:ZR-QM4471;").mdl, "");
    EXPECT_EQ(Parse("MFG:kestravon;MDL:ZR-QM4471;").mfg, "");
}

TEST(ParseDeviceIdTest, LongValueIsCutAndTerminated)
{
    std::string maker = "Kestravon" + std::string(291, 'k');  // 300 characters
    std::string text = "MDL:ZR;MFG:" + maker + ";CMD:PJL;";
    ParseResult r = Parse(text);
    EXPECT_TRUE(r.recognised);
    EXPECT_EQ(r.mfg.size(), 259u);
    EXPECT_EQ(r.mfg, maker.substr(0, 259));
    EXPECT_EQ(r.mfgBuffer[259], '\0') << "the 260-byte buffer must stay terminated";
}

TEST(ParseDeviceIdTest, LongValueStaysInsideItsBuffer)
{
    // Guard bytes after the 260-byte buffers catch a copy that runs on.
    struct Guarded {
        char buf[NAME_BUFFER_SIZE];
        char guard[64];
    } mfg, mdl;
    std::memset(&mfg, 0, sizeof(mfg));
    std::memset(&mdl, 0, sizeof(mdl));
    std::memset(mfg.guard, 0x5A, sizeof(mfg.guard));
    std::memset(mdl.guard, 0x5A, sizeof(mdl.guard));
    std::string text = "MFG:Kestravon" + std::string(400, 'x') + ";MDL:" + std::string(500, 'y');
    std::vector<char> copy(DEVID_BUFFER_SIZE, '\0');
    std::memcpy(copy.data(), text.data(), text.size());
    PortContext ctx{};
    EXPECT_TRUE(ParseDeviceId(&ctx, copy.data(), mfg.buf, mdl.buf));
    EXPECT_EQ(std::string(mfg.guard, sizeof(mfg.guard)), std::string(sizeof(mfg.guard), '\x5A'))
        << "manufacturer copy ran past its buffer";
    EXPECT_EQ(std::string(mdl.guard, sizeof(mdl.guard)), std::string(sizeof(mdl.guard), '\x5A'))
        << "model copy ran past its buffer";
    EXPECT_EQ(strnlen(mdl.buf, sizeof(mdl.buf)), 259u);
}

TEST(ParseDeviceIdTest, LastPairWithoutSemicolonRunsToTheEnd)
{
    ParseResult r = Parse("MDL:ZR-QM4471;MFG:Kestravon Office Systems");
    EXPECT_TRUE(r.recognised);
    EXPECT_EQ(r.mfg, "Kestravon Office Systems");
    r = Parse("MFG:Kestravon;MDL:ZR-QM4471 Duplex");
    EXPECT_TRUE(r.recognised);
    EXPECT_EQ(r.mdl, "ZR-QM4471 Duplex");
}

TEST(ParseDeviceIdTest, LaterDuplicateKeyReplacesTheWholeValue)
{
    ParseResult r = Parse("MFG:Kestravon;MODEL:ZR-QM4471 Deluxe Edition;MDL:ZR;");
    EXPECT_TRUE(r.recognised);
    EXPECT_EQ(r.mdl, "ZR") << "leftover of the earlier, longer value";
    EXPECT_EQ(r.mdlBuffer, std::string("ZR") + std::string(NAME_BUFFER_SIZE - 2, '\0'));
    r = Parse("MANUFACTURER:Kestravon International;MFG:Kestravon;MDL:A;");
    EXPECT_EQ(r.mfg, "Kestravon");
}

// ---- FindVStatus ----

TEST(FindVStatusTest, FindsThePayloadOfTheFirstField)
{
    struct Case {
        const char* text;
        long offset;  // of the payload, -1 for none
    } cases[] = {
        {"MFG:Kestravon;VSTATUS:AAAA", 22},
        {"VER:1;VSTATUS;VSTATUS:x;VSTATUS:y", 22},
        {"VSTATUS:", 8},
        {"MFG:Kestravon;STATUS:AAAA", -1},
        {"MFG:Kestravon;VSTATUS", -1},
        {"vstatus:AAAA", -1},
        {"", -1},
    };
    for (const Case& c : cases) {
        char* payload = FindVStatus(c.text);
        long offset = payload == nullptr ? -1 : (long)(payload - c.text);
        EXPECT_EQ(offset, c.offset) << c.text;
    }
}

// ---- DecodeVStatus ----

struct DecodeResult {
    BOOL decoded;
    std::string text;   // the text after the call
    std::string bytes;  // decoded bytes (len of them)
    DWORD len;
};

DecodeResult Decode(const std::string& text)
{
    std::vector<char> buf(DEVID_BUFFER_SIZE, '\0');
    std::memcpy(buf.data(), text.data(), text.size());
    std::vector<BYTE> out(DEVID_BUFFER_SIZE, 0);
    DecodeResult r;
    r.len = 0xdeadbeef;
    char* payload = FindVStatus(buf.data());
    EXPECT_NE(payload, nullptr) << text;
    if (payload == nullptr)
        return r;
    r.decoded = DecodeVStatus(buf.data(), payload, out.data(), &r.len);
    r.text = buf.data();
    if (r.decoded && r.len <= out.size())
        r.bytes.assign((const char*)out.data(), r.len);
    return r;
}

TEST(DecodeVStatusTest, DecodesAndRewritesTheFlag)
{
    std::string record = kvtest::StatusRecord(50130);
    DecodeResult r = Decode(kvtest::KestravonId(50130));
    ASSERT_TRUE(r.decoded);
    EXPECT_EQ(r.len, 24u);
    EXPECT_EQ(r.bytes, record);
    EXPECT_EQ(r.text, "MFG:Kestravon;MDL:ZR-QM4471;CMD:PJL;FL0;VSTATUS:" + kvtest::Base64Encode(record));
}

TEST(DecodeVStatusTest, FlagInsideEarlierValueIsTakenOnlyOnce)
{
    std::string payload = kvtest::Base64Encode("abcdef");
    DecodeResult r = Decode("MFG:Kestravon;DES:FX FLY FL1;x;MDL:A;FL1;VSTATUS:" + payload);
    ASSERT_TRUE(r.decoded);
    EXPECT_EQ(r.text, "MFG:Kestravon;DES:FX FLY FL0;x;MDL:A;FL1;VSTATUS:" + payload)
        << "only the first \"FL1;\" is rewritten";
    EXPECT_EQ(r.bytes, "abcdef");
}

TEST(DecodeVStatusTest, RefusalsLeaveTheTextAlone)
{
    struct Case {
        const char* why;
        std::string text;
    } cases[] = {
        {"payload of 30 characters", "MFG:Kestravon;FL1;VSTATUS:" + std::string(30, 'A')},
        {"payload of 1 character", "MFG:Kestravon;FL1;VSTATUS:A"},
        {"payload of 33 characters", "FL1;VSTATUS:" + kvtest::Base64Encode(std::string(24, 'x')) + ";"},
        {"flag only inside the payload", "MFG:Kestravon;VSTATUS:FL1;AAAA"},
        {"no flag", "MFG:Kestravon;FL0;VSTATUS:AAAA"},
        {"flag in lower case", "MFG:Kestravon;fl1;VSTATUS:AAAA"},
        {"flag without its semicolon", "MFG:Kestravon;FL1:VSTATUS:AAAA"},
    };
    for (const Case& c : cases) {
        DecodeResult r = Decode(c.text);
        EXPECT_FALSE(r.decoded) << c.why;
        EXPECT_EQ(r.text, c.text) << c.why << ": text changed";
    }
}

TEST(DecodeVStatusTest, EmptyPayloadDecodesToNothing)
{
    DecodeResult r = Decode("MFG:Kestravon;FL1;VSTATUS:");
    EXPECT_TRUE(r.decoded);
    EXPECT_EQ(r.len, 0u);
    EXPECT_EQ(r.text, "MFG:Kestravon;FL0;VSTATUS:");
}

// ---- Base64Decode ----

// Decodes in into a buffer prefilled with 0xEE; the bytes it produced, plus whether any
// byte beyond them was touched.
std::string DecodeBase64(const std::string& in, bool* wroteBeyond = nullptr)
{
    std::vector<BYTE> out(in.size() + 16, 0xEE);
    DWORD len = (DWORD)in.size();
    Base64Decode(in.data(), &len, out.data());
    EXPECT_LE(len, in.size()) << in;
    len = std::min<DWORD>(len, (DWORD)in.size());
    if (wroteBeyond != nullptr) {
        *wroteBeyond = false;
        for (size_t i = len; i < out.size(); i++)
            *wroteBeyond |= out[i] != 0xEE;
    }
    return std::string((const char*)out.data(), len);
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : bytes) {
        s += digits[c >> 4];
        s += digits[c & 15];
        s += ' ';
    }
    return s;
}

TEST(Base64DecodeTest, PaddingEndsTheInput)
{
    struct Case {
        const char* in;
        std::string expected;
    } cases[] = {
        {"AQID", "\x01\x02\x03"},
        {"AQIDBA==", std::string("\x01\x02\x03\x04")},
        {"AQIDBAU=", std::string("\x01\x02\x03\x04\x05")},
        {"AQIDBA==BQYH", std::string("\x01\x02\x03\x04")},  // nothing after the first padded group
        {"AQIDBAU=BQYH", std::string("\x01\x02\x03\x04\x05")},
        {"AQ==AQID", std::string("\x01")},
        {"AQ=A", std::string("\x01")},  // '=' third: one byte, whatever the fourth holds
        {"", ""},
    };
    for (const Case& c : cases) {
        bool beyond = false;
        std::string got = DecodeBase64(c.in, &beyond);
        EXPECT_EQ(Hex(got), Hex(c.expected)) << "\"" << c.in << "\"";
        EXPECT_FALSE(beyond) << "\"" << c.in << "\": wrote past the decoded bytes";
    }
}

TEST(Base64DecodeTest, EqualsSignFirstOrSecondInAGroupIsAnOrdinaryCharacter)
{
    // There '=' is outside the alphabet (255) like any foreign character; decoding goes on.
    struct Case {
        const char* in;
        std::string expected;
    } cases[] = {
        {"=AAAAQID", std::string("\xFC\x00\x00\x01\x02\x03", 6)},
        {"A=AAAQID", std::string("\x03\xF0\x00\x01\x02\x03", 6)},
        {"==AAAQID", std::string("\xFF\xF0\x00\x01\x02\x03", 6)},
        {"AQID=A==", std::string("\x01\x02\x03\xFC", 4)},  // padded group with '=' first
        {"AQIDA=A=", std::string("\x01\x02\x03\x03\xF0", 5)},
    };
    for (const Case& c : cases) {
        bool beyond = false;
        std::string got = DecodeBase64(c.in, &beyond);
        EXPECT_EQ(Hex(got), Hex(c.expected)) << "\"" << c.in << "\"";
        EXPECT_FALSE(beyond) << "\"" << c.in << "\": wrote past the decoded bytes";
    }

    // A device's record keeps its status code when an early group carries such a '='.
    std::string payload = kvtest::Base64Encode(kvtest::StatusRecord(42632));
    payload[1] = '=';
    DecodeResult r = Decode("MFG:Kestravon;MDL:ZR-QM4471;FL1;VSTATUS:" + payload);
    ASSERT_TRUE(r.decoded);
    ASSERT_EQ(r.len, 24u);
    EXPECT_EQ((BYTE)r.bytes[21] * 256 + (BYTE)r.bytes[22], 42632);
}

TEST(Base64DecodeTest, PartialTrailingGroupIsIgnored)
{
    DWORD len = 6;
    BYTE out[16];
    std::memset(out, 0xEE, sizeof(out));
    Base64Decode("AQIDBA", &len, out);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(Hex(std::string((const char*)out, 4)), Hex("\x01\x02\x03\xEE"));
}

TEST(Base64DecodeTest, CharactersOutsideTheAlphabetCount255)
{
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; i++)
        EXPECT_EQ(Base64CharValue(alphabet[i]), i) << "'" << alphabet[i] << "'";
    const char outside[] = {'=', '-', '_', ' ', '*', '\0', '\x80', '\xFF', '@', '[', '`', '{', ':'};
    for (char c : outside)
        EXPECT_EQ(Base64CharValue(c), 255) << "character 0x" << std::hex << (int)(unsigned char)c;

    struct Case {
        const char* in;
        std::string expected;
    } cases[] = {
        {"AAA*", std::string("\x00\x00\xFF", 3)},      // fourth invalid: third byte 0xFF
        {"AA*A", std::string("\x00\x0F\xC0", 3)},      // 255 shifted into bytes 2 and 3
        {"*AAA", std::string("\xFC\x00\x00", 3)},      // first byte truncated to 8 bits
        {"A*AA", std::string("\x03\xF0\x00", 3)},
        {"AA-=", std::string("\x00\x0F", 2)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Hex(DecodeBase64(c.in)), Hex(c.expected)) << "\"" << c.in << "\"";
}

TEST(Base64DecodeTest, RoundTripsRandomBytes)
{
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> length(0, 300);
    std::uniform_int_distribution<int> byte(0, 255);
    int failures = 0;
    for (int n = 0; n < 4000 && failures < 5; n++) {
        std::string bytes(length(rng), '\0');
        for (char& c : bytes)
            c = (char)byte(rng);
        std::string encoded = kvtest::Base64Encode(bytes);
        bool beyond = false;
        std::string decoded = DecodeBase64(encoded, &beyond);
        if (decoded != bytes || beyond) {
            failures++;
            ADD_FAILURE() << "sample " << n << ", " << bytes.size() << " bytes, encoded \"" << encoded
                          << "\"\n  decoded:  " << Hex(decoded) << "\n  expected: " << Hex(bytes)
                          << (beyond ? "\n  and wrote past the decoded bytes" : "");
        }
    }
}

}  // namespace
