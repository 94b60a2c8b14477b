// The text reports of "kvmon-sim decode", "kvmon-sim codes" and kvmon-stat.
#include "devstatus.h"
#include "json.h"

#include <cstdio>
#include <iomanip>

namespace kvtools {

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

// A raw block whose record bytes 21-22 are not both in it: the bytes it holds, and the
// table rows whose codes fit them.
void PrintPartialCode(std::ostream& out, const BlockAnalysis& b)
{
    std::string pattern = CodePattern(b);
    std::string missing = b.missingCodeBytes == 3 ? "bytes 21 and 22 are" : (b.missingCodeBytes & 1) ? "byte 21 is" : "byte 22 is";
    Line(out, "code", pattern + ": record " + missing +
                          " not in the block (a raw block leaves out the reply's last 2 bytes)");
    if (b.missingCodeBytes == 3) {
        Line(out, "may be", "any code of the table, or any other code (printer offline)");
        return;
    }
    bool first = true;
    for (int row : b.candidateRows) {
        const StatusCodeRow& r = StatusCodeTable[row - 1];
        DWORD bits = r.printerStatus | (r.markOffline ? PRINTER_STATUS_OFFLINE : 0);
        Line(out, first ? "may be" : "", CodeText(r.code) + ", row " + std::to_string(row) + ": " + RowMeaning(r) +
                                             "; printer bits " + StatusBitNames(bits));
        first = false;
    }
    Line(out, first ? "may be" : "", "any other " + pattern + " code: not in the table, printer offline");
}

}  // namespace

std::string CodePattern(const BlockAnalysis& b)
{
    char high[4];
    char low[4];
    std::snprintf(high, sizeof high, "%02x", static_cast<unsigned>(b.detail.code >> 8));
    std::snprintf(low, sizeof low, "%02x", static_cast<unsigned>(b.detail.code & 0xFF));
    return std::string("0x") + ((b.missingCodeBytes & 1) ? "??" : high) + ((b.missingCodeBytes & 2) ? "??" : low);
}

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
    Line(out, "text", "\"" + DisplayText(a.reply) + "\"");
    Line(out, "manufacturer", a.makerOk ? DisplayText(a.manufacturer) : "(not accepted)");
    Line(out, "model", a.modelOk ? DisplayText(a.model) : "(not accepted)");
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
        if (a.notBase64 != 0)
            Line(out, "", "not Base64: " + std::to_string(a.notBase64) + " of the characters (the first, \"" +
                              Escape(a.reply.substr(a.payloadOffset + a.firstNotBase64, 1)) + "\", at payload character " +
                              std::to_string(a.firstNotBase64) + "); the monitor does not refuse them, each reads as 255 (all bits set)");
    } else {
        Line(out, "form", "raw: " + a.rawReason);
    }
    std::string record = std::to_string(a.record.size()) + " bytes";
    // A raw record runs to the reply's end, past the NUL that ends the payload's text.
    if (!a.decoded && a.record.size() > a.payloadTextLength)
        record += " (the payload's " + std::to_string(a.payloadTextLength) + " characters, then " +
                  std::to_string(a.record.size() - a.payloadTextLength) + " from its NUL to the reply's end)";
    Line(out, "record", record + (a.record.empty() ? ": none" : ": " + HexBytes(a.record, 64)));
    if (a.codeInRecord)
        Line(out, "code", CodeText(a.code) + " from record bytes 21-22");
    else
        Line(out, "code", CodeText(a.code) + ": the record has no bytes 21-22 (" + std::to_string(a.record.size()) +
                              " bytes); the monitor reads the zeros of its buffer there");
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
        Line(out, "text", "\"" + DisplayText(b.body, 200) + "\"");
        Line(out, "form", "unknown: no \"VSTATUS:\" in the block");
        return;
    }
    Line(out, "form", b.decodedForm ? "decoded (\"FL0;\": the record follows \"VSTATUS:\" as bytes)"
                                    : "raw (the device's reply less its last 2 bytes)");
    Line(out, "text", "\"" + DisplayText(a.text) + "\"");
    Line(out, "manufacturer", a.makerOk ? DisplayText(a.manufacturer) : "(not accepted)");
    Line(out, "model", a.modelOk ? DisplayText(a.model) : "(not accepted)");
    Line(out, "record", std::to_string(a.record.size()) + " bytes: " + HexBytes(a.record, 64));
    if (!a.codeKnown) {
        PrintPartialCode(out, b);
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
