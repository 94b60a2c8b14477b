// kvmon-sim run is deterministic: the same scenario and seed give the same bytes, and each
// example's whole timeline (seed 1) is kept under tests/golden/. A change in a timeline is
// a reviewed change of its golden file: KVMON_UPDATE_GOLDEN=1 rewrites them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "examples.h"
#include "programs.h"

namespace {

const std::string kExamples = KVMON_EXAMPLES_DIR;
const std::string kGolden = KVMON_GOLDEN_DIR;

// Line number and both lines at the first difference, for the failure message.
std::string FirstDifference(const std::string& expected, const std::string& actual)
{
    std::istringstream e(expected), a(actual);
    std::string le, la;
    for (int n = 1;; n++) {
        bool moreE = static_cast<bool>(std::getline(e, le));
        bool moreA = static_cast<bool>(std::getline(a, la));
        if (!moreE && !moreA)
            return "no difference";
        if (!moreE || !moreA || le != la)
            return "line " + std::to_string(n) + "\n  expected: " + (moreE ? le : "(end)") +
                   "\n  actual:   " + (moreA ? la : "(end)");
    }
}

void CheckGolden(const std::string& file, const std::vector<std::string>& args, bool violationAllowed)
{
    std::vector<std::string> argv = {KVMON_SIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    kvtest::Result r = kvtest::RunProgram(argv);
    ASSERT_TRUE(r.status == 0 || (violationAllowed && r.status == 1)) << file << ": status " << r.status << "\n"
                                                                      << r.err;
    std::string path = kGolden + "/" + file;
    if (std::getenv("KVMON_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(path, std::ios::binary) << r.out;
        return;
    }
    std::string expected = kvtest::ReadFileBytes(path);
    ASSERT_FALSE(expected.empty()) << path << " is missing (KVMON_UPDATE_GOLDEN=1 writes it)";
    EXPECT_TRUE(r.out == expected) << file << " differs from the run at " << FirstDifference(expected, r.out);
}

TEST(Golden, EveryExampleTimelineMatchesItsGoldenFile)
{
    std::set<std::string> known = kvtest::KnownViolations(KVMON_GOLDEN_DIR);
    std::vector<std::string> names = kvtest::ExampleNames(kExamples);
    ASSERT_GE(names.size(), 12u);
    for (const std::string& name : names)
        CheckGolden(name + ".txt", {"run", kExamples + "/" + name + ".scn"}, known.count(name) != 0);
    CheckGolden("default.json", {"run", "--json"}, false);
}

// As Windows 98 every example ends as it does on NT (the known violations included), and the
// default example's timeline shows its block created without a security descriptor.
TEST(Golden, EveryExampleEndsAlikeAsWindows98)
{
    std::set<std::string> known = kvtest::KnownViolations(KVMON_GOLDEN_DIR);
    for (const std::string& name : kvtest::ExampleNames(kExamples)) {
        std::string scn = kExamples + "/" + name + ".scn";
        if (name == "default") {
            CheckGolden("default-win98.txt", {"run", "--os", "win98", scn}, false);
            continue;
        }
        kvtest::Result r = kvtest::RunProgram({KVMON_SIM_PATH, "run", "--os", "win98", scn});
        EXPECT_EQ(r.status, known.count(name) != 0 ? 1 : 0) << name << "\n" << r.err;
    }
}

TEST(Determinism, TwentyRunsOfOneSeedAreByteIdenticalAsTextAndJson)
{
    for (const char* format : {"", "--json"}) {
        std::vector<std::string> argv = {KVMON_SIM_PATH, "run", "--seed", "42"};
        if (*format)
            argv.push_back(format);
        kvtest::Result first = kvtest::RunProgram(argv);
        ASSERT_EQ(first.status, 0) << first.err;
        // No heap address, handle value or temporary path reaches the timeline.
        EXPECT_EQ(first.out.find("/tmp/"), std::string::npos);
        EXPECT_EQ(first.out.find("/dev/shm"), std::string::npos);
        EXPECT_EQ(first.out.find("handle 0x"), std::string::npos);
        for (int i = 1; i < 20; i++) {
            kvtest::Result again = kvtest::RunProgram(argv);
            ASSERT_EQ(again.out, first.out) << "run " << i + 1 << " " << format << " differs at "
                                            << FirstDifference(first.out, again.out);
        }
    }
}

TEST(Determinism, SeedsChooseDifferentSchedulesOfTheSameStory)
{
    std::set<std::string> timelines;
    for (int seed = 1; seed <= 8; seed++) {
        kvtest::Result r = kvtest::RunProgram({KVMON_SIM_PATH, "run", "--seed", std::to_string(seed)});
        ASSERT_EQ(r.status, 0) << "seed " << seed << "\n" << r.err;
        timelines.insert(r.out.substr(r.out.find('\n', r.out.find('\n') + 1)));  // past the seed's note
    }
    EXPECT_GT(timelines.size(), 1u);
}

}  // namespace
