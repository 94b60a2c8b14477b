// Reading a scenario file: the checks on its bytes before any line is parsed.
#ifndef KVMON_TOOLS_SCENFILE_H
#define KVMON_TOOLS_SCENFILE_H

#include <istream>
#include <string>

namespace kvtools {

// The longest line a scenario may have, in bytes without its line ending.
const size_t kMaxScenarioLine = 64 * 1024;

// The name a scenario is called by in messages and the timeline: "stdin" for "-".
std::string ScenarioName(const std::string& path);

// The text of a scenario file, or of standard input when path is "-". false with *error
// set to one line that starts with the name: "NAME: cannot read the scenario: REASON",
// "NAME: is empty ...", "NAME:LINE: the line is N bytes long ...", "NAME: byte at offset N
// (0xHH) is not UTF-8 text ...". A leading UTF-8 byte order mark is dropped.
bool ReadScenarioFile(const std::string& path, std::istream& stdinStream, std::string* text, std::string* error);

// The same checks on bytes already read; false with *error as above.
bool CheckScenarioText(const std::string& name, std::string* bytes, std::string* error);

}  // namespace kvtools

#endif  // KVMON_TOOLS_SCENFILE_H
