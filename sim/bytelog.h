// A stream of bytes kept as the checks need it: the first bytes since the last Forget (up
// to a cap), and the length and a hash of those since the last Forget and of all of them.
// Two logs of the same bytes agree on length and hash wherever each forgot or stopped
// keeping, so a long run holds no more than the cap however much it writes.
#ifndef KVMON_SIM_BYTELOG_H
#define KVMON_SIM_BYTELOG_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

// FNV-1a, continued from h over the bytes.
inline uint64_t HashBytes(const char* bytes, size_t n, uint64_t h = 14695981039346656037ull)
{
    for (size_t i = 0; i < n; i++)
        h = (h ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
    return h;
}

struct ByteLog {
    size_t keepAtMost = SIZE_MAX;  // bytes kept after a Forget, at most
    std::string kept;              // the first of the bytes since the last Forget
    uint64_t recent = 0;           // bytes since the last Forget
    uint64_t recentHash = HashBytes(nullptr, 0);  // their hash
    uint64_t total = 0;            // bytes in all
    uint64_t hash = HashBytes(nullptr, 0);        // their hash

    void Append(const char* bytes, size_t n)
    {
        hash = HashBytes(bytes, n, hash);
        recentHash = HashBytes(bytes, n, recentHash);
        total += n;
        recent += n;
        if (kept.size() < keepAtMost)
            kept.append(bytes, n < keepAtMost - kept.size() ? n : keepAtMost - kept.size());
    }
    void Forget()
    {
        kept.clear();
        kept.shrink_to_fit();
        recent = 0;
        recentHash = HashBytes(nullptr, 0);
    }
    bool KeptAll() const { return kept.size() == recent; }
    // Offset in the whole stream of the first byte since the last Forget.
    uint64_t RecentFrom() const { return total - recent; }
    bool SameBytes(const ByteLog& other) const { return total == other.total && hash == other.hash; }
    // Whether the bytes since the last Forget are exactly these.
    bool RecentAre(const std::string& bytes) const
    {
        return recent == bytes.size() && recentHash == HashBytes(bytes.data(), bytes.size());
    }
};

}  // namespace sim

#endif  // KVMON_SIM_BYTELOG_H
