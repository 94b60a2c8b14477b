// What the monitor makes of one device ID reply or one published status block, computed
// with the monitor's own recognition and decoding functions on scratch copies, and the
// text helpers the tools print it with. Uses only <windows.h> and the monitor, so that
// kvmon-stat can be built for Windows as well.
#ifndef KVMON_TOOLS_DEVSTATUS_H
#define KVMON_TOOLS_DEVSTATUS_H

#include "kvmon.h"
#include "../../sim/base64.h"
#include "json.h"

#include <ostream>
#include <string>
#include <vector>

namespace kvtools {

// ---- text ----
// Bytes as a C-style string body: printable ASCII as is, \\ \" \n \r \t, others \xHH.
// max > 0 cuts the result after about max characters and says how many bytes were left out.
// keepHigh keeps bytes from 0x80 up as they are (for UTF-8 text).
std::string Escape(const std::string& bytes, size_t max = 0, bool keepHigh = false);
// Reverses Escape for arguments and scenario strings: \\ \" \' \n \r \t \0 \xH or \xHH.
// false with *error set for an unknown escape or a \x without hex digits.
bool Unescape(const std::string& text, std::string* bytes, std::string* error);
// "4d 46 47 3a" of the first max bytes (all when max is 0), " ..." when cut.
std::string HexBytes(const std::string& bytes, size_t max = 0);
std::string Hex32(DWORD value);  // "0x00100008"

// ---- device IDs ----
using sim::Base64Encode;
// A 24-byte status record carrying code in bytes 21-22 (big-endian), other bytes 0.
std::string StatusRecord(WORD code);
// A Kestravon device ID carrying code: "MFG:maker;MDL:model;CMD:PJL;" then, in Base64 form,
// "FL1;VSTATUS:" and the record's 32 Base64 characters, in raw form "VSTATUS:" and the record.
std::string KestravonReply(WORD code, bool raw = false, const std::string& maker = "Kestravon",
                           const std::string& model = "ZR-QM4471");

// ---- status codes and printer bits ----
// "PAPER_JAM | USER_INTERVENTION", "none" for 0; unknown bits as hex.
std::string StatusBitNames(DWORD bits);
// 1-based row of the first table row with the code, or 0.
int StatusRow(WORD code);
int StatusRowCount();
// What a code means for the printer, from its table row ("paper jam", "door open", ...).
std::string CodeMeaning(WORD code);
// Readable meaning of a table row by its fields.
std::string RowMeaning(const StatusCodeRow& row);

// ---- analysis ----
struct Analysis {
    // Input as the monitor's buffer holds it.
    bool answered = false;       // false: no answer (empty reply); code 901 is applied
    size_t givenLength = 0;      // bytes received
    size_t length = 0;           // bytes the monitor works on (at most 1024)
    bool terminated = false;     // a full 1024-byte buffer without NUL was cut at 1023
    std::string reply;           // the 1024-byte buffer as the monitor sees it, cut to length

    // Recognition (ParseDeviceId on a copy).
    std::string manufacturer;
    std::string model;
    bool makerOk = false;
    bool modelOk = false;
    bool recognised = false;
    std::string whyNot;    // why the device is not recognised, when it is not
    std::string makerWhy;  // why the manufacturer key was not accepted, when it was not
    std::string modelWhy;  // why the model key was not accepted, when it was not

    // Status field (FindVStatus, DecodeVStatus).
    bool hasStatusField = false;
    size_t payloadOffset = 0;    // offset of the payload in the reply
    size_t payloadTextLength = 0;  // payload characters up to the NUL
    bool decoded = false;
    size_t notBase64 = 0;        // decoded form: payload characters outside the Base64 alphabet
    size_t firstNotBase64 = 0;   // the first of them, as an offset in the payload
    std::string rawReason;       // why the payload stays raw
    std::string text;            // text of the reply through "VSTATUS:" after decoding
    std::string record;          // the status record (decoded bytes, or raw bytes to the reply's end)
    std::string block;           // the status block the monitor publishes

    // Status code.
    bool hasCode = false;        // false for an unrecognised reply or one without a status field
    bool codeKnown = true;       // false when record bytes 21-22 are not both in a block
    bool codeInRecord = true;    // false: the record is under 22 bytes, the code is read from
                                 // the zeros of the monitor's buffer past its end
    WORD code = 0;
    int row = 0;                 // 1-based table row, 0 when not in the table
    DWORD bits = 0;              // printer status bits the code sets (OFFLINE included)
    bool offline = false;
    bool notifies = false;       // the companion application is told when the status changes
};

// One device ID reply as ProcessDeviceId treats it (cut to 1024 bytes; a full buffer
// without NUL cut at 1023). An empty reply counts as no answer.
Analysis AnalyseReply(const std::string& bytes);

// One status block as read from its mapping (length field included); bytes may run past
// the block's length (the rest of the mapping).
struct BlockAnalysis {
    bool valid = false;          // false: shorter than its length field says, or under 2 bytes
    std::string error;
    WORD lengthField = 0;
    std::string body;            // the length field's bytes less the field itself
    bool decodedForm = false;    // "FL0;" before "VSTATUS:": the record follows as raw bytes
    Analysis detail;             // recognition and code from the body; detail.code reads
                                 // record bytes the block does not hold as zero
    unsigned missingCodeBytes = 0;  // raw form: bit 0 record byte 21, bit 1 byte 22 was one of
                                    // the reply's last two bytes, which the block leaves out
    std::vector<int> candidateRows; // table rows (1-based, first of each code) whose code fits
                                    // the code bytes the block holds, when one is missing
};
BlockAnalysis AnalyseBlock(const std::string& bytes);

// The report printed by "kvmon-sim decode" and kvmon-stat, one "label  value" per line.
void PrintAnalysis(std::ostream& out, const Analysis& a);
void PrintBlockAnalysis(std::ostream& out, const BlockAnalysis& b);
// The same as one JSON object each (documented by docs/schema/decode.schema.json and the
// "block" part of docs/schema/stat.schema.json), and the table as a JSON array.
std::string AnalysisJson(const Analysis& a);
void AddBlockFields(JsonObject& o, const BlockAnalysis* b);  // nullptr: no block, all null
std::string CodeTableJson();
// Printer status bits as JSON names: ["PAPER_JAM","USER_INTERVENTION"], unknown bits as hex.
std::vector<std::string> StatusBitList(DWORD bits);
// One line: "code 42632 (row 16): paper jam -> PAPER_JAM | USER_INTERVENTION".
std::string CodeSummary(const Analysis& a);
// "0xf7??": the code bytes a raw block holds, "??" for each one it leaves out.
std::string CodePattern(const BlockAnalysis& b);
// The whole table, one row per line, with a header.
void PrintCodeTable(std::ostream& out);

}  // namespace kvtools

#endif  // KVMON_TOOLS_DEVSTATUS_H
