// JSON output of the tools: an ordered object builder that only ever writes valid UTF-8
// JSON, and the text conversions it needs. Device text and printer names are ANSI, code
// page 1251; they are converted to UTF-8. Bytes that are not text go out as hex.
// Uses only <windows.h>, so kvmon-stat can be built for Windows as well.
#ifndef KVMON_TOOLS_JSON_H
#define KVMON_TOOLS_JSON_H

#include <windows.h>

#include <string>
#include <vector>

namespace kvtools {

// Code page 1251 bytes as UTF-8. *isText (when given) is false when a byte is a control
// character other than tab, CR and LF, or has no character in the code page; such bytes
// become U+FFFD in the result, so the result is always valid UTF-8.
std::string AnsiTextToUtf8(const std::string& bytes, bool* isText = nullptr);

// Bytes as text for a terminal: the ANSI code page letters as UTF-8, \\ \" \n \r \t, other
// bytes that are not text as \xHH. max > 0 cuts after about max characters and says how
// many bytes were left out.
std::string DisplayText(const std::string& bytes, size_t max = 0);

// A JSON string literal of valid UTF-8 text (quotes included). Input that is not valid
// UTF-8 has each bad byte replaced by U+FFFD.
std::string JsonQuote(const std::string& utf8);

// One JSON object, fields in the order they are added. Values are written at once.
class JsonObject {
public:
    JsonObject& Null(const char* key);
    JsonObject& Bool(const char* key, bool value);
    JsonObject& Number(const char* key, long long value);
    JsonObject& String(const char* key, const std::string& utf8);
    // Code page 1251 bytes as a UTF-8 string.
    JsonObject& Ansi(const char* key, const std::string& bytes);
    // Lowercase hex digits of the bytes, two per byte, no separators.
    JsonObject& Hex(const char* key, const std::string& bytes);
    // Already formatted JSON (an object or array built with these classes).
    JsonObject& Raw(const char* key, const std::string& json);
    JsonObject& Strings(const char* key, const std::vector<std::string>& utf8);
    std::string Text() const { return text_ + "}"; }

private:
    void Key(const char* key);
    std::string text_ = "{";
};

// A JSON array of already formatted values.
std::string JsonArray(const std::vector<std::string>& values);

std::string HexString(const std::string& bytes);  // "4d4647"

}  // namespace kvtools

#endif  // KVMON_TOOLS_JSON_H
