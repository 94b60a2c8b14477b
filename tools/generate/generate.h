// Generated workloads: this room holds the generator of whole scenarios that
// `kvmon-sim explore --generate` plays, one per seed. A scenario is drawn from a generator
// of its own, seeded from the seed (never from the scheduler's), as scenario text that the
// parser reads back, so every generated case can be printed, saved and replayed as a file.
#ifndef KVMON_TOOLS_GENERATE_GENERATE_H
#define KVMON_TOOLS_GENERATE_GENERATE_H

#include <cstdint>
#include <string>

#include "scenario.h"

namespace kvtools {

struct GenerateOptions {
    unsigned ports = 0;    // ports of every scenario (1 to 4); 0: drawn per seed
    unsigned length = 40;  // operations drawn after the set-up lines
};

// The scenario text of one seed: valid by construction (it follows the spooler's protocol;
// a ClosePort in the middle of a job, or a write after a refused start, only where the
// seed's swarm enabled that misuse on purpose).
std::string GenerateScenarioText(uint64_t seed, const GenerateOptions& options);

// The same, parsed; false with *error when the parser refuses it (a generator fault).
bool GenerateScenario(uint64_t seed, const GenerateOptions& options, Scenario* out, std::string* error);

}  // namespace kvtools

#endif  // KVMON_TOOLS_GENERATE_GENERATE_H
