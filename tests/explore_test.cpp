// kvmon-sim explore over every example scenario, 200 schedules each: no violation, except
// in the scenarios listed in tests/golden/violations.txt, where it must find the known
// loss of a job. A violation it reports replays exactly with run --seed. Bad input is
// refused before anything plays.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include "examples.h"
#include "programs.h"

namespace {

const std::string kExamples = KVMON_EXAMPLES_DIR;

// An example and the Windows the platform answers as.
class ExploreExample : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(ExploreExample, TwoHundredSchedules)
{
    const std::string name = std::get<0>(GetParam());
    kvtest::Result r = kvtest::RunProgram({KVMON_SIM_PATH, "explore", kExamples + "/" + name + ".scn", "--seeds",
                                           "200", "--os", std::get<1>(GetParam())});
    ASSERT_NE(r.out.find("explored 200 schedules (seeds 1 to 200)"), std::string::npos) << r.out << r.err;
    if (kvtest::KnownViolations(KVMON_GOLDEN_DIR).count(name) == 0) {
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find(": 0 violations\n"), std::string::npos) << r.out;
        return;
    }
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(": job lost: "), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Examples, ExploreExample,
                         ::testing::Combine(::testing::ValuesIn(kvtest::ExampleNames(KVMON_EXAMPLES_DIR)),
                                            ::testing::Values("nt", "win98")),
                         [](const ::testing::TestParamInfo<std::tuple<std::string, std::string>>& info) {
                             std::string n = std::get<0>(info.param) + "_" + std::get<1>(info.param);
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n;
                         });

// A scenario whose last check fails in every schedule: a document that is still open
// at the port monitor when the scenario says it has ended.
const char kFailingCheck[] =
    "printer P port USB001\n"
    "device USB001 code 63400\n"
    "open\n"
    "start-doc \"one\"\n"
    "write \"one\\n\"\n"
    "end-doc\n"
    "wait 3000\n"
    "expect document closed\n"
    "close\n";

