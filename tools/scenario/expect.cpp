#include "expect.h"

#include <strings.h>

#include <cstdlib>

#include "devstatus.h"
#include "numbers.h"

namespace kvtools {

namespace {

bool ParseNumber(const std::string& text, unsigned long max, unsigned long* value)
{
    unsigned long long v = 0;
    bool tooLarge = false;
    std::string why;
    if (!ParseNumberText(text, &v, &tooLarge, &why) || v > max)
        return false;
    *value = static_cast<unsigned long>(v);
    return true;
}

std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(' ');
    size_t e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

DWORD ParseStatusBits(const std::string& text, bool* ok)
{
    *ok = true;
    std::string t = Trim(text);
    if (t == "none" || t == "0")
        return 0;
    unsigned long number = 0;
    if (ParseNumber(t, 0xFFFFFFFFul, &number))
        return static_cast<DWORD>(number);
    DWORD bits = 0;
    size_t pos = 0;
    while (pos <= t.size()) {
        size_t bar = t.find('|', pos);
        std::string name = Trim(t.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos));
        DWORD bit = 0;
        for (int i = 0; i < 32 && bit == 0; i++) {
            if (StatusBitNames(1u << i) == name)
                bit = 1u << i;
        }
        if (bit == 0) {
            *ok = false;
            return 0;
        }
        bits |= bit;
        if (bar == std::string::npos)
            break;
        pos = bar + 1;
    }
    return bits;
}

std::string ParseExpectation(const std::vector<std::pair<std::string, bool>>& words, Expectation* out)
{
    const char kForms[] = "status, code, block, vuelog, broadcasts, prompts, received or document";
    if (words.empty())
        return std::string("expect: what to check is missing (") + kForms + ")";
    Expectation e;
    const std::string& field = words[0].first;
    size_t n = words.size();
    auto word = [&](size_t i) { return i < n && !words[i].second ? words[i].first : std::string(); };
    auto quoted = [&](size_t i) { return i < n && words[i].second; };
    if (field == "status") {
        std::string text;
        for (size_t i = 1; i < n; i++)
            text += (words[i].second ? "\"" : "") + words[i].first + " ";
        bool ok = false;
        e.number = ParseStatusBits(text, &ok);
        if (n < 2 || !ok)
            return "expect status: \"" + Trim(text) + "\" is not none, a number or status bit names like "
                   "PAPER_JAM|USER_INTERVENTION";
    } else if (field == "code") {
        e.field = Expectation::Field::Code;
        e.none = word(1) == "none";
        if (n != 2 || (!e.none && !ParseNumber(word(1), 65535, &e.number)))
            return "expect code: write a status code (0 to 65535) or none";
    } else if (field == "block") {
        e.field = Expectation::Field::Block;
        e.none = word(1) == "none";
        e.hasBytes = quoted(1);
        e.bytes = e.hasBytes ? words[1].first : "";
        if (n != 2 || (!e.none && !e.hasBytes))
            return "expect block: write the block's text in quotes, or none";
    } else if (field == "vuelog") {
        e.field = Expectation::Field::Vuelog;
        e.key = word(1);
        e.none = word(2) == "none";
        e.hasBytes = quoted(2);
        e.bytes = e.hasBytes ? words[2].first : "";
        if (n != 3 || e.key.empty() || (!e.none && !e.hasBytes))
            return "expect vuelog: write a key and its value in quotes, or the key and none";
        // The keys the monitor writes; INI keys are matched without regard to case.
        bool known = false;
        for (const char* k : {"MODELNAME", "DRVNAME", "PRNNAME", "PORTNAME"})
            known = known || strcasecmp(e.key.c_str(), k) == 0;
        if (!known)
            return "expect vuelog: \"" + e.key + "\" is not a key the monitor writes (MODELNAME, DRVNAME, PRNNAME, "
                   "PORTNAME)";
    } else if (field == "broadcasts" || field == "prompts") {
        e.field = field == "prompts" ? Expectation::Field::Prompts : Expectation::Field::Broadcasts;
        if (n != 2 || !ParseNumber(word(1), 1000000, &e.number))
            return "expect " + field + ": write a count";
    } else if (field == "received") {
        e.field = Expectation::Field::Received;
        e.hasBytes = quoted(1);
        e.bytes = e.hasBytes ? words[1].first : "";
        if (n != 2 || (!e.hasBytes && !ParseNumber(word(1), 1ul << 30, &e.number)))
            return "expect received: write the bytes in quotes or their count";
    } else if (field == "document") {
        e.field = Expectation::Field::Document;
        e.open = word(1) == "open";
        if (n != 2 || (word(1) != "open" && word(1) != "closed"))
            return "expect document: write open or closed";
    } else {
        return "expect: unknown field \"" + field + "\" (" + kForms + ")";
    }
    *out = e;
    return std::string();
}

std::string ExpectedText(const Expectation& e)
{
    switch (e.field) {
    case Expectation::Field::Status:
        return StatusBitNames(static_cast<DWORD>(e.number));
    case Expectation::Field::Code:
        return e.none ? "none" : std::to_string(e.number);
    case Expectation::Field::Block:
    case Expectation::Field::Vuelog:
        return e.none ? "none" : "\"" + Escape(e.bytes) + "\"";
    case Expectation::Field::Received:
        return e.hasBytes ? "\"" + Escape(e.bytes) + "\"" : std::to_string(e.number) + " bytes";
    case Expectation::Field::Document:
        return e.open ? "open" : "closed";
    case Expectation::Field::Broadcasts:
    case Expectation::Field::Prompts:
        break;
    }
    return std::to_string(e.number);
}

}  // namespace kvtools
