// kvmon-sim run and explore as a user meets them: their help, the scenario from standard
// input, scenario files that are not scenarios, option values out of range, each run's
// own namespace of status blocks, and what an interrupted run leaves behind.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "programs.h"
#include "sanitizers.h"
#include "explore.h"
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

// A run of kvmon-sim in the background, its output in files.
struct Background {
    explicit Background(const std::vector<std::string>& args)
        : outPath(TempPath("bg.out")), errPath(TempPath("bg.err"))
    {
        pid = fork();
        if (pid == 0) {
            int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char*> argv = {const_cast<char*>(KVMON_SIM_PATH)};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Background()
    {
        if (pid > 0 && !waited)
            Wait();
        std::remove(outPath.c_str());
        std::remove(errPath.c_str());
    }
    Result Wait()
    {
        Result r;
        int status = 0;
        waitpid(pid, &status, 0);
        waited = true;
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = kvtest::ReadFileBytes(outPath);
        r.err = kvtest::ReadFileBytes(errPath);
        return r;
    }
    pid_t pid = -1;
    bool waited = false;
    std::string outPath;
    std::string errPath;
};

// Whether a path appears within 20 s.
bool Appears(const std::string& path)
{
    for (int i = 0; i < 2000; i++) {
        if (access(path.c_str(), F_OK) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The shared memory object of a port's status block in a namespace.
std::string BlockPath(const std::string& ns, const std::string& port)
{
    return "/dev/shm/" + ns + ".Kestravon Language Monitor" + port;
}

// Entries of /dev/shm whose name starts with prefix.
std::vector<std::string> ShmEntries(const std::string& prefix)
{
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator("/dev/shm")) {
        std::string name = e.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0)
            found.push_back(name);
    }
    return found;
}

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
    ExpectRefused(Sim({"run", dir}), "kvmon-sim: " + dir + ": cannot read the scenario: is a directory");
    ExpectRefused(Sim({"explore", dir}), "kvmon-sim: " + dir + ": cannot read the scenario: is a directory");
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
    const std::string help = " (kvmon-sim run --help)";
    const std::string notNumber = ": a number is decimal digits, or 0x and hexadecimal digits" + help;
    ExpectRefused(Sim({"run", "--speed", "0"}), "kvmon-sim: --speed: \"0\" is out of range " + speed + help);
    ExpectRefused(Sim({"run", "--speed", "fast"}),
                  "kvmon-sim: --speed: \"fast\" is not a number (" + speed + ")" + notNumber);
    ExpectRefused(Sim({"run", "--speed"}), "kvmon-sim: --speed needs a number (" + speed + ")" + help);
    ExpectRefused(Sim({"run", "--seed", "18446744073709551616"}),
                  "kvmon-sim: --seed: \"18446744073709551616\" is out of range 0..18446744073709551615" + help);
    ExpectRefused(Sim({"run", "--seed", "+1"}),
                  "kvmon-sim: --seed: \"+1\" is not a number (0..18446744073709551615): a number takes no sign" + help);
    ExpectRefused(Sim({"run", "--hold=010"}), "kvmon-sim: --hold: \"010\" is not a number (0..86400000): a leading "
                                              "zero is ambiguous: write the number without it, or 0x for hexadecimal" +
                                                  help);
    ExpectRefused(Sim({"explore", "--jobs", "0"}),
                  "kvmon-sim: --jobs: \"0\" is out of range 1..64 (kvmon-sim explore --help)");
    // One seed range for run and explore; explore plays no seed twice.
    ExpectRefused(Sim({"explore", "--from=18446744073709551615", "--seeds", "2"}),
                  "kvmon-sim: --from 18446744073709551615 with --seeds 2 passes the last seed, 18446744073709551615 "
                  "(kvmon-sim explore --help)");
    Result last = Sim({"explore", "-", "--from", "0xffffffffffffffff", "--seeds", "1"}, kSmall);
    EXPECT_EQ(last.status, 0) << last.err;
    EXPECT_TRUE(Has(last.out, "explored 1 schedule (seed 18446744073709551615) of - in ")) << last.out;
    // The fastest clock still plays the scenario as written.
    TempFile file(kSmall);
    Result fastest = Sim({"run", file.path, "--speed", std::to_string(kMaxSpeed)});
    EXPECT_EQ(fastest.status, 0) << fastest.err;
}

TEST(RunCli, OptionsFollowOneRuleInEveryCommand)
{
    // --NAME=VALUE is --NAME VALUE; "--" ends the options; a flag takes no value; every
    // unknown option points to the command's help.
    TempFile file(kSmall);
    Result spaced = Sim({"run", "--seed", "7", file.path});
    Result joined = Sim({"run", "--seed=7", file.path});
    EXPECT_EQ(joined.status, 0) << joined.err;
    EXPECT_EQ(joined.out, spaced.out);
    ExpectRefused(Sim({"run", "--", "--json"}),
                  "kvmon-sim: --json: cannot read the scenario: No such file or directory");
    ExpectRefused(Sim({"run", "--json=yes"}), "kvmon-sim: --json takes no value (kvmon-sim run --help)");
    ExpectRefused(Sim({"run", "-q"}), "kvmon-sim: unknown option -q (kvmon-sim run --help)");
    ExpectRefused(Sim({"explore", "--seed", "1"}), "kvmon-sim: unknown option --seed (kvmon-sim explore --help)");
    EXPECT_TRUE(Has(Sim({"explore", "--help"}).out, "130 interrupted\n(SIGINT), 143 terminated (SIGTERM)"));

    // The replay line pastes into a shell as it is, whatever the file's name; plurals agree.
    std::string dir = TempPath("odd");
    std::filesystem::create_directory(dir);
    std::string odd = dir + "/it's a \"test\".scn";
    std::ofstream(odd) << "printer P port USB001\ndevice USB001 code 63400\nopen\nexpect status PAPER_JAM\n";
    Result found = Sim({"explore", "--stalls", "off", "--seeds", "1", odd});
    EXPECT_TRUE(Has(found.out, "explored 1 schedule (seed 1) of " + odd + " in ")) << found.out;
    EXPECT_TRUE(Has(found.out, ": 1 violation\n")) << found.out;
    size_t at = found.out.find("replay: kvmon-sim ");
    ASSERT_NE(at, std::string::npos) << found.out;
    std::string replay = found.out.substr(at + 18, found.out.find('\n', at) - at - 18);
    Result replayed = RunProgram({"/bin/sh", "-c", std::string("exec ") + KVMON_SIM_PATH + " " + replay});
    EXPECT_EQ(replayed.status, 1) << replay << "\n" << replayed.err;
    EXPECT_TRUE(Has(replayed.err, "violation (seed 1): expect")) << replayed.err;
    std::filesystem::remove_all(dir);

    EXPECT_EQ(kvtools::RateText(1, 6.2), "6.2 s, 6.2 s per schedule");
    EXPECT_EQ(kvtools::RateText(12, 6.0), "6.0 s, 2.0 per second");
}

TEST(RunCli, RunsSideBySideHaveNamespacesOfTheirOwn)
{
    // Two runs publish the block of the same port at the same time, with different codes.
    TempFile jam("printer P port USB001\ndevice USB001 code 42632\nopen\nstart-doc\n");
    TempFile door("printer P port USB001\ndevice USB001 code 40401\nopen\nstart-doc\n");
    Background a({"run", jam.path, "--hold", "60000"});
    Background b({"run", door.path, "--hold", "60000"});
    std::string nsA = "kvmon-sim-" + std::to_string(a.pid);
    std::string nsB = "kvmon-sim-" + std::to_string(b.pid);
    ASSERT_TRUE(Appears(BlockPath(nsA, "USB001")));
    ASSERT_TRUE(Appears(BlockPath(nsB, "USB001")));
    Result readA = RunProgram({KVMON_STAT_PATH, "USB001", "--namespace", nsA});
    Result readB = RunProgram({KVMON_STAT_PATH, "USB001", "--namespace", nsB});
    EXPECT_TRUE(Has(readA.out, "meaning       paper jam\n")) << readA.out << readA.err;
    EXPECT_TRUE(Has(readB.out, "meaning       door open\n")) << readB.out << readB.err;
    // Each run has its own: the two names differ. (The default namespace is not checked: any
    // other program on the machine may publish there.)
    EXPECT_NE(nsA, nsB);
    kill(a.pid, SIGTERM);
    kill(b.pid, SIGTERM);
    EXPECT_EQ(a.Wait().status, 143);
    EXPECT_EQ(b.Wait().status, 143);
    EXPECT_TRUE(ShmEntries(nsA + ".").empty());
    EXPECT_TRUE(ShmEntries(nsB + ".").empty());
}

TEST(RunCli, NamespaceSharesTheBlocksWithKvmonStatOnPurpose)
{
    std::string ns = "kvruncli" + std::to_string(getpid());
    TempFile file("printer P port USB003\ndevice USB003 code 12211\nopen\nstart-doc\n");
    Background run({"run", file.path, "--hold", "4000", "--namespace", ns});
    ASSERT_TRUE(Appears(BlockPath(ns, "USB003")));
    Result stat = RunProgram({KVMON_STAT_PATH, "USB003", "--namespace", ns});
    EXPECT_EQ(stat.status, 0) << stat.err;
    EXPECT_TRUE(Has(stat.out, "meaning       paper out\n")) << stat.out;
    Result held = run.Wait();
    EXPECT_EQ(held.status, 0);
    // The run names the namespace a reader needs.
    EXPECT_TRUE(Has(held.out, "blocks open in namespace " + ns + ": kvmon-stat --namespace " + ns + " PORT reads them"))
        << held.out;

    ExpectRefused(Sim({"run", "--namespace", "a/b"}),
                  "kvmon-sim: --namespace: \"a/b\" is not a name (empty or with '/') (kvmon-sim run --help)");
    ExpectRefused(Sim({"run", "--namespace"}), "kvmon-sim: --namespace needs a name (kvmon-sim run --help)");
}

// Interrupts a run once its block is published: nothing of it is left afterwards.
void ExpectInterruptLeavesNothing(int signal, int status, const std::string& message, const std::vector<std::string>& mode)
{
    std::string ns = "kvruncli" + std::to_string(getpid()) + "_" + std::to_string(signal);
    TempFile file("printer P port USB004\ndevice USB004 code 42632\nopen\nstart-doc\nwrite \"x\"\n");
    std::vector<std::string> args = {"run", file.path, "--hold", "60000", "--namespace", ns};
    args.insert(args.end(), mode.begin(), mode.end());
    Background run(args);
    ASSERT_TRUE(Appears(BlockPath(ns, "USB004")));
    // The companion's folder of the run, in /dev/shm as a tmpfs.
    std::string folders = "kvmon-sim-" + std::to_string(run.pid) + "-";
    EXPECT_EQ(ShmEntries(folders).size(), 1u);
    kill(run.pid, signal);
    Result r = run.Wait();
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(r.err, "kvmon-sim: " + message + "; the run's status blocks and temporary folder are removed\n");
    EXPECT_TRUE(ShmEntries(ns + ".").empty());
    EXPECT_TRUE(ShmEntries(folders).empty());
}

TEST(RunCli, InterruptedRunsRemoveTheirBlocksAndFolders)
{
    ExpectInterruptLeavesNothing(SIGINT, 130, "interrupted (SIGINT)", {"--real-time"});
    ExpectInterruptLeavesNothing(SIGTERM, 143, "terminated (SIGTERM)", {"--speed", "20"});
}

// The processes whose parent is `parent`, from /proc.
std::vector<pid_t> ChildrenOf(pid_t parent)
{
    std::vector<pid_t> children;
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string stat = kvtest::ReadFileBytes(e.path().string() + "/stat");
        size_t close = stat.rfind(')');
        char state = 0;
        long ppid = 0;
        if (close != std::string::npos && std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 &&
            ppid == parent)
            children.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return children;
}

TEST(RunCli, InterruptedExploreStopsItsWorkersAndRemovesWhatTheyHeld)
{
    TempFile file("printer P port USB006\ndevice USB006 code 42632\nopen\nstart-doc\nwrite 10\nwait 20000\n"
                  "end-doc\nclose\n");
    for (int signal : {SIGINT, SIGTERM}) {
        Background explore({"explore", file.path, "--seeds", "10000000", "--jobs", "2"});
        std::vector<pid_t> workers;
        for (int i = 0; i < 500 && workers.size() < 2; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            workers = ChildrenOf(explore.pid);
        }
        ASSERT_EQ(workers.size(), 2u);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // into their schedules
        kill(explore.pid, signal);
        Result r = explore.Wait();
        const char* how = signal == SIGINT ? "interrupted (SIGINT)" : "terminated (SIGTERM)";
        EXPECT_EQ(r.status, signal == SIGINT ? 130 : 143) << r.err;
        EXPECT_EQ(r.err, std::string("kvmon-sim: ") + how +
                             "; explore's workers are stopped, their status blocks and temporary folders removed\n");
        for (pid_t worker : workers) {
            EXPECT_NE(kill(worker, 0), 0) << "worker " << worker << " still runs";
            EXPECT_TRUE(ShmEntries("kvmon-explore-" + std::to_string(worker) + ".").empty()) << worker;
            EXPECT_TRUE(ShmEntries("kvmon-sim-" + std::to_string(worker) + "-").empty()) << worker;
        }
    }
}

// Entries of /dev/shm and /tmp named after a process that is gone ("kvmon-sim-PID" and
// "kvmon-explore-PID"): what a run left behind.
std::set<std::string> Leftovers()
{
    std::set<std::string> found;
    for (const char* dir : {"/dev/shm", "/tmp"}) {
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            std::string name = e.path().filename().string();
            for (const std::string prefix : {"kvmon-sim-", "kvmon-explore-"}) {
                if (name.compare(0, prefix.size(), prefix) != 0)
                    continue;
                long pid = std::atol(name.c_str() + prefix.size());
                if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
                    found.insert(name);
            }
        }
    }
    return found;
}

// The new of `after`, not in `before`.
std::set<std::string> Added(const std::set<std::string>& before, const std::set<std::string>& after)
{
    std::set<std::string> added;
    for (const auto& n : after)
        if (before.count(n) == 0)
            added.insert(n);
    return added;
}

// A day of idle polling plays; threads that run without the clock or the scenario moving on
// are a livelock, reported in the timeline, the JSON stream and on stderr with the seed,
// and a run or explore that ends so leaves no block or folder.
TEST(RunVerdicts, LongIdleIsNoLivelockAndAStuckRunReportsAndLeavesNothing)
{
    std::string day = "printer P port USB001\ndevice USB001 code 63400\nopen\nstart-doc\nwrite \"x\"\nend-doc\n";
    for (int i = 0; i < 24; i++)
        day += "wait 3600000\n";
    TempFile dayFile(day);
    Result played = Sim({"run", dayFile.path, "--quiet-polls"});
    EXPECT_EQ(played.status, 0) << played.err;

    TempFile small(kSmall);
    std::set<std::string> before = Leftovers();
    Result stuck = RunProgram({KVMON_SIM_PATH, "run", small.path, "--json", "--seed", "7"}, "",
                              {"KVMON_SIM_STEP_LIMIT=40"});
    EXPECT_EQ(stuck.status, 3);
    std::string last = stuck.out.substr(stuck.out.rfind('\n', stuck.out.size() - 2) + 1);
    EXPECT_TRUE(Has(last, "\"event\":\"violation\"")) << last;
    EXPECT_TRUE(Has(last, "\"invariant\":\"livelock\"")) << last;
    EXPECT_TRUE(Has(stuck.err, "kvmon-sim: violation (seed 7): livelock: livelock at 0 ms: 40 scheduling points"))
        << stuck.err;
    Result explore = RunProgram({KVMON_SIM_PATH, "explore", small.path, "--seeds", "2", "--jobs", "1"}, "",
                                {"KVMON_SIM_STEP_LIMIT=40"});
    EXPECT_EQ(explore.status, 1);
    EXPECT_TRUE(Has(explore.out, "2 violations")) << explore.out;
    EXPECT_EQ(Added(before, Leftovers()), std::set<std::string>());
}

// An expect after a wait reads the state once the thread that woke then has run.
TEST(RunVerdicts, AnExpectAfterAWaitSeesWhatThePollThatWokeThenDid)
{
    TempFile file("printer P port USB001\ndevice USB001 code 63400\nopen\nstart-doc\nend-doc\n"
                  "device USB001 code 42632\nwait 2000\nexpect status PAPER_JAM | USER_INTERVENTION\nclose\n");
    Result r = Sim({"explore", file.path, "--seeds", "300", "--jobs", "2"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, ": 0 violations\n")) << r.out;
}

// A reader that goes away (`| head -1`) ends the run, which removes its folder and blocks
// first; a long run holds no more memory than a short one.
TEST(RunVerdicts, ABrokenPipeLeavesNothingAndMemoryStaysFlat)
{
    TempFile hour("printer P port USB001\ndevice USB001 code 63400\nopen\nstart-doc\nend-doc\nwait 3600000\n");
    std::set<std::string> before = Leftovers();
    Result piped = RunProgram({"/bin/sh", "-c",
                               "('" + std::string(KVMON_SIM_PATH) + "' run '" + hour.path +
                                   "' --all-polls; echo \"status $?\" >&2) | head -1"});
    EXPECT_EQ(piped.out, "     ms  thread       event\n");
    EXPECT_TRUE(Has(piped.err, "status 141")) << piped.err;
    EXPECT_EQ(Added(before, Leftovers()), std::set<std::string>());

    // AddressSanitizer's quarantine holds on to freed memory: the peak says nothing there.
    if (kvtest::kAddressSanitizer)
        return;
    auto peak = [] {
        rusage usage{};
        getrusage(RUSAGE_CHILDREN, &usage);
        return usage.ru_maxrss;  // KiB, the largest child so far
    };
    std::string writes = "printer P port USB001\ndevice USB001 code 63400\nopen\nstart-doc\n";
    TempFile one(writes + "write 1048576\nend-doc\n");
    for (int i = 0; i < 64; i++)
        writes += "write 1048576\n";
    TempFile many(writes + "end-doc\n");
    EXPECT_EQ(Sim({"run", one.path}).status, 0);
    long small = peak();
    EXPECT_EQ(Sim({"run", many.path}).status, 0);
    EXPECT_LT(peak() - small, 16 * 1024) << "64 MiB written";
}

TEST(RunCli, TheNextRunRemovesWhatAKilledRunLeft)
{
    TempFile file("printer P port USB005\ndevice USB005 code 63400\nopen\nstart-doc\n");
    Background killed({"run", file.path, "--hold", "60000"});
    std::string own = "kvmon-sim-" + std::to_string(killed.pid);
    ASSERT_TRUE(Appears(BlockPath(own, "USB005")));
    kill(killed.pid, SIGKILL);
    EXPECT_EQ(killed.Wait().status, -1);
    EXPECT_EQ(ShmEntries(own + ".").size(), 1u);  // its block
    EXPECT_EQ(ShmEntries(own + "-").size(), 1u);  // its temporary folder

    EXPECT_EQ(Sim({"run", file.path}).status, 0);
    EXPECT_TRUE(ShmEntries(own + ".").empty());
    EXPECT_TRUE(ShmEntries(own + "-").empty());

    // A block of an explore worker that is gone (as a deadlocked schedule leaves it), and
    // one of a process that is still there (this one), which stays.
    std::string gone = "/dev/shm/kvmon-explore-" + std::to_string(killed.pid) + ".Kestravon Language MonitorUSB005";
    std::string alive = "/dev/shm/kvmon-explore-" + std::to_string(getpid()) + ".Kestravon Language MonitorUSB005";
    std::ofstream(gone) << "x";
    std::ofstream(alive) << "x";
    EXPECT_EQ(Sim({"explore", file.path, "--seeds", "1", "--jobs", "1"}).status, 0);
    EXPECT_FALSE(std::filesystem::exists(gone));
    EXPECT_TRUE(std::filesystem::exists(alive));
    std::remove(alive.c_str());
}

}  // namespace
