// Reply and block analysis with the monitor's own functions, and the tools' text helpers.
#include "devstatus.h"

#include <winspool.h>

#include <cstdio>
#include <cstring>

namespace kvtools {

namespace {

std::string Upper(const std::string& s)
{
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

// The pairs of a device ID walked as ParseDeviceId walks them: a key runs to the first
// ':' (colon included), its value to the next ';'.
struct Pair {
    std::string key;
    std::string value;
};
std::vector<Pair> WalkPairs(const char* text)
{
    std::vector<Pair> pairs;
    const char* p = text;
    while (p != nullptr && *p != '\0') {
        const char* colon = std::strchr(p, ':');
        if (colon == nullptr)
            break;
        const char* value = colon + 1;
        const char* semicolon = std::strchr(value, ';');
        Pair pair;
        pair.key.assign(p, static_cast<size_t>(value - p));
        pair.value = semicolon != nullptr ? std::string(value, static_cast<size_t>(semicolon - value)) : value;
        pairs.push_back(pair);
        p = semicolon != nullptr ? semicolon + 1 : nullptr;
    }
    return pairs;
}

// Why one of the two recognition keys was not accepted.
std::string KeyProblem(const std::vector<Pair>& pairs, const char* what, const char* exact1, const char* exact2,
                       const char* accepted)
{
    for (const auto& p : pairs) {
        if (p.key == exact1 || p.key == exact2) {
            return std::string(what) + " \"" + Escape(p.value, 60) + "\" does not begin with \"" + accepted +
                   "\" (compared with case)";
        }
    }
    std::string stem1(exact1, std::strlen(exact1) - 1);
    std::string stem2(exact2, std::strlen(exact2) - 1);
    for (const auto& p : pairs) {
        std::string key = Upper(p.key);
        if (key.find(stem1) != std::string::npos || key.find(stem2) != std::string::npos) {
            return std::string(what) + " key \"" + Escape(p.key, 60) + "\" is not exactly \"" + exact1 + "\" or \"" +
                   exact2 + "\" (keys are taken as they stand, from just after the previous ';')";
        }
    }
    return std::string("no ") + what + " key (\"" + exact1 + "\" or \"" + exact2 + "\")";
}

void FillCode(Analysis& a, WORD code)
{
    a.hasCode = true;
    a.code = code;
    a.row = StatusRow(code);
    const StatusCodeRow* row = FindStatusCode(code);
    a.bits = row != nullptr ? row->printerStatus : 0;
    a.offline = row != nullptr ? row->markOffline != 0 : true;
    if (a.offline)
        a.bits |= PRINTER_STATUS_OFFLINE;
    a.notifies = !a.offline;
}

// Position of the first "FL1;" (or "FL0;") before the payload, or npos.
size_t FlagBefore(const char* text, size_t payload, const char* flag)
{
    const char* f = std::strstr(text, flag);
    if (f == nullptr || static_cast<size_t>(f - text) >= payload)
        return std::string::npos;
    return static_cast<size_t>(f - text);
}

// Recognition of a NUL-terminated device ID in a 1024-byte buffer, with a scratch context.
void Recognise(Analysis& a, const char* buffer, size_t length)
{
    PortContext ctx;
    std::memset(&ctx, 0, sizeof ctx);
    ctx.signature = PORT_CONTEXT_SIGNATURE;
    char copy[DEVID_BUFFER_SIZE];
    char mfg[NAME_BUFFER_SIZE];
    char mdl[NAME_BUFFER_SIZE];
    std::memset(copy, 0, sizeof copy);
    std::memset(mfg, 0, sizeof mfg);
    std::memset(mdl, 0, sizeof mdl);
    std::memcpy(copy, buffer, length);
    ParseDeviceId(&ctx, copy, mfg, mdl);
    a.manufacturer.assign(mfg, strnlen(mfg, sizeof mfg));
    a.model.assign(mdl, strnlen(mdl, sizeof mdl));
    a.makerOk = (ctx.flags & PCF_MAKER_OK) != 0;
    a.modelOk = (ctx.flags & PCF_MODEL_OK) != 0;
    a.recognised = (ctx.flags & PCF_UNRECOGNISED) == 0;
    if (!a.recognised) {
        std::vector<Pair> pairs = WalkPairs(buffer);
        if (!a.makerOk)
            a.makerWhy = KeyProblem(pairs, "manufacturer", "MFG:", "MANUFACTURER:", "Kestravon");
        if (!a.modelOk)
            a.modelWhy = KeyProblem(pairs, "model", "MDL:", "MODEL:", "an entry of the model table");
        a.whyNot = a.makerWhy + (!a.makerWhy.empty() && !a.modelWhy.empty() ? "; " : "") + a.modelWhy;
    }
}

// A raw block is the reply less its last two bytes, and its length field is the reply's
// length. Record bytes 21-22 may be among the two left out: then the monitor read bytes
// that the block does not hold. Bytes past the reply's end were zero in the monitor's
// buffer. Lists every table row whose code fits the bytes the block does hold.
void FindMissingCodeBytes(BlockAnalysis& b)
{
    Analysis& a = b.detail;
    size_t cutFrom = b.lengthField >= 2 ? b.lengthField - 2u : 0;  // reply offsets of the lost bytes
    size_t replyEnd = b.lengthField;
    for (int i = 0; i < 2; i++) {
        size_t pos = a.payloadOffset + 21 + static_cast<size_t>(i);
        if (pos >= cutFrom && pos < replyEnd && pos < DEVID_BUFFER_SIZE)
            b.missingCodeBytes |= 1u << i;
    }
    if (b.missingCodeBytes == 0)
        return;
    a.codeKnown = false;
    WORD known = a.code;  // missing bytes read as zero
    WORD mask = static_cast<WORD>(((b.missingCodeBytes & 1) ? 0x00FF : 0xFFFF) & ((b.missingCodeBytes & 2) ? 0xFF00 : 0xFFFF));
    for (int i = 0; StatusCodeTable[i].code != 0; i++) {
        WORD code = StatusCodeTable[i].code;
        if ((code & mask) == (known & mask) && StatusRow(code) == i + 1)
            b.candidateRows.push_back(i + 1);
    }
}

}  // namespace

// ---- analysis ----

Analysis AnalyseReply(const std::string& bytes)
{
    Analysis a;
    a.givenLength = bytes.size();
    if (bytes.empty()) {
        FillCode(a, STATUS_NO_RESPONSE);
        return a;
    }
    a.answered = true;

    // The query's zero-filled 1024-byte buffer and the count, as ProcessDeviceId cuts them.
    char reply[DEVID_BUFFER_SIZE];
    std::memset(reply, 0, sizeof reply);
    a.length = bytes.size() < sizeof reply ? bytes.size() : sizeof reply;
    std::memcpy(reply, bytes.data(), a.length);
    if (std::memchr(reply, '\0', sizeof reply) == nullptr) {
        reply[DEVID_BUFFER_SIZE - 1] = '\0';
        a.terminated = true;
    }
    a.reply.assign(reply, a.length);

    Recognise(a, reply, a.length);
    if (!a.recognised)
        return a;

    char* payload = FindVStatus(reply);
    if (payload == nullptr)
        return a;
    a.hasStatusField = true;
    a.payloadOffset = static_cast<size_t>(payload - reply);
    a.payloadTextLength = std::strlen(payload);

    if (FlagBefore(reply, a.payloadOffset, "FL1;") == std::string::npos)
        a.rawReason = "no \"FL1;\" before the status field: the payload is the record itself";
    else if (a.payloadTextLength % 4 != 0)
        a.rawReason = "\"FL1;\" is there, but the payload's " + std::to_string(a.payloadTextLength) +
                      " characters are not a multiple of 4: not decoded, \"FL1;\" stays, the Base64 text is the record";

    BYTE record[DEVID_BUFFER_SIZE];
    std::memset(record, 0, sizeof record);
    DWORD recordLen = 0;
    a.decoded = DecodeVStatus(reply, payload, record, &recordLen) != FALSE;
    a.text.assign(reply, a.payloadOffset);

    WORD code;
    if (a.decoded) {
        // The decoder takes any character; one outside the alphabet reads as 255.
        static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
        for (size_t i = 0; i < a.payloadTextLength; i++) {
            if (std::strchr(kAlphabet, payload[i]) != nullptr)
                continue;
            if (a.notBase64++ == 0)
                a.firstNotBase64 = i;
        }
        a.record.assign(reinterpret_cast<const char*>(record), recordLen);
        size_t blockLen = a.payloadOffset + recordLen + 2;
        a.block = std::string(1, static_cast<char>(blockLen >> 8)) + static_cast<char>(blockLen & 0xFF) + a.text +
                  a.record;
        code = StatusCodeAt(record, 0);
    } else {
        a.record.assign(reply + a.payloadOffset, a.length > a.payloadOffset ? a.length - a.payloadOffset : 0);
        if (a.length >= 2) {
            a.block = std::string(1, static_cast<char>(a.length >> 8)) + static_cast<char>(a.length & 0xFF) +
                      std::string(reply, a.length - 2);
        }
        code = StatusCodeAt(reinterpret_cast<const BYTE*>(reply), static_cast<DWORD>(a.payloadOffset));
    }
    FillCode(a, code);
    a.codeInRecord = a.record.size() >= 22;
    return a;
}

BlockAnalysis AnalyseBlock(const std::string& bytes)
{
    BlockAnalysis b;
    if (bytes.size() < 2) {
        b.error = "the block is shorter than its length field";
        return b;
    }
    b.lengthField = static_cast<WORD>(static_cast<unsigned char>(bytes[0]) << 8 | static_cast<unsigned char>(bytes[1]));
    if (b.lengthField < 2) {
        b.error = "length field " + std::to_string(b.lengthField) + " is less than the field itself";
        return b;
    }
    if (b.lengthField > bytes.size()) {
        b.error = "length field " + std::to_string(b.lengthField) + " runs past the " + std::to_string(bytes.size()) +
                  " bytes of the mapping";
        return b;
    }
    b.valid = true;
    b.body = bytes.substr(2, b.lengthField - 2u);

    Analysis& a = b.detail;
    a.answered = true;
    a.givenLength = b.body.size();
    char text[DEVID_BUFFER_SIZE];
    std::memset(text, 0, sizeof text);
    a.length = b.body.size() < sizeof text ? b.body.size() : sizeof text;
    std::memcpy(text, b.body.data(), a.length);
    if (std::memchr(text, '\0', sizeof text) == nullptr) {
        text[DEVID_BUFFER_SIZE - 1] = '\0';
        a.terminated = true;
    }
    a.reply.assign(text, a.length);
    Recognise(a, text, a.length);

    const char* payload = FindVStatus(text);
    if (payload == nullptr)
        return b;
    a.hasStatusField = true;
    a.payloadOffset = static_cast<size_t>(payload - text);
    a.text = b.body.substr(0, a.payloadOffset);
    a.record = b.body.substr(a.payloadOffset);
    b.decodedForm = FlagBefore(text, a.payloadOffset, "FL0;") != std::string::npos;
    a.decoded = b.decodedForm;

    // The code as the monitor reads it from its zero-filled reply buffer (raw form) or
    // decoded record (decoded form), both of which the body stands for here.
    FillCode(a, StatusCodeAt(reinterpret_cast<const BYTE*>(text), static_cast<DWORD>(a.payloadOffset)));
    if (!b.decodedForm)
        FindMissingCodeBytes(b);
    return b;
}

}  // namespace kvtools
