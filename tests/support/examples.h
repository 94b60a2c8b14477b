// The example scenarios (examples/*.scn) and the list of those in which explore finds a
// known violation on this code (tests/golden/violations.txt), for the tests of kvmon-sim.
#ifndef KVMON_TESTS_EXAMPLES_H
#define KVMON_TESTS_EXAMPLES_H

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace kvtest {

// Names without folder or ".scn", sorted.
inline std::vector<std::string> ExampleNames(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".scn")
            names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline std::set<std::string> KnownViolations(const std::string& goldenDir)
{
    std::set<std::string> names;
    std::istringstream lines(ReadFileBytes(goldenDir + "/violations.txt"));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != '#')
            names.insert(line);
    }
    return names;
}

}  // namespace kvtest

#endif  // KVMON_TESTS_EXAMPLES_H
