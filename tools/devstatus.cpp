// Reply and block analysis with the monitor's own functions, and the tools' text helpers.
#include "devstatus.h"

#include <winspool.h>

#include <cstdio>
#include <cstring>
#include <iomanip>

namespace kvtools {

namespace {

const char kHexDigits[] = "0123456789abcdef";

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

struct BitName {
    DWORD bit;
    const char* name;
};
const BitName kBitNames[] = {
    {PRINTER_STATUS_PAUSED, "PAUSED"},
    {PRINTER_STATUS_ERROR, "ERROR"},
    {PRINTER_STATUS_PENDING_DELETION, "PENDING_DELETION"},
    {PRINTER_STATUS_PAPER_JAM, "PAPER_JAM"},
    {PRINTER_STATUS_PAPER_OUT, "PAPER_OUT"},
    {PRINTER_STATUS_MANUAL_FEED, "MANUAL_FEED"},
    {PRINTER_STATUS_PAPER_PROBLEM, "PAPER_PROBLEM"},
    {PRINTER_STATUS_OFFLINE, "OFFLINE"},
    {PRINTER_STATUS_IO_ACTIVE, "IO_ACTIVE"},
    {PRINTER_STATUS_BUSY, "BUSY"},
    {PRINTER_STATUS_PRINTING, "PRINTING"},
    {PRINTER_STATUS_OUTPUT_BIN_FULL, "OUTPUT_BIN_FULL"},
    {PRINTER_STATUS_NOT_AVAILABLE, "NOT_AVAILABLE"},
    {PRINTER_STATUS_WAITING, "WAITING"},
    {PRINTER_STATUS_PROCESSING, "PROCESSING"},
    {PRINTER_STATUS_INITIALIZING, "INITIALIZING"},
    {PRINTER_STATUS_WARMING_UP, "WARMING_UP"},
    {PRINTER_STATUS_TONER_LOW, "TONER_LOW"},
    {PRINTER_STATUS_NO_TONER, "NO_TONER"},
    {PRINTER_STATUS_PAGE_PUNT, "PAGE_PUNT"},
    {PRINTER_STATUS_USER_INTERVENTION, "USER_INTERVENTION"},
    {PRINTER_STATUS_OUT_OF_MEMORY, "OUT_OF_MEMORY"},
    {PRINTER_STATUS_DOOR_OPEN, "DOOR_OPEN"},
    {PRINTER_STATUS_SERVER_UNKNOWN, "SERVER_UNKNOWN"},
    {PRINTER_STATUS_POWER_SAVE, "POWER_SAVE"},
};

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
        std::string why;
        if (!a.makerOk)
            why = KeyProblem(pairs, "manufacturer", "MFG:", "MANUFACTURER:", "Kestravon");
        if (!a.modelOk) {
            if (!why.empty())
                why += "; ";
            why += KeyProblem(pairs, "model", "MDL:", "MODEL:", "an entry of the model table");
        }
        a.whyNot = why;
    }
}

}  // namespace

// ---- text ----

std::string Escape(const std::string& bytes, size_t max, bool keepHigh)
{
    std::string out;
    size_t i = 0;
    for (; i < bytes.size(); i++) {
        if (max != 0 && out.size() >= max)
            break;
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if ((c >= 0x20 && c < 0x7f) || (keepHigh && c >= 0x80)) {
                out += static_cast<char>(c);
            } else {
                out += "\\x";
                out += kHexDigits[c >> 4];
                out += kHexDigits[c & 15];
            }
        }
    }
    if (i < bytes.size())
        out += "...(" + std::to_string(bytes.size() - i) + " more bytes)";
    return out;
}

