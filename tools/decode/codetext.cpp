// The tools' text helpers: escapes, hex, device ID builders, status codes by name.
#include "devstatus.h"

#include <winspool.h>

#include <cstdio>

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

std::vector<std::string> StatusBitList(DWORD bits)
{
    std::vector<std::string> names;
    DWORD rest = bits;
    for (const auto& b : kBitNames) {
        if (bits & b.bit) {
            names.push_back(b.name);
            rest &= ~b.bit;
        }
    }
    if (rest != 0)
        names.push_back(Hex32(rest));
    return names;
}

std::string StatusBitNames(DWORD bits)
{
    if (bits == 0)
        return "none";
    std::string out;
    for (const auto& name : StatusBitList(bits))
        out += (out.empty() ? "" : " | ") + name;
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

}  // namespace kvtools
