// What every kvmon tool shares on its command line: the exit codes (listed in README.md)
// and reading an input file.
#ifndef KVMON_TOOLS_CLI_H
#define KVMON_TOOLS_CLI_H

#include <string>

namespace kvtools {

const int kExitOk = 0;
const int kExitCheckFailed = 1;    // an expect, an invariant, a decode that did not recognise,
                                   // a status block that is not there
const int kExitUsage = 2;          // bad arguments or input that cannot be read
const int kExitInterrupted = 130;  // SIGINT (Ctrl-C)
const int kExitTerminated = 143;   // SIGTERM

// The whole of a regular file; false with *error set ("is a directory", strerror text).
bool ReadInputFile(const std::string& path, std::string* bytes, std::string* error);

}  // namespace kvtools

#endif  // KVMON_TOOLS_CLI_H
