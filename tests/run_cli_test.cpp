// kvmon-sim run and explore as a user meets them: their help, the scenario from standard
// input, scenario files that are not scenarios, option values out of range, each run's
// own namespace of status blocks, and what an interrupted run leaves behind.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "programs.h"
#include "simcli.h"

namespace {

using kvtest::Has;
using kvtest::Result;
using kvtest::RunProgram;
using kvtest::TempPath;
using kvtools::kMaxSpeed;

const char kSmall[] = "printer P port USB001\ndevice USB001 code 63400\nopen\nstart-doc\nwrite \"x\"\nend-doc\nclose\n";

// A file holding bytes, removed when the holder goes.
struct TempFile {
    explicit TempFile(const std::string& bytes) : path(TempPath("scenario.scn"))
    {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
};

Result Sim(const std::vector<std::string>& args, const std::string& input = "")
{
    std::vector<std::string> argv = {KVMON_SIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, input);
}

// One line on stderr, exit 2, nothing played.
void ExpectRefused(const Result& r, const std::string& err)
{
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.err, err + "\n");
    EXPECT_EQ(r.out, "");
}

TEST(RunCli, EachCommandHasItsOwnHelp)
{
    Result run = Sim({"run", "--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("usage: kvmon-sim run [SCENARIO | -]", 0), 0u) << run.out;
    EXPECT_TRUE(Has(run.out, "--hold MS")) << run.out;
    EXPECT_FALSE(Has(run.out, "explore")) << run.out;
    EXPECT_EQ(run.err, "");

    Result explore = Sim({"explore", "examples/nonexistent.scn", "-h"});
    EXPECT_EQ(explore.status, 0);
    EXPECT_EQ(explore.out.rfind("usage: kvmon-sim explore [SCENARIO | -]", 0), 0u) << explore.out;
    EXPECT_TRUE(Has(explore.out, "--seeds N")) << explore.out;
}

TEST(RunCli, DashReadsTheScenarioFromStandardInput)
{
    TempFile file(kSmall);
    Result fromFile = Sim({"run", file.path});
    Result fromStdin = Sim({"run", "-"}, kSmall);
    ASSERT_EQ(fromStdin.status, 0) << fromStdin.err;
    EXPECT_TRUE(Has(fromStdin.out, "scenario stdin: 7 commands")) << fromStdin.out;
    // The same timeline but for the scenario's name in the first line.
    std::string a = fromFile.out.substr(fromFile.out.find(": 7 commands"));
    std::string b = fromStdin.out.substr(fromStdin.out.find(": 7 commands"));
    EXPECT_EQ(a, b);

    ExpectRefused(Sim({"run", "-"}, "printer P port USB001\nfrobnicate\n"),
                  "kvmon-sim: stdin:2: unknown command \"frobnicate\"");
    ExpectRefused(Sim({"run", "-"}, ""), "kvmon-sim: stdin: is empty (a scenario has one command per line)");
    Result explore = Sim({"explore", "-", "--seeds", "3", "--jobs", "1"}, kSmall);
    EXPECT_EQ(explore.status, 0) << explore.err;
    EXPECT_TRUE(Has(explore.out, "explored 3 schedules")) << explore.out;
}

TEST(RunCli, ScenarioFilesThatAreNotTextAreRefusedBeforeAnythingPlays)
{
    std::string dir = TempPath("dir");
    std::filesystem::create_directory(dir);
    ExpectRefused(Sim({"run", dir}), "kvmon-sim: " + dir + ": is a directory, not a scenario file");
    ExpectRefused(Sim({"explore", dir}), "kvmon-sim: " + dir + ": is a directory, not a scenario file");
    std::filesystem::remove(dir);

    TempFile empty("");
    ExpectRefused(Sim({"run", empty.path}), "kvmon-sim: " + empty.path + ": is empty (a scenario has one command per line)");
    TempFile bomOnly("\xEF\xBB\xBF");
    ExpectRefused(Sim({"run", bomOnly.path}),
                  "kvmon-sim: " + bomOnly.path + ": is empty (a scenario has one command per line)");

    const std::string kNotText = ") is not UTF-8 text; a scenario is a text file (write other bytes as \\xHH in quotes)";
    TempFile binary(std::string("printer P port USB001\nop\0en\n", 27));
    ExpectRefused(Sim({"run", binary.path}), "kvmon-sim: " + binary.path + ": byte at offset 24 (0x00" + kNotText);
    // Code page 1251 is not UTF-8: 0xCE 0xF4 is no sequence.
    TempFile cp1251("printer \"\xCE\xF4\xE8\xF1\" port USB001\n");
    ExpectRefused(Sim({"run", cp1251.path}), "kvmon-sim: " + cp1251.path + ": byte at offset 9 (0xCE" + kNotText);
    TempFile control("wait 10\x1b[0m\n");
    ExpectRefused(Sim({"run", control.path}), "kvmon-sim: " + control.path + ": byte at offset 7 (0x1B" + kNotText);

    // A line of 64 KiB plays (it is a comment); one byte more is refused with its line number.
    std::string limit = "# " + std::string(64 * 1024 - 2, 'x');
    TempFile longest(std::string(kSmall) + limit + "\r\n");
    EXPECT_EQ(Sim({"run", longest.path}).status, 0);
    TempFile tooLong(std::string(kSmall) + limit + "x\nclose\n");
    ExpectRefused(Sim({"run", tooLong.path}),
                  "kvmon-sim: " + tooLong.path + ":8: the line is 65537 bytes long; at most 65536 bytes");
}

TEST(RunCli, AByteOrderMarkAndUtf8TextArePlayed)
{
    TempFile bom("\xEF\xBB\xBF" "printer \"Офис\" port USB001\ndevice USB001 code 63400\r\nopen\r\nclose\r\n");
    Result r = Sim({"run", bom.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, ": 4 commands")) << r.out;
    // A mark anywhere but at the start is not a line's first word.
    TempFile inside("printer P port USB001\n\xEF\xBB\xBF" "open\n");
    Result bad = Sim({"run", inside.path});
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(Has(bad.err, inside.path + ":2: unknown command")) << bad.err;
}

TEST(RunCli, ADeviceOnAPortWithoutAPrinterIsRefused)
{
    // A typo in the port: the printer on USB001 would never get an answer.
    ExpectRefused(Sim({"run", "-"}, "printer P port USB001\nprinter Q port LPT1\ndevice USB01 code 63400\nopen\n"),
                  "kvmon-sim: stdin:3: device: no printer is declared on port USB01 (ports with a printer: USB001, "
                  "LPT1)");
    ExpectRefused(Sim({"run", "-"}, "device USB001 no-answer\nprinter P port USB001\n"),
                  "kvmon-sim: stdin:1: device: no printer is declared on port USB001 (no printer line yet)");
    // Port names are not case-sensitive, and a renamed printer keeps its port.
    EXPECT_EQ(Sim({"run", "-"}, "printer P port USB001\nrename R\ndevice usb001 code 63400\n").status, 0);
}

TEST(RunCli, RangeErrorsNameTheOptionTheValueAndTheRange)
{
    const std::string speed = "1.." + std::to_string(kMaxSpeed);
    ExpectRefused(Sim({"run", "--speed", "0"}), "kvmon-sim: --speed: \"0\" is out of range " + speed);
    ExpectRefused(Sim({"run", "--speed", std::to_string(kMaxSpeed + 1)}),
                  "kvmon-sim: --speed: \"" + std::to_string(kMaxSpeed + 1) + "\" is out of range " + speed);
    ExpectRefused(Sim({"run", "--speed", "fast"}), "kvmon-sim: --speed: \"fast\" is not a number (" + speed + ")");
    ExpectRefused(Sim({"run", "--speed"}), "kvmon-sim: --speed needs a number (" + speed + ")");
    ExpectRefused(Sim({"run", "--seed", "18446744073709551616"}),
                  "kvmon-sim: --seed: \"18446744073709551616\" is out of range 0..18446744073709551615");
    ExpectRefused(Sim({"run", "--seed", "-1"}), "kvmon-sim: --seed: \"-1\" is not a number (0..18446744073709551615)");
    ExpectRefused(Sim({"run", "--hold", "86400001"}), "kvmon-sim: --hold: \"86400001\" is out of range 0..86400000");
    ExpectRefused(Sim({"explore", "--jobs", "0"}), "kvmon-sim: --jobs: \"0\" is out of range 1..64");
    ExpectRefused(Sim({"explore", "--seeds", "100000001"}),
                  "kvmon-sim: --seeds: \"100000001\" is out of range 1..100000000");
    // The fastest clock still plays the scenario as written.
    TempFile file(kSmall);
    Result fastest = Sim({"run", file.path, "--speed", std::to_string(kMaxSpeed)});
    EXPECT_EQ(fastest.status, 0) << fastest.err;
}

}  // namespace
