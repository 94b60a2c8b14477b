// Tokenizer of scenario lines.
#include "scenlex.h"

#include <windows.h>

#include <cctype>
#include <cstdlib>

#include "devstatus.h"
#include "kvplatform.h"
#include "numbers.h"

namespace kvtools {

namespace {

bool Blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

// UTF-8 text of the scenario in the system's ANSI code page, as the spooler hands text on.
std::string ToAnsi(const std::string& utf8)
{
    if (utf8.empty())
        return utf8;
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), NULL, 0);
    std::vector<WCHAR> units(static_cast<size_t>(n > 0 ? n : 0));
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), units.data(), n);
    std::string ansi(units.size() * 2, '\0');
    BOOL lost = FALSE;
    int m = WideCharToMultiByte(CP_ACP, 0, units.data(), n, &ansi[0], static_cast<int>(ansi.size()), NULL, &lost);
    if (m <= 0 || lost)
        throw LineError{"\"" + utf8 + "\" has a character that code page " + std::to_string(kvplat::AnsiCodePage()) +
                        " lacks (write its byte as \\xHH, or choose another code page with 'codepage')"};
    ansi.resize(static_cast<size_t>(m));
    return ansi;
}

// The quoted string that starts at line[start] ('"'); *next is the index after it. Its
// text is converted to the ANSI code page; an escape stands for that byte as it is.
Token QuotedString(const std::string& line, size_t start, size_t* next)
{
    Token t;
    std::string text;  // a run of text between escapes, as written
    size_t j = start + 1;
    bool closed = false;
    for (; j < line.size(); j++) {
        if (line[j] == '\\' && j + 1 < line.size()) {
            t.text += ToAnsi(text);
            text.clear();
            std::string escape = line.substr(j, 2);
            j++;
            while (escape[1] == 'x' && escape.size() < 4 && j + 1 < line.size() &&
                   std::isxdigit(static_cast<unsigned char>(line[j + 1])))
                escape += line[++j];
            std::string bytes;
            std::string error;
            if (!Unescape(escape, &bytes, &error))
                throw LineError{"bad string: " + error};
            t.text += bytes;
        } else if (line[j] == '"') {
            closed = true;
            break;
        } else {
            text += line[j];
        }
    }
    if (!closed)
        throw LineError{"unterminated string (a '\"' is missing)"};
    t.text += ToAnsi(text);
    t.quoted = true;
    *next = j + 1;
    if (*next < line.size() && !Blank(line[*next]) && line[*next] != '#')
        throw LineError{"a blank is needed after a string"};
    return t;
}

}  // namespace

std::vector<Token> Tokenize(const std::string& line, std::string* source)
{
    std::vector<Token> tokens;
    size_t i = 0;
    size_t end = line.size();
    while (i < line.size()) {
        char c = line[i];
        if (Blank(c)) {
            i++;
            continue;
        }
        if (c == '#') {
            end = i;
            break;
        }
        if (c == '"') {
            tokens.push_back(QuotedString(line, i, &i));
            continue;
        }
        size_t j = i;
        while (j < line.size() && !Blank(line[j]) && line[j] != '#' && line[j] != '"')
            j++;
        Token t;
        // The command word is a keyword of the scenario, not text for the spooler.
        t.text = tokens.empty() ? line.substr(i, j - i) : ToAnsi(line.substr(i, j - i));
        tokens.push_back(t);
        i = j;
    }
    size_t first = line.find_first_not_of(" \t");
    *source = first == std::string::npos || first >= end ? std::string() : line.substr(first, end - first);
    while (!source->empty() && Blank(source->back()))
        source->pop_back();
    return tokens;
}

unsigned long Number(const Token& t, const char* what, unsigned long min, unsigned long max)
{
    if (t.quoted)
        throw LineError{std::string(what) + " must be a number, not \"" + t.text + "\""};
    unsigned long long v = 0;
    bool tooLarge = false;
    std::string why;
    if (!ParseNumberText(t.text, &v, &tooLarge, &why) && !tooLarge)
        throw LineError{std::string(what) + " must be a number, not \"" + t.text + "\": " + why};
    if (tooLarge || v < min || v > max)
        throw LineError{std::string(what) + " " + t.text + " is out of range (" + std::to_string(min) + " to " +
                        std::to_string(max) + ")"};
    return static_cast<unsigned long>(v);
}

std::string Name(const Token& t, const char* what)
{
    if (t.text.empty())
        throw LineError{std::string(what) + " must not be empty"};
    // The spooler hands names on as C strings: a NUL would cut the name short.
    if (t.text.find('\0') != std::string::npos)
        throw LineError{std::string(what) + " must not contain NUL (\\0 or \\x00)"};
    return t.text;
}

void Arity(const std::vector<Token>& t, size_t min, size_t max)
{
    if (t.size() < min)
        throw LineError{t[0].text + ": missing argument"};
    if (t.size() > max)
        throw LineError{t[0].text + ": unexpected \"" + t[max].text + "\""};
}

bool Is(const Token& t, const char* word)
{
    return !t.quoted && t.text == word;
}

}  // namespace kvtools
