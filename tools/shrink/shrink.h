// Shrinking: this room reduces a scenario that breaks an invariant to a small one that
// still breaks it. Lines are removed (delta debugging: halves, quarters, ... then single
// lines) and the arguments of the lines left are simplified, keeping each change only
// while the same invariant still breaks for some seed of a small search (the seed that
// found it first, then the ones after it). A violation that needs a stall at the right
// moment is rare among the seeds of a smaller scenario, so with stalls a second round
// searches more seeds for each candidate. Every candidate plays in processes forked from the
// caller, which must have started no thread.
#ifndef KVMON_TOOLS_SHRINK_SHRINK_H
#define KVMON_TOOLS_SHRINK_SHRINK_H

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace kvtools {

struct ShrinkOptions {
    unsigned search = 51;      // seeds tried for each candidate: the seed, then the ones after it
    unsigned wideSearch = 1000; // with stalls, a second round with this many seeds each (when more)
    unsigned maxPlays = 3000;  // candidates tried at most
    bool stalls = false;       // seeds play with their stalls, as run --stalls on
};

struct Shrunk {
    std::string text;          // the shrunk scenario, one command per line
    uint64_t seed = 0;         // the seed that breaks it
    std::string invariant;     // the invariant it breaks
    std::string detail;        // what the run saw
    size_t originalLines = 0;  // commands before
    size_t lines = 0;          // commands after
    unsigned plays = 0;        // candidates tried
    bool stalls = false;       // the seed plays with its stalls
};

// A seed under which a scenario breaks an invariant.
struct Reproduced {
    uint64_t seed = 0;      // the seed
    std::string invariant;  // the invariant broken
    std::string detail;     // what the run saw (its first line)
    unsigned misuses = 0;   // calls marked as spooler misuse in that run
};

// The first seed of [seed, seed + search) under which the scenario text breaks `invariant`
// ("" for any), with the seeds' stalls when `stalls`; nothing when none does or the text
// does not parse.
std::optional<Reproduced> Reproduce(const std::string& text, const std::string& invariant, uint64_t seed,
                                    unsigned search, bool stalls);

// Shrinks text, which breaks `invariant` under `seed`; nothing when it does not.
std::optional<Shrunk> Shrink(const std::string& text, uint64_t seed, const std::string& invariant,
                             const ShrinkOptions& options);

// The options that replay the shrunk scenario's seed: "--seed N", and "--stalls on" when
// the seed stalls.
std::string ReplayOptions(const Shrunk& s);

// The shrunk scenario as a file: a comment with where it came from, the invariant and the
// command that replays it exactly (FILE is the name it is saved under), then its lines.
std::string ShrunkFile(const Shrunk& s, const std::string& origin, const std::string& file);

}  // namespace kvtools

#endif  // KVMON_TOOLS_SHRINK_SHRINK_H