bool Unescape(const std::string& text, std::string* bytes, std::string* error)
{
    bytes->clear();
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c != '\\') {
            *bytes += c;
            continue;
        }
        if (++i >= text.size()) {
            *error = "a '\\' at the end";
            return false;
        }
        switch (text[i]) {
        case '\\':
            *bytes += '\\';
            break;
        case '"':
            *bytes += '"';
            break;
        case '\'':
            *bytes += '\'';
            break;
        case 'n':
            *bytes += '\n';
            break;
        case 'r':
            *bytes += '\r';
            break;
        case 't':
            *bytes += '\t';
            break;
        case '0':
            *bytes += '\0';
            break;
        case 'x': {
            int value = 0;
            int digits = 0;
            while (digits < 2 && i + 1 < text.size() && HexValue(text[i + 1]) >= 0) {
                value = value * 16 + HexValue(text[++i]);
                digits++;
            }
            if (digits == 0) {
                *error = "\\x without hex digits";
                return false;
            }
            *bytes += static_cast<char>(value);
            break;
        }
        default:
            *error = std::string("unknown escape \\") + text[i];
            return false;
        }
    }
    return true;
}

std::string HexBytes(const std::string& bytes, size_t max)
{
    std::string out;
    size_t n = max != 0 && bytes.size() > max ? max : bytes.size();
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (i != 0)
            out += ' ';
        out += kHexDigits[c >> 4];
        out += kHexDigits[c & 15];
    }
    if (n < bytes.size())
        out += " ...";
    return out;
}

std::string Hex32(DWORD value)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(value));
    return buf;
}

// ---- device IDs ----

std::string StatusRecord(WORD code)
{
    std::string record(24, '\0');
    record[21] = static_cast<char>(code >> 8);
    record[22] = static_cast<char>(code & 0xFF);
    return record;
}

std::string KestravonReply(WORD code, bool raw, const std::string& maker, const std::string& model)
{
    std::string head = "MFG:" + maker + ";MDL:" + model + ";CMD:PJL;";
    if (raw)
        return head + "VSTATUS:" + StatusRecord(code);
    return head + "FL1;VSTATUS:" + Base64Encode(StatusRecord(code));
}

// ---- status codes ----

std::string StatusBitNames(DWORD bits)
{
    if (bits == 0)
        return "none";
    std::string out;
    DWORD rest = bits;
    for (const auto& b : kBitNames) {
        if (bits & b.bit) {
            if (!out.empty())
                out += " | ";
            out += b.name;
            rest &= ~b.bit;
        }
    }
    if (rest != 0) {
        if (!out.empty())
            out += " | ";
        out += Hex32(rest);
    }
    return out;
}

int StatusRow(WORD code)
{
    const StatusCodeRow* row = FindStatusCode(code);
    return row != nullptr ? static_cast<int>(row - StatusCodeTable) + 1 : 0;
}

int StatusRowCount()
{
    int n = 0;
    while (StatusCodeTable[n].code != 0)
        n++;
    return n;
}

std::string RowMeaning(const StatusCodeRow& row)
{
    if (row.code == STATUS_NO_RESPONSE)
        return "device does not answer: printer offline";
    std::string what;
    switch (row.printerStatus) {
    case 0:
        what = row.markOffline ? "" : "no error: the printer shows no status bits";
        break;
    case PRINTER_STATUS_USER_INTERVENTION | PRINTER_STATUS_ERROR:
        what = "printer error, needs attention";
        break;
    case PRINTER_STATUS_DOOR_OPEN | PRINTER_STATUS_USER_INTERVENTION:
        what = "door open";
        break;
    case PRINTER_STATUS_USER_INTERVENTION | PRINTER_STATUS_NO_TONER:
        what = "toner empty";
        break;
    case PRINTER_STATUS_USER_INTERVENTION | PRINTER_STATUS_PAPER_JAM:
        what = "paper jam";
        break;
    case PRINTER_STATUS_USER_INTERVENTION | PRINTER_STATUS_OUTPUT_BIN_FULL:
        what = "output bin full";
        break;
    case PRINTER_STATUS_PAPER_OUT:
        what = "paper out";
        break;
    default:
        what = StatusBitNames(row.printerStatus);
    }
    if (row.markOffline)
        return what.empty() ? "printer offline" : what + ", printer offline";
    return what;
}

