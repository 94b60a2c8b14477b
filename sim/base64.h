// Standard Base64 with padding: how a printer encodes its status record in a device ID.
// Header-only, so the POSIX tests, the tools, the benchmarks and the Windows test runner
// all build device IDs with the same encoder.
#ifndef KVMON_SIM_BASE64_H
#define KVMON_SIM_BASE64_H

#include <string>

namespace sim {

inline std::string Base64Encode(const std::string& bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        unsigned v = 0;
        for (size_t k = 0; k < 3; k++)
            v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += n > 1 ? alphabet[v >> 6 & 63] : '=';
        out += n > 2 ? alphabet[v & 63] : '=';
    }
    return out;
}

}  // namespace sim

#endif  // KVMON_SIM_BASE64_H
