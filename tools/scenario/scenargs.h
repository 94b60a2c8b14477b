// The arguments of the scenario commands that take more than a word: each parser reads
// the words after the command (t[0]) into its command's record and throws a LineError
// with the form of the line when they do not fit. What the arguments refer to (declared
// printers, open ports) is checked by the caller.
#ifndef KVMON_TOOLS_SCENARGS_H
#define KVMON_TOOLS_SCENARGS_H

#include <functional>
#include <string>
#include <vector>

#include "scenario.h"
#include "scenlex.h"

namespace kvtools {

// printer NAME port PORT [driver NAME] [monitor NAME|none] [ecp]
cmd::Printer PrinterArgs(const std::vector<Token>& t, std::string* name, std::string* port);

// device PORT KIND ...: one of the cmd::Device* records; *port is the port named, which
// checkPort sees (and may refuse) before the rest is read.
CommandArgs DeviceArgs(const std::vector<Token>& t, const std::function<void(const std::string&)>& checkPort,
                       std::string* port);

// start-doc ["DOCUMENT"]
cmd::StartDoc StartDocArgs(const std::vector<Token>& t);

// write "BYTES" | write N
cmd::Write WriteArgs(const std::vector<Token>& t);

// write-fails [N] [zero]
cmd::WriteFails WriteFailsArgs(const std::vector<Token>& t);

// write-partial BYTES [N]
cmd::WritePartial WritePartialArgs(const std::vector<Token>& t);

// write-miscount COUNT [N]
cmd::WriteMiscount WriteMiscountArgs(const std::vector<Token>& t);

// expect FIELD VALUE
cmd::Expect ExpectArgs(const std::vector<Token>& t);

}  // namespace kvtools

#endif  // KVMON_TOOLS_SCENARGS_H
