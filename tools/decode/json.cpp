// JSON writing and ANSI code page text for the tools' output.
#include "json.h"

#include "devstatus.h"

#include <cstdio>

namespace kvtools {

namespace {

const char kHexDigits[] = "0123456789abcdef";
const unsigned kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, unsigned cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Length of the valid UTF-8 sequence at s[0] (at most n bytes), 0 when it is not one.
size_t Utf8Length(const unsigned char* s, size_t n)
{
    unsigned char c = s[0];
    size_t len;
    unsigned v;
    unsigned min;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0) {
        len = 2, v = c & 0x1Fu, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, v = c & 0x0Fu, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, v = c & 0x07u, min = 0x10000;
    } else {
        return 0;
    }
    if (n < len)
        return 0;
    for (size_t i = 1; i < len; i++) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        v = (v << 6) | (s[i] & 0x3Fu);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    return len;
}

// The character of one byte of the ANSI code page (1251 unless set otherwise) from 0x80
// up, 0 when it has none.
unsigned HighCharacter(unsigned char c)
{
    WCHAR wide = 0;
    char in = static_cast<char>(c);
    if (MultiByteToWideChar(CP_ACP, 0, &in, 1, &wide, 1) != 1)
        return 0;
    unsigned cp = wide;
    // A byte without a character (0x98 of 1251) maps to its C1 control.
    return cp >= 0x80 && cp < 0xA0 ? 0 : cp;
}

bool IsTextByte(unsigned char c)
{
    return c >= 0x20 || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

std::string HexString(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kHexDigits[c >> 4];
        out += kHexDigits[c & 15];
    }
    return out;
}

std::string AnsiTextToUtf8(const std::string& bytes, bool* isText)
{
    std::string out;
    bool text = true;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            if (!IsTextByte(c) || c == 0x7F) {
                text = false;
                AppendUtf8(out, kReplacement);
            } else {
                out += static_cast<char>(c);
            }
            continue;
        }
        unsigned cp = HighCharacter(c);
        if (cp == 0) {
            text = false;
            cp = kReplacement;
        }
        AppendUtf8(out, cp);
    }
    if (isText != nullptr)
        *isText = text;
    return out;
}

std::string DisplayText(const std::string& bytes, size_t max)
{
    std::string out;
    size_t i = 0;
    for (; i < bytes.size(); i++) {
        if (max != 0 && out.size() >= max)
            break;
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        unsigned cp = c >= 0x80 ? HighCharacter(c) : 0;
        // Letters and signs of the code page as UTF-8; no-break space and soft hyphen
        // would not be seen, so they are escaped like the rest.
        if (cp != 0 && cp != 0xA0 && cp != 0xAD)
            AppendUtf8(out, cp);
        else
            out += Escape(std::string(1, static_cast<char>(c)));
    }
    if (i < bytes.size())
        out += "...(" + std::to_string(bytes.size() - i) + " more bytes)";
    return out;
}

std::string JsonQuote(const std::string& utf8)
{
    std::string out = "\"";
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    size_t n = utf8.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = s[i];
        if (c >= 0x80) {
            size_t len = Utf8Length(s + i, n - i);
            if (len == 0) {
                AppendUtf8(out, kReplacement);
                i++;
            } else {
                out.append(utf8, i, len);
                i += len;
            }
            continue;
        }
        i++;
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
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
            if (c < 0x20 || c == 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

void JsonObject::Key(const char* key)
{
    if (text_.size() > 1)
        text_ += ',';
    text_ += JsonQuote(key);
    text_ += ':';
}

JsonObject& JsonObject::Null(const char* key)
{
    Key(key);
    text_ += "null";
    return *this;
}

JsonObject& JsonObject::Bool(const char* key, bool value)
{
    Key(key);
    text_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::Number(const char* key, long long value)
{
    Key(key);
    text_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::String(const char* key, const std::string& utf8)
{
    Key(key);
    text_ += JsonQuote(utf8);
    return *this;
}

JsonObject& JsonObject::Ansi(const char* key, const std::string& bytes)
{
    return String(key, AnsiTextToUtf8(bytes));
}

JsonObject& JsonObject::Hex(const char* key, const std::string& bytes)
{
    return String(key, HexString(bytes));
}

JsonObject& JsonObject::Raw(const char* key, const std::string& json)
{
    Key(key);
    text_ += json;
    return *this;
}

JsonObject& JsonObject::Strings(const char* key, const std::vector<std::string>& utf8)
{
    std::vector<std::string> values;
    for (const auto& s : utf8)
        values.push_back(JsonQuote(s));
    return Raw(key, JsonArray(values));
}

std::string JsonArray(const std::vector<std::string>& values)
{
    std::string out = "[";
    for (size_t i = 0; i < values.size(); i++) {
        if (i != 0)
            out += ',';
        out += values[i];
    }
    return out + "]";
}

}  // namespace kvtools
