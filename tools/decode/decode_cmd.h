// "kvmon-sim decode" and "kvmon-sim codes": one device ID reply through the monitor's
// recognition and decoding, and the status code table, as text or JSON.
#ifndef KVMON_TOOLS_DECODE_CMD_H
#define KVMON_TOOLS_DECODE_CMD_H

#include <iosfwd>
#include <string>
#include <vector>

namespace kvtools {

extern const char kDecodeUsage[];
extern const char kCodesUsage[];

// args are the words after the subcommand; returns the exit code.
int DecodeCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
int CodesCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Removes one trailing line ending ("\r\n" or "\n"); returns what was removed.
std::string StripLineEnding(std::string* bytes);

}  // namespace kvtools

#endif  // KVMON_TOOLS_DECODE_CMD_H
