// The "run" and "explore" commands of kvmon-sim: their options, the scenario file, and
// the exit status (0 played and held, 1 a violation, 2 bad arguments or scenario).
#ifndef KVMON_TOOLS_SIMCLI_H
#define KVMON_TOOLS_SIMCLI_H

#include <string>
#include <vector>

namespace kvtools {

extern const char* const kRunUsage;      // the usage lines of run and explore
int RunCommand(const std::vector<std::string>& args);
int ExploreCommand(const std::vector<std::string>& args);

}  // namespace kvtools

#endif  // KVMON_TOOLS_SIMCLI_H