std::string CodeMeaning(WORD code)
{
    const StatusCodeRow* row = FindStatusCode(code);
    if (row == nullptr)
        return "code not in the table: printer offline";
    return RowMeaning(*row);
}

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
        a.record.assign(reinterpret_cast<const char*>(record), recordLen);
        size_t blockLen = a.payloadOffset + recordLen + 2;
        a.block = std::string(1, static_cast<char>(blockLen >> 8)) + static_cast<char>(blockLen & 0xFF) + a.text +
                  a.record;
        code = static_cast<WORD>(record[21] * 256 + record[22]);
    } else {
        a.record.assign(reply + a.payloadOffset, a.length > a.payloadOffset ? a.length - a.payloadOffset : 0);
        if (a.length >= 2) {
            a.block = std::string(1, static_cast<char>(a.length >> 8)) + static_cast<char>(a.length & 0xFF) +
                      std::string(reply, a.length - 2);
        }
        auto at = [&](size_t i) {
            size_t pos = a.payloadOffset + i;
            return pos < sizeof reply ? static_cast<unsigned char>(reply[pos]) : 0u;
        };
        code = static_cast<WORD>(at(21) * 256 + at(22));
    }
    FillCode(a, code);
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

    auto at = [&](size_t i) { return i < a.record.size() ? static_cast<unsigned char>(a.record[i]) : 0u; };
    FillCode(a, static_cast<WORD>(at(21) * 256 + at(22)));
    // A decoded record shorter than 23 bytes reads as zeros behind its end; a raw block
    // leaves out the reply's last two bytes, so the code may simply not be in it.
    if (!b.decodedForm && a.record.size() < 23)
        a.codeKnown = false;
    return b;
}

// ---- reports ----

namespace {

void Line(std::ostream& out, const char* label, const std::string& value)
{
    out << std::left << std::setw(14) << label << value << '\n';
}

std::string CodeText(WORD code)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u (0x%04x)", static_cast<unsigned>(code), static_cast<unsigned>(code));
    return buf;
}

void PrintCode(std::ostream& out, const Analysis& a)
{
    const StatusCodeRow* row = FindStatusCode(a.code);
    if (row != nullptr) {
        Line(out, "table row", std::to_string(a.row) + ": code " + std::to_string(row->code) + ", bits " +
                                   Hex32(row->printerStatus) + ", markOffline " + std::to_string(row->markOffline));
    } else {
        Line(out, "table row", "none: the code is not in the table");
    }
    Line(out, "meaning", CodeMeaning(a.code));
    Line(out, "printer bits", Hex32(a.bits) + " " + StatusBitNames(a.bits));
    Line(out, "offline", a.offline ? "yes" : "no");
}

}  // namespace

std::string CodeSummary(const Analysis& a)
{
    std::string row = a.row != 0 ? "row " + std::to_string(a.row) : "not in the table";
    return "code " + std::to_string(a.code) + " (" + row + "): " + CodeMeaning(a.code) + "; printer bits " +
           StatusBitNames(a.bits);
}