std::string WriteScenario(const std::string& text)
{
    std::string path = "/tmp/kvmon-explore-test-" + std::to_string(getpid()) + ".scn";
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

TEST(Explore, AViolationReplaysExactlyWithRunSeed)
{
    std::string path = WriteScenario(kFailingCheck);
    kvtest::Result found = kvtest::RunProgram({KVMON_SIM_PATH, "explore", path, "--seeds", "50"});
    size_t at = found.out.find("\nseed ");
    ASSERT_NE(at, std::string::npos) << found.out;
    EXPECT_EQ(found.status, 1);
    std::string seed = found.out.substr(at + 6, found.out.find(':', at) - at - 6);
    std::string line = found.out.substr(at + 1, found.out.find('\n', at + 1) - at - 1);
    std::string invariant = line.substr(line.find(": ") + 2);
    EXPECT_NE(found.out.find("replay: kvmon-sim run " + path + " --seed " + seed + "\n"), std::string::npos);
    EXPECT_NE(found.out.find("timeline up to it:\n"), std::string::npos);

    for (int i = 0; i < 3; i++) {
        kvtest::Result replay = kvtest::RunProgram({KVMON_SIM_PATH, "run", path, "--seed", seed});
        EXPECT_EQ(replay.status, 1);
        EXPECT_EQ(replay.err, "kvmon-sim: violation (seed " + seed + "): " + invariant + "\n");
        EXPECT_NE(replay.out.find("violation: " + invariant), std::string::npos);
    }
    // As Windows 98 the replay command says so.
    kvtest::Result as98 = kvtest::RunProgram({KVMON_SIM_PATH, "explore", path, "--seeds", "2", "--stalls", "off", "--os", "win98"});
    EXPECT_NE(as98.out.find("replay: kvmon-sim run " + path + " --seed 1 --os win98\n"), std::string::npos) << as98.out;
    std::remove(path.c_str());
}

TEST(Explore, BadInputIsRefusedWithItsLineBeforeAnythingRuns)
{
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"printer P port USB001\nopen\nfrobnicate 3\n", ":3: unknown command \"frobnicate\"\n"},
        {"printer P port USB001\nexpect colour blue\n", ":2: expect: unknown field \"colour\""},
        {"printer P port USB001\nexpect status PAPER_JAMM\n", ":2: expect status: \"PAPER_JAMM\" is not"},
        {"printer P port USB001\n\nexpect code 70000\n", ":3: expect code: write a status code"},
        {"printer P port USB001\nexpect received\n", ":2: expect received: write the bytes"},
        {"printer P port USB001\nexpect document ajar\n", ":2: expect document: write open or closed"},
        {"printer P port USB001\nexpect vuelog PORTNAME USB001\n", ":2: expect vuelog: write a key and its value"},
    };
    for (const Case& c : cases) {
        std::string path = WriteScenario(c.text);
        for (const char* command : {"run", "explore"}) {
            kvtest::Result r = kvtest::RunProgram({KVMON_SIM_PATH, command, path});
            EXPECT_EQ(r.status, 2) << command << " " << c.text;
            EXPECT_EQ(r.out, "") << command << " " << c.text;
            EXPECT_EQ(r.err.find("kvmon-sim: " + path + c.message), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
        std::remove(path.c_str());
    }
    struct Args {
        std::vector<std::string> argv;
        const char* message;
    } bad[] = {
        {{"run", "--seed", "abc"}, "kvmon-sim: --seed: \"abc\" is not a number"},
        {{"run", "--seed", "-1"}, "kvmon-sim: --seed: \"-1\" is not a number"},
        {{"explore", "--seeds", "many"}, "kvmon-sim: --seeds: \"many\" is not a number"},
        {{"explore", "--from", "1x"}, "kvmon-sim: --from: \"1x\" is not a number"},
        {{"run", "--os", "win95"}, "kvmon-sim: --os: \"win95\" is not nt or win98"},
        {{"explore", "--os"}, "kvmon-sim: --os needs nt or win98"},
    };
    for (const Args& a : bad) {
        std::vector<std::string> argv = {KVMON_SIM_PATH};
        argv.insert(argv.end(), a.argv.begin(), a.argv.end());
        kvtest::Result r = kvtest::RunProgram(argv);
        EXPECT_EQ(r.status, 2) << a.message;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find(a.message), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

TEST(Explore, AFailedExpectShowsTheLineAndBothValues)
{
    std::string path = WriteScenario(
        "printer P port USB001\ndevice USB001 code 42632\nopen\nstart-doc\nwait 100\nexpect status none\nclose\n");
    kvtest::Result r = kvtest::RunProgram({KVMON_SIM_PATH, "run", path});
    std::remove(path.c_str());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kvmon-sim: violation (seed 1): expect: line 6 \"expect status none\": expected none, actual "
                     "PAPER_JAM | USER_INTERVENTION\n");
}

// The schedule that hung ClosePort: the spooler closes the port after an ending thread has
// handed it over and before the owed thread starts. The seed must still play that order
// (a change of the monitor's scheduling points moves it: find the seed again with explore
// and stalls), and the run must end.
TEST(Explore, CloseBetweenHandOverAndThreadStartReturns)
{
    kvtest::Result r = kvtest::RunProgram(
        {KVMON_SIM_PATH, "run", kExamples + "/close-during-handover.scn", "--seed", "36540", "--stalls", "on"});
    EXPECT_EQ(r.status, 0) << r.err;
    size_t handover = r.out.find("thread-handover USB001");
    size_t closed = r.out.find("document 2 ended by ClosePort");
    size_t started = r.out.rfind("thread-start USB001");
    ASSERT_TRUE(handover != std::string::npos && closed != std::string::npos && started != std::string::npos) << r.out;
    EXPECT_TRUE(handover < closed && closed < started) << "the seed no longer closes the port inside the hand-over\n"
                                                       << r.out;
    EXPECT_NE(r.out.find("thread-end USB001: the port was closed", started), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ClosePort = TRUE", started), std::string::npos) << r.out;
}

// Generated workloads: 2,000 seeds, each its own scenario under its own schedule, break
// nothing; a seed's scenario is the same every time it is drawn.
TEST(Explore, TwoThousandGeneratedScenarios)
{
    kvtest::Result r = kvtest::RunProgram({KVMON_SIM_PATH, "explore", "--generate", "--seeds", "2000"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("explored 2000 schedules (seeds 1 to 2000) of generated scenarios (--length 40) in "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(": 0 violations\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nreach: "), std::string::npos) << r.out;
    // The list of the monitor's decisions knows every one these seeds reach.
    EXPECT_EQ(r.out.find("reached, not in the list"), std::string::npos) << r.out;
    kvtest::Result a = kvtest::RunProgram({KVMON_SIM_PATH, "generate", "--seed", "7", "--ports", "3"});
    kvtest::Result b = kvtest::RunProgram({KVMON_SIM_PATH, "generate", "--seed", "7", "--ports", "3"});
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.out, b.out);
}

// A violating scenario shrinks to the lines the violation needs, in a file that replays
// it with the seed it names.
TEST(Explore, AViolationShrinksToAScenarioThatReplaysIt)
{
    std::string padded = std::string(kFailingCheck);
    padded.insert(padded.find("open\n"), "printer Q port LPT1\ndevice LPT1 code 42632\nselect P\n");
    padded.insert(padded.find("end-doc\n"), "write 100\nstatus-request\nwait 2500\nwrite \"two\\n\"\n");
    std::string path = WriteScenario(padded);
    std::string out = path + ".shrunk.scn";
    kvtest::Result r = kvtest::RunProgram({KVMON_SIM_PATH, "shrink", path, "--seed", "1", "--out", out});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("shrunk " + path + ": 16 commands to "), std::string::npos) << r.out;
    std::ifstream in(out);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = text.find("# replay: kvmon-sim run " + out + " --seed ");
    ASSERT_NE(at, std::string::npos) << text;
    std::string seed = text.substr(text.find("--seed ", at) + 7);
    seed = seed.substr(0, seed.find('\n'));
    EXPECT_EQ(text.find("LPT1"), std::string::npos) << text;
    EXPECT_EQ(text.find("write"), std::string::npos) << text;
    kvtest::Result replay = kvtest::RunProgram({KVMON_SIM_PATH, "run", out, "--seed", seed});
    EXPECT_EQ(replay.status, 1);
    EXPECT_NE(replay.err.find("violation (seed " + seed + "): expect: "), std::string::npos) << replay.err;
    std::remove(path.c_str());
    std::remove(out.c_str());
}

}  // namespace
