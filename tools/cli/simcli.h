// The "run" and "explore" commands of kvmon-sim: their options, the scenario file, and
// the exit status (0 played and held, 1 a violation, 2 bad arguments or scenario, 130/143
// a run interrupted by SIGINT/SIGTERM).
#ifndef KVMON_TOOLS_SIMCLI_H
#define KVMON_TOOLS_SIMCLI_H

#include <string>
#include <vector>

#include "args.h"

namespace kvtools {

// The fastest clock of a run on real threads (--speed), in platform ms per real ms. The
// scenario's waits order the spooler's calls against the polling threads (a "wait 500"
// lets a poll due at 2000 ms come first); a faster clock shrinks them below the operating
// system's scheduling delays, and the run no longer plays the scenario as written.
const unsigned long long kMaxSpeed = 100;

extern const char* const kRunUsage;      // the usage lines of run and explore
int RunCommand(const std::vector<std::string>& args);

// The value of option `name` of `command` as a number in min..max; otherwise false with a
// one-line message on standard error naming the option, the value and the range, and
// *status 2.
bool OptionNumber(ArgReader* r, const std::string& command, const std::string& name, unsigned long long min,
                  unsigned long long max, unsigned long long* value, int* status);
// The value of option --stalls of `command`: on or off; otherwise false with a one-line
// message on standard error and *status 2.
bool OptionStalls(ArgReader* r, const std::string& command, bool* on, int* status);
int ExploreCommand(const std::vector<std::string>& args);

}  // namespace kvtools

#endif  // KVMON_TOOLS_SIMCLI_H