void PrintAnalysis(std::ostream& out, const Analysis& a)
{
    if (!a.answered) {
        Line(out, "reply", "none (an empty reply counts as no answer)");
        Line(out, "code", CodeText(a.code) + ", applied when the device does not answer");
        PrintCode(out, a);
        Line(out, "notified", "no (offline)");
        Line(out, "block", "none; an open status block is closed");
        return;
    }
    std::string length = std::to_string(a.givenLength) + " bytes";
    if (a.givenLength > a.length)
        length += ", cut to the " + std::to_string(a.length) + " bytes of the reply buffer";
    Line(out, "reply", length);
    if (a.terminated)
        Line(out, "", "a full buffer without NUL: byte 1023 is read as NUL");
    Line(out, "text", "\"" + Escape(a.reply) + "\"");
    Line(out, "manufacturer", a.makerOk ? a.manufacturer : "(not accepted)");
    Line(out, "model", a.modelOk ? a.model : "(not accepted)");
    if (!a.recognised) {
        Line(out, "recognised", "no: " + a.whyNot);
        Line(out, "result", "nothing published, the printer's status stays as it was, nobody is notified");
        return;
    }
    Line(out, "recognised", "yes");
    if (!a.hasStatusField) {
        Line(out, "status field", "none (no \"VSTATUS:\")");
        Line(out, "result", "nothing published, the printer's status stays as it was, nobody is notified");
        return;
    }
    Line(out, "status field", "\"VSTATUS:\" payload at offset " + std::to_string(a.payloadOffset) + ", " +
                                  std::to_string(a.payloadTextLength) + " characters");
    if (a.decoded) {
        Line(out, "form", "decoded: Base64 (\"FL1;\"), " + std::to_string(a.payloadTextLength) + " characters -> " +
                              std::to_string(a.record.size()) + " bytes; \"FL1;\" now reads \"FL0;\"");
    } else {
        Line(out, "form", "raw: " + a.rawReason);
    }
    Line(out, "record", std::to_string(a.record.size()) + " bytes: " + HexBytes(a.record, 64));
    Line(out, "code", CodeText(a.code) + " from record bytes 21-22");
    PrintCode(out, a);
    Line(out, "notified", a.notifies ? "yes, when the code or the bits change (vuelog.err, \"QRT command message\")"
                                     : "no (offline)");
    if (a.block.empty()) {
        Line(out, "block", "none (a reply under 2 bytes has no room for the length field)");
    } else {
        Line(out, "block", std::to_string(a.block.size()) + " bytes, " +
                               (a.decoded ? "decoded form" : "raw form (the reply less its last 2 bytes)") + ": " +
                               HexBytes(a.block, 24));
    }
}

void PrintBlockAnalysis(std::ostream& out, const BlockAnalysis& b)
{
    if (!b.valid) {
        Line(out, "block", "unreadable: " + b.error);
        return;
    }
    const Analysis& a = b.detail;
    char field[64];
    std::snprintf(field, sizeof field, "%u (0x%04x), body %u bytes", static_cast<unsigned>(b.lengthField),
                  static_cast<unsigned>(b.lengthField), static_cast<unsigned>(b.body.size()));
    Line(out, "length field", field);
    if (!a.hasStatusField) {
        Line(out, "text", "\"" + Escape(b.body, 200) + "\"");
        Line(out, "form", "unknown: no \"VSTATUS:\" in the block");
        return;
    }
    Line(out, "form", b.decodedForm ? "decoded (\"FL0;\": the record follows \"VSTATUS:\" as bytes)"
                                    : "raw (the device's reply less its last 2 bytes)");
    Line(out, "text", "\"" + Escape(a.text) + "\"");
    Line(out, "manufacturer", a.makerOk ? a.manufacturer : "(not accepted)");
    Line(out, "model", a.modelOk ? a.model : "(not accepted)");
    Line(out, "record", std::to_string(a.record.size()) + " bytes: " + HexBytes(a.record, 64));
    if (!a.codeKnown) {
        Line(out, "code", "unknown: record bytes 21-22 are not both in the block (a raw block leaves out the "
                          "reply's last 2 bytes)");
        return;
    }
    Line(out, "code", CodeText(a.code) + " from record bytes 21-22");
    PrintCode(out, a);
}

void PrintCodeTable(std::ostream& out)
{
    out << std::left << std::setw(5) << "row" << std::setw(7) << "code" << std::setw(12) << "bits"
        << std::setw(9) << "offline" << std::setw(40) << "printer bits set" << "meaning\n";
    for (int i = 0; StatusCodeTable[i].code != 0; i++) {
        const StatusCodeRow& row = StatusCodeTable[i];
        std::string meaning = RowMeaning(row);
        DWORD bits = row.printerStatus | (row.markOffline ? PRINTER_STATUS_OFFLINE : 0);
        int first = StatusRow(row.code);
        if (first != i + 1)
            meaning += " (never used: row " + std::to_string(first) + " has the same code)";
        out << std::left << std::setw(5) << i + 1 << std::setw(7) << row.code << std::setw(12)
            << Hex32(row.printerStatus) << std::setw(9) << (row.markOffline ? "yes" : "no") << std::setw(40)
            << StatusBitNames(bits) << meaning << '\n';
    }
    out << "Any other code: printer offline (OFFLINE), companion not notified.\n";
}

}  // namespace kvtools
