// The JSON forms of the reports: every documented field is always present, null when it
// does not apply; device text is ANSI code page text converted to UTF-8, bytes as hex.
#include "devstatus.h"

#include <winspool.h>

namespace kvtools {

namespace {

// A code's table row, meaning and printer bits, as the monitor applies them.
void AddCodeFields(JsonObject& o, WORD code)
{
    const StatusCodeRow* row = FindStatusCode(code);
    bool offline = row == nullptr || row->markOffline != 0;
    DWORD bits = (row != nullptr ? row->printerStatus : 0) | (offline ? PRINTER_STATUS_OFFLINE : 0);
    o.Number("code", code);
    if (row != nullptr)
        o.Number("table_row", StatusRow(code));
    else
        o.Null("table_row");
    o.String("meaning", CodeMeaning(code));
    o.Number("printer_bits", bits);
    o.Strings("printer_bit_names", StatusBitList(bits));
    o.Bool("offline", offline);
}

void AddNullCodeFields(JsonObject& o)
{
    o.Null("code").Null("table_row").Null("meaning").Null("printer_bits").Null("printer_bit_names").Null("offline");
}

void OptionalAnsi(JsonObject& o, const char* key, bool present, const std::string& bytes)
{
    if (present)
        o.Ansi(key, bytes);
    else
        o.Null(key);
}

// Text when every byte is text in the ANSI code page, else null (the hex field has the bytes).
void TextOrNull(JsonObject& o, const char* key, const std::string& bytes)
{
    bool isText = false;
    std::string utf8 = AnsiTextToUtf8(bytes, &isText);
    if (isText)
        o.String(key, utf8);
    else
        o.Null(key);
}

std::string Rule(const char* rule, const std::string& reason)
{
    return JsonObject().String("rule", rule).String("reason", reason).Text();
}

}  // namespace

std::string AnalysisJson(const Analysis& a)
{
    JsonObject o;
    o.Number("input_length", static_cast<long long>(a.givenLength));
    o.Bool("answered", a.answered);
    o.Number("length", static_cast<long long>(a.length));
    o.Bool("cut", a.givenLength > a.length && a.answered);
    o.Bool("terminated", a.terminated);
    o.Hex("reply_hex", a.reply);
    TextOrNull(o, "reply_text", a.reply);
    OptionalAnsi(o, "manufacturer", a.makerOk, a.manufacturer);
    OptionalAnsi(o, "model", a.modelOk, a.model);
    o.Bool("recognised", a.answered && a.recognised);

    std::vector<std::string> failed;
    if (!a.answered)
        failed.push_back(Rule("answer", "an empty reply counts as no answer"));
    if (a.answered && !a.makerOk)
        failed.push_back(Rule("manufacturer", a.makerWhy));
    if (a.answered && !a.modelOk)
        failed.push_back(Rule("model", a.modelWhy));
    if (a.answered && a.recognised && !a.hasStatusField)
        failed.push_back(Rule("status-field", "no \"VSTATUS:\" field"));
    o.Raw("failed_rules", JsonArray(failed));

    if (a.hasStatusField) {
        o.Raw("status_field", JsonObject()
                                  .Number("offset", static_cast<long long>(a.payloadOffset))
                                  .Number("characters", static_cast<long long>(a.payloadTextLength))
                                  .Number("not_base64", static_cast<long long>(a.notBase64))
                                  .Bool("code_in_record", a.codeInRecord)
                                  .Text());
        o.String("form", a.decoded ? "decoded" : "raw");
        if (a.decoded)
            o.Null("raw_reason");
        else
            o.String("raw_reason", a.rawReason);
        o.Ansi("text", a.text);
        o.Hex("record_hex", a.record);
        o.Number("record_length", static_cast<long long>(a.record.size()));
    } else {
        o.Null("status_field").Null("form").Null("raw_reason").Null("text").Null("record_hex").Null("record_length");
    }
    if (a.hasCode)
        AddCodeFields(o, a.code);
    else
        AddNullCodeFields(o);
    if (a.hasCode)
        o.Bool("notified", a.notifies);
    else
        o.Null("notified");
    if (a.block.empty()) {
        o.Null("block_hex").Null("block_length");
    } else {
        o.Hex("block_hex", a.block);
        o.Number("block_length", static_cast<long long>(a.block.size()));
    }
    return o.Text();
}

void AddBlockFields(JsonObject& o, const BlockAnalysis* b)
{
    if (b == nullptr || !b->valid) {
        o.Null("length_field").Null("body_hex").Null("form").Null("text").Null("manufacturer").Null("model");
        o.Null("recognised").Null("record_hex").Null("code_complete").Null("code_pattern");
        AddNullCodeFields(o);
        o.Null("candidates");
        return;
    }
    const Analysis& a = b->detail;
    o.Number("length_field", b->lengthField);
    o.Hex("body_hex", b->body);
    if (a.hasStatusField)
        o.String("form", b->decodedForm ? "decoded" : "raw");
    else
        o.Null("form");
    if (a.hasStatusField)
        o.Ansi("text", a.text);
    else
        TextOrNull(o, "text", b->body);
    OptionalAnsi(o, "manufacturer", a.makerOk, a.manufacturer);
    OptionalAnsi(o, "model", a.modelOk, a.model);
    o.Bool("recognised", a.recognised);
    if (!a.hasStatusField) {
        o.Null("record_hex").Null("code_complete").Null("code_pattern");
        AddNullCodeFields(o);
        o.Null("candidates");
        return;
    }
    o.Hex("record_hex", a.record);
    o.Bool("code_complete", a.codeKnown);
    if (a.codeKnown) {
        o.Null("code_pattern");
        AddCodeFields(o, a.code);
        o.Null("candidates");
        return;
    }
    o.String("code_pattern", CodePattern(*b));
    AddNullCodeFields(o);
    std::vector<std::string> candidates;
    for (int row : b->candidateRows) {
        JsonObject c;
        AddCodeFields(c, StatusCodeTable[row - 1].code);
        candidates.push_back(c.Text());
    }
    o.Raw("candidates", JsonArray(candidates));
}

std::string CodeTableJson()
{
    std::vector<std::string> rows;
    for (int i = 0; StatusCodeTable[i].code != 0; i++) {
        const StatusCodeRow& row = StatusCodeTable[i];
        DWORD bits = row.printerStatus | (row.markOffline ? PRINTER_STATUS_OFFLINE : 0);
        int first = StatusRow(row.code);
        JsonObject o;
        o.Number("row", i + 1);
        o.Number("code", row.code);
        o.Number("row_bits", row.printerStatus);
        o.Bool("mark_offline", row.markOffline != 0);
        o.Number("printer_bits", bits);
        o.Strings("printer_bit_names", StatusBitList(bits));
        o.String("meaning", RowMeaning(row));
        if (first != i + 1)
            o.Number("shadowed_by_row", first);
        else
            o.Null("shadowed_by_row");
        rows.push_back(o.Text());
    }
    return JsonArray(rows);
}

}  // namespace kvtools
