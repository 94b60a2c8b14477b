// kvmon-sim shrink: a scenario file that breaks an invariant under a seed, shrunk to a
// smaller scenario file that still breaks it.
#ifndef KVMON_TOOLS_SHRINK_SHRINKCLI_H
#define KVMON_TOOLS_SHRINK_SHRINKCLI_H

#include <string>
#include <vector>

namespace kvtools {

// kvmon-sim shrink SCENARIO --seed N [--search K] [--out FILE]
int ShrinkCommand(const std::vector<std::string>& args);

}  // namespace kvtools

#endif  // KVMON_TOOLS_SHRINK_SHRINKCLI_H
