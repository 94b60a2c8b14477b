// A stream of bytes kept as the checks need it: the bytes since the last Forget, and the
// length and a hash of all of them. Two logs of the same bytes agree on both whenever
// each forgot its older bytes, so a long run keeps only what is still looked at.
#ifndef KVMON_SIM_BYTELOG_H
#define KVMON_SIM_BYTELOG_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

struct ByteLog {
    std::string kept;       // the bytes since the last Forget
    uint64_t total = 0;     // how many bytes came in all
    uint64_t hash = 14695981039346656037ull;  // FNV-1a of all of them

    void Append(const char* bytes, size_t n)
    {
        for (size_t i = 0; i < n; i++)
            hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
        total += n;
        kept.append(bytes, n);
    }
    void Forget() { kept.clear(); kept.shrink_to_fit(); }
    // Offset of the first kept byte in the whole stream.
    uint64_t KeptFrom() const { return total - kept.size(); }
    bool SameBytes(const ByteLog& other) const { return total == other.total && hash == other.hash; }
};

}  // namespace sim

#endif  // KVMON_SIM_BYTELOG_H
