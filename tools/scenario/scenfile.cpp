// Scenario files are UTF-8 text: what is not is refused before anything plays, with the
// place of the first byte that is wrong, so a binary file or a file saved in another
// encoding never plays as a garbled scenario.
#include "scenfile.h"

#include <cstdio>
#include <sstream>

#include "cli.h"

namespace kvtools {

namespace {

const char kBom[] = "\xEF\xBB\xBF";

// The length of the UTF-8 sequence starting at s[i], or 0 when it is not one (overlong
// forms, surrogates and code points past U+10FFFF included).
size_t Utf8Length(const std::string& s, size_t i)
{
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    unsigned long cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; k++) {
        unsigned char t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (t & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

std::string Hex(unsigned char c)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", c);
    return buf;
}

}  // namespace

std::string ScenarioName(const std::string& path)
{
    return path == "-" ? "stdin" : path;
}

bool CheckScenarioText(const std::string& name, std::string* bytes, std::string* error)
{
    size_t skip = bytes->compare(0, 3, kBom) == 0 ? 3 : 0;
    if (bytes->size() == skip) {
        *error = name + ": is empty (a scenario has one command per line)";
        return false;
    }
    const std::string& s = *bytes;
    size_t line = 1;
    size_t lineStart = skip;
    for (size_t i = skip; i <= s.size(); i++) {
        if (i == s.size() || s[i] == '\n') {
            size_t length = i - lineStart;
            if (length > 0 && s[i - 1] == '\r')
                length--;
            if (length > kMaxScenarioLine) {
                *error = name + ":" + std::to_string(line) + ": the line is " + std::to_string(length) + " bytes long; at most " +
                         std::to_string(kMaxScenarioLine) + " bytes";
                return false;
            }
            line++;
            lineStart = i + 1;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F)
            continue;
        if (c == '\t' || c == '\r')
            continue;
        if (c >= 0x80) {
            size_t n = Utf8Length(s, i);
            if (n != 0) {
                i += n - 1;
                continue;
            }
        }
        *error = name + ": byte at offset " + std::to_string(i) + " (" + Hex(c) +
                 ") is not UTF-8 text; a scenario is a text file (write other bytes as \\xHH in quotes)";
        return false;
    }
    bytes->erase(0, skip);
    return true;
}

bool ReadScenarioFile(const std::string& path, std::istream& stdinStream, std::string* text, std::string* error)
{
    std::string name = ScenarioName(path);
    if (path == "-") {
        std::ostringstream s;
        s << stdinStream.rdbuf();
        if (stdinStream.bad()) {
            *error = name + ": cannot read standard input";
            return false;
        }
        *text = s.str();
    } else if (!ReadInputFile(path, text, error)) {
        *error = name + ": cannot read the scenario: " + *error;
        return false;
    }
    return CheckScenarioText(name, text, error);
}

}  // namespace kvtools
