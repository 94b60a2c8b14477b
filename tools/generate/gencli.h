// The commands around generated workloads: `kvmon-sim generate` prints the scenario of a
// seed, and `explore --generate` ends with the reach of its seeds and the first violation
// shrunk to a scenario file.
#ifndef KVMON_TOOLS_GENERATE_GENCLI_H
#define KVMON_TOOLS_GENERATE_GENCLI_H

#include <ostream>
#include <string>
#include <vector>

#include "explore.h"
#include "generate.h"

namespace kvtools {

// kvmon-sim generate --seed N [--ports N] [--length L]
int GenerateCommand(const std::vector<std::string>& args);

// The options `--generate ARGS` of a seed's scenario, as given ("--length 40 --ports 2").
std::string GenerateArgs(const GenerateOptions& options);

// explore's report, then for a run of generated scenarios the lowest violating seed of each
// invariant broken shrunk and saved in folder `save` as shrunk-SEED.scn ("": not shrunk),
// then the reach when it was counted.
// Returns the exit status: 0 without violations, 1 with.
int ReportExplore(const ExploreResult& result, const ExploreOptions& options, const GenerateOptions& generate,
                  const std::string& save, std::ostream& out);

}  // namespace kvtools

#endif  // KVMON_TOOLS_GENERATE_GENCLI_H
