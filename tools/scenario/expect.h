// The `expect` lines of scenario files: what a line asks for, and how to read one.
//
//   expect status none | NAME[|NAME...] | 0xBITS   printer status bits in the spooler
//   expect code N | none                            the status code last applied on the port
//   expect block "BYTES" | none                     the last block's text after its length field
//   expect vuelog KEY "VALUE" | KEY none            a key of [DEVICE] in vuelog.err
//   expect broadcasts N / expect prompts N          how many so far
//   expect received "BYTES" | N                     what the port monitor accepted for the
//                                                   port's last document (bytes or count)
//   expect document open | closed                   at the port monitor
#ifndef KVMON_TOOLS_EXPECT_H
#define KVMON_TOOLS_EXPECT_H

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace kvtools {

struct Expectation {
    enum class Field { Status, Code, Block, Vuelog, Broadcasts, Prompts, Received, Document };
    Field field = Field::Status;
    std::string key;           // Vuelog: the key
    bool none = false;         // "none": no block / no key
    bool hasBytes = false;     // Block, Vuelog, Received: a quoted value was given
    std::string bytes;         // that value
    unsigned long number = 0;  // Status: bits; Code; Broadcasts, Prompts; Received: count
    bool open = false;         // Document
};

// Words after "expect", each with whether it was quoted. "" when they make an expectation,
// otherwise the message of what is wrong.
std::string ParseExpectation(const std::vector<std::pair<std::string, bool>>& words, Expectation* out);

// The expected value as the timeline prints it (status bits by name, bytes escaped).
std::string ExpectedText(const Expectation& e);

// Status bits by name ("PAPER_JAM | OFFLINE"), for the checks' actual values.
DWORD ParseStatusBits(const std::string& text, bool* ok);

}  // namespace kvtools

#endif  // KVMON_TOOLS_EXPECT_H
