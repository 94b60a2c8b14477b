// The tools: scenario parsing, and the kvmon-sim and kvmon-stat programs run as a user
// runs them.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <signal.h>

#include "devstatus.h"
#include "programs.h"
#include "scenario.h"
#include "test_support.h"

namespace {

// ---- scenarios ----

std::string ParseError(const std::string& text)
{
    kvtools::Scenario s;
    std::string error;
    return kvtools::ParseScenario(text, "t", &s, &error) ? std::string() : error;
}

TEST(ScenarioParser, ErrorsNameTheirLine)
{
    const std::string p = "printer P port USB001\n";
    struct Case {
        std::string text;
        std::string expect;  // start of the error
    } cases[] = {
        {"bogus\n", "1: unknown command"},
        {"# c\n\nopen\n", "3: open: no printer"},
        {p + "write \"x\"\n", "2: write: port USB001 is not open"},
        {p + "open\nclose\nend-doc\n", "4: end-doc: port USB001 is not open"},
        {p + "open\nwrite \"abc\n", "3: unterminated string"},
        {p + "open\nwrite \"a\\q\"\n", "3: bad string: unknown escape"},
        {p + "device USB001 code 70000\n", "2: the status code 70000 is out of range"},
        {p + "device USB001 code 12x\n", "2: the status code must be a number"},
        {p + "device USB001 beep\n", "2: device: \"beep\""},
        {p + "wait\n", "2: wait: missing argument"},
        {p + "wait 10 20\n", "2: wait: unexpected \"20\""},
        {p + "answer maybe\n", "2: answer takes retry or cancel"},
        {p + "deleted-handles vanish\n", "2: deleted-handles takes fail, pending or answer"},
        {p + "open\nread-cycle 3000\n", "3: read-cycle must come before the first open"},
        {p + "printer p port USB002\n", "2: printer \"p\" is declared twice"},
        {p + "add-printer\n", "2: printer \"P\" is in the spooler"},
        {p + "select Q\n", "2: no printer \"Q\""},
    };
    for (const auto& c : cases) {
        std::string error = ParseError(c.text);
        EXPECT_EQ(error.rfind(c.expect, 0), 0u) << "scenario:\n" << c.text << "error: " << error;
    }
}

TEST(ScenarioParser, ExamplesParseAndTheDefaultIsTheExampleFile)
{
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KVMON_EXAMPLES_DIR)) {
        if (entry.path().extension() != ".scn")
            continue;
        files++;
        std::string text = kvtest::ReadFileBytes(entry.path().string());
        EXPECT_EQ(ParseError(text), "") << entry.path();
    }
    EXPECT_GE(files, 3);
    EXPECT_EQ(kvtest::ReadFileBytes(std::string(KVMON_EXAMPLES_DIR) + "/default.scn"), kvtools::kDefaultScenario);

    kvtools::Scenario s;
    std::string error;
    ASSERT_TRUE(kvtools::ParseScenario("printer P port USB001\nrename Q\nopen\nstart-doc\n", "t", &s, &error));
    ASSERT_EQ(s.commands.size(), 4u);
    EXPECT_EQ(s.commands[3].printer, "Q");  // commands after a rename use the new name
    EXPECT_EQ(s.commands[3].port, "USB001");
    EXPECT_EQ(s.commands[3].line, 4);
}

// ---- the programs ----

using kvtest::Has;
using kvtest::Result;
using kvtest::RunProgram;
using kvtest::TempPath;

TEST(KvmonSim, DefaultRunShowsEveryStep)
{
    auto start = std::chrono::steady_clock::now();
    // A slower clock than the default keeps the polls inside the scenario's waits on a
    // loaded machine.
    Result r = RunProgram({KVMON_SIM_PATH, "run", "--speed", "10"});
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(seconds.count(), 10);
    const std::string& t = r.out;
    EXPECT_TRUE(Has(t, "DllMain(DLL_PROCESS_ATTACH) = TRUE"));
    EXPECT_TRUE(Has(t, "OpenPortEx(\"USB001\", \"Kestravon ZR-QM4471\") = TRUE"));
    EXPECT_TRUE(Has(t, "query USB001 control 0x0016000C (USB): TRUE, 80 bytes \"MFG:Kestravon;"));
    // The reasons are the monitor's own, on the thread named by its port, also on real threads.
    EXPECT_TRUE(Has(t, "poll USB001    thread-start USB001: thread "));
    EXPECT_TRUE(Has(t, "record USB001: decoded from Base64: 24 bytes, code 42632 from bytes 21-22"));
    EXPECT_TRUE(Has(t, "thread-wake USB001: woken by a write error"));
    EXPECT_TRUE(Has(t, "status-cleared USB001: a write got through: status 0x00100008 cleared"));
    EXPECT_TRUE(Has(t, "prompt USB001: shown for job 2: answer Retry, the job is restarted"));
    EXPECT_TRUE(Has(t, "status 0x00100008 PAPER_JAM | USER_INTERVENTION) = TRUE"));
    EXPECT_TRUE(Has(t, "status 0x00500000 USER_INTERVENTION | DOOR_OPEN) = TRUE"));
    EXPECT_TRUE(Has(t, "block \"Kestravon Language MonitorUSB001\" 74 bytes, length field 74: 00 4a 4d 46 47"));
    EXPECT_TRUE(Has(t, "vuelog.err [DEVICE] MODELNAME=\"Kestravon ZR-QM4471\" DRVNAME=\"Kestravon Printer\" "
                       "PRNNAME=\"Kestravon ZR-QM4471\" PORTNAME=\"USB001\""));
    EXPECT_TRUE(Has(t, "broadcast \"QRT command message\""));
    EXPECT_TRUE(Has(t, "wParam 0x80000000, lParam 1"));
    EXPECT_TRUE(Has(t, "prompt \"Kestravon ZR-QM4471\": \"Не удается установить соединение."));
    EXPECT_TRUE(Has(t, "MB_SYSTEMMODAL | MB_RETRYCANCEL -> Retry"));
    EXPECT_TRUE(Has(t, "SetJobA(\"Kestravon ZR-QM4471\", job 2, JOB_CONTROL_RESTART) = TRUE"));
    EXPECT_TRUE(Has(t, "WritePort(USB001, 9 bytes \"% page 2\\n\")"));
    EXPECT_TRUE(Has(t, "= FALSE, error 21 ERROR_NOT_READY, 0 written"));
    // Unplugged at the end: no answer, the printer goes offline.
    size_t offline = t.rfind("status 0x00000080 OFFLINE) = TRUE");
    ASSERT_NE(offline, std::string::npos);
    EXPECT_LT(t.find("no-answer USB001: the device did not answer: code 901, printer offline"), offline);
    EXPECT_LT(offline, t.rfind("ClosePort(USB001)"));
    EXPECT_TRUE(Has(t, "ClosePort = TRUE"));

    // The same run as JSON: one object per line.
    Result j = RunProgram({KVMON_SIM_PATH, "run", "--json", "--speed", "10"});
    ASSERT_EQ(j.status, 0) << j.err;
    std::istringstream lines(j.out);
    std::string line;
    int n = 0;
    bool sawJam = false;
    while (std::getline(lines, line)) {
        n++;
        ASSERT_EQ(line.front(), '{') << line;
        ASSERT_EQ(line.back(), '}') << line;
        sawJam = sawJam || (Has(line, "\"event\":\"setprinter\"") && Has(line, "\"status\":1048584"));
    }
    EXPECT_GT(n, 50);
    EXPECT_TRUE(sawJam);
}

TEST(KvmonSim, BadInputIsRefusedBeforeAnythingPlays)
{
    std::string path = TempPath("bad.scn");
    std::ofstream(path) << "printer P port USB001\nopen\nstart-doc \"x\"\nwrite \"fine\"\ndevice USB001 code\n";
    Result r = RunProgram({KVMON_SIM_PATH, "run", path});
    std::remove(path.c_str());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kvmon-sim: " + path + ":5: device: code needs a number\n");

    Result missing = RunProgram({KVMON_SIM_PATH, "run", "/nonexistent/x.scn"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err, "kvmon-sim: /nonexistent/x.scn: cannot read the scenario: No such file or directory\n");
    EXPECT_EQ(RunProgram({KVMON_SIM_PATH, "run", "--hold"}).status, 2);
    EXPECT_EQ(RunProgram({KVMON_SIM_PATH, "frobnicate"}).status, 2);
    EXPECT_EQ(RunProgram({KVMON_SIM_PATH, "decode", "\\q"}).status, 2);
}

// Plays a scenario given as text; extra arguments after the file.
Result Play(const std::string& scenario, const std::vector<std::string>& extra = {})
{
    std::string path = TempPath("play.scn");
    std::ofstream(path) << scenario;
    std::vector<std::string> argv = {KVMON_SIM_PATH, "run", path};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Result r = RunProgram(argv, "", {"KVMON_SHM_NAMESPACE=kvplay" + std::to_string(getpid())});
    std::remove(path.c_str());
    return r;
}

// Text between the markers of two scenario lines.
std::string Between(const std::string& t, const std::string& from, const std::string& to)
{
    size_t a = t.find(from);
    size_t b = t.find(to, a == std::string::npos ? 0 : a);
    if (a == std::string::npos || b == std::string::npos)
        return "<markers missing>";
    return t.substr(a, b - a);
}

TEST(KvmonSim, PromptAnswersAndCompanionSwitch)
{
    // Cancel (also what an unscripted prompt gets), then a printer without a language
    // monitor in its driver and no companion application installed.
    Result r = Play("statovue off\n"
                    "printer P port USB003 monitor none\n"
                    "device USB003 code 42632\n"
                    "open\n"
                    "start-fails 2\n"
                    "answer cancel\n"
                    "start-doc \"One\"\n"
                    "start-doc \"Two\"\n"
                    "start-doc \"Three\"\n"
                    "end-doc\n"
                    "close\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string& t = r.out;
    EXPECT_TRUE(Has(t, "SetJobA(\"P\", job 1, JOB_CONTROL_CANCEL) = TRUE"));
    EXPECT_TRUE(Has(t, "-> Cancel (no answer scripted)"));
    EXPECT_TRUE(Has(t, "SetJobA(\"P\", job 2, JOB_CONTROL_CANCEL) = TRUE"));
    EXPECT_FALSE(Has(t, "restarted"));
    EXPECT_TRUE(Has(t, "StartDocPort(USB003, \"P\", job 3, level 1, \"Three\", RAW)"));
    EXPECT_TRUE(Has(t, "block \"USB003\" 74 bytes"));  // no monitor name: the port name alone
    EXPECT_TRUE(Has(t, "PAPER_JAM | USER_INTERVENTION) = TRUE"));
    EXPECT_FALSE(Has(t, "vuelog.err"));
    EXPECT_FALSE(Has(t, "broadcast"));
    EXPECT_TRUE(Has(t, "notify-skipped USB003: the companion's \"Installed Folder\" cannot be read"));
}

TEST(KvmonSim, EcpBackOffRawRecordsAndLptControlCode)
{
    // A slower clock keeps the polls well clear of the queue changes on a loaded machine.
    Result r = Play(kvtest::ReadFileBytes(std::string(KVMON_EXAMPLES_DIR) + "/lpt-ecp.scn"), {"--speed", "10"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string& t = r.out;
    EXPECT_TRUE(Has(t, "query LPT1 control 17 (LPT): TRUE, 68 bytes"));
    EXPECT_TRUE(Has(t, "record LPT1: raw (no \"FL1;\" before \"VSTATUS:\""));
    EXPECT_TRUE(Has(t, "status 0x00000010 PAPER_OUT) = TRUE"));
    // No query while a job waits in the queue of an ECP port; queries again after.
    EXPECT_FALSE(Has(Between(t, "queue-job", "clear-jobs"), "query LPT1")) << t;
    EXPECT_TRUE(Has(Between(t, "queue-job", "clear-jobs"), "thread-backoff LPT1: ECP port, 1 job(s) queued")) << t;
    EXPECT_TRUE(Has(Between(t, "clear-jobs", "close"), "code LPT1: 63400 (row 8)")) << t;
}

TEST(KvmonSim, UnrecognisedRepliesStatusRequestAndRename)
{
    Result r = Play(kvtest::ReadFileBytes(std::string(KVMON_EXAMPLES_DIR) + "/unrecognised.scn"),
                    {"--verbose", "--speed", "10"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string& t = r.out;
    EXPECT_TRUE(Has(t, "not-recognised USB002: no MFG: or MANUFACTURER: value beginning \"Kestravon\""));
    EXPECT_TRUE(Has(t, "not-published USB002: recognised, but no \"VSTATUS:\" field"));
    EXPECT_TRUE(Has(t, "code USB002: 16705 (not in the table)"));
    EXPECT_TRUE(Has(t, "status-request USB002: not refreshed: a status block is published"));
    EXPECT_TRUE(Has(t, "GetPrinterDataFromPort = FALSE, error 87"));
    // The polling thread follows the renamed printer: no second thread, and the companion
    // hears the new name.
    EXPECT_TRUE(Has(t, "printer-renamed USB002: \"Office printer\" is now \"Office printer (2nd floor)\": the port's printer handle names it (poll)"));
    EXPECT_EQ(t.find("thread-start"), t.rfind("thread-start")) << t;
    EXPECT_TRUE(Has(t, "PRNNAME=\"Office printer (2nd floor)\""));
    // --verbose also shows the monitor's other spooler calls and the port monitor's.
    EXPECT_TRUE(Has(t, "EnumPrintersA("));
    EXPECT_TRUE(Has(t, "port monitor EndDocPort(USB002) = TRUE"));
}

TEST(KvmonStat, WatchPrintsAgainWhenTheBlockChanges)
{
    std::string ns = "KVMON_SHM_NAMESPACE=kvwatch" + std::to_string(getpid());
    std::string path = TempPath("watch.scn");
    std::ofstream(path) << "printer P port USB009\ndevice USB009 code 42632\nopen\nstart-doc\nend-doc\n"
                           "wait 2500\ndevice USB009 code 40401\nwait 2500\n";
    std::string outPath = TempPath("watch.out");
    pid_t watcher = fork();
    if (watcher == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        putenv(const_cast<char*>(ns.c_str()));
        execl(KVMON_STAT_PATH, KVMON_STAT_PATH, "USB009", "--watch", (char*)nullptr);
        _exit(127);
    }
    Result sim = RunProgram({KVMON_SIM_PATH, "run", path, "--real-time", "--hold", "1500"}, "", {ns});
    kill(watcher, SIGTERM);
    waitpid(watcher, nullptr, 0);
    std::string watched = kvtest::ReadFileBytes(outPath);
    std::remove(path.c_str());
    std::remove(outPath.c_str());
    ASSERT_EQ(sim.status, 0) << sim.err;
    size_t jam = watched.find("meaning       paper jam");
    size_t door = watched.find("meaning       door open");
    ASSERT_NE(jam, std::string::npos) << watched;
    ASSERT_NE(door, std::string::npos) << watched;
    EXPECT_LT(jam, door);
    EXPECT_NE(watched.find("\n-- ", jam), std::string::npos);
}

TEST(KvmonSim, DecodeAndCodes)
{
    // A raw record with binary bytes given as escapes: code 0x3110 = 12560 is not in the table.
    Result r = RunProgram({KVMON_SIM_PATH, "decode",
                           "MFG:Kestravon;MDL:Q;VSTATUS:\\x01\\x02\\x03\\x04\\x05\\x06\\x07\\x08\\x09\\x0a\\x0b"
                           "\\x0c\\x0d\\x0e\\x0f\\x10\\x11\\x12\\x13\\x14\\x15\\x31\\x10\\x00\\x00"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "code          12560 (0x3110) from record bytes 21-22\n"));
    EXPECT_TRUE(Has(r.out, "table row     none"));
    EXPECT_TRUE(Has(r.out, "printer bits  0x00000080 OFFLINE\n"));
    EXPECT_TRUE(Has(r.out, "notified      no (offline)\n"));

    // The same reply through standard input and through a file gives the same report.
    std::string reply = kvtools::KestravonReply(12211);
    Result in = RunProgram({KVMON_SIM_PATH, "decode", "-"}, reply);
    ASSERT_EQ(in.status, 0) << in.err;
    EXPECT_TRUE(Has(in.out, "meaning       paper out\n"));
    std::string path = TempPath("reply.bin");
    std::ofstream(path, std::ios::binary) << reply;
    Result file = RunProgram({KVMON_SIM_PATH, "decode", "--file", path});
    std::remove(path.c_str());
    EXPECT_EQ(file.out, in.out);
    EXPECT_EQ(RunProgram({KVMON_SIM_PATH, "decode", "--file", "/nonexistent"}).status, 2);

    Result codes = RunProgram({KVMON_SIM_PATH, "codes"});
    ASSERT_EQ(codes.status, 0);
    EXPECT_TRUE(Has(codes.out, "16   42632  0x00100008  no       PAPER_JAM | USER_INTERVENTION"));
    EXPECT_TRUE(Has(codes.out, "42   63014  0x00140000  no"));
    EXPECT_TRUE(Has(codes.out, "never used: row 13 has the same code"));
}

TEST(KvmonStat, ReadsABlockPublishedByAnotherProcess)
{
    std::string ns = "KVMON_SHM_NAMESPACE=kvtools" + std::to_string(getpid());
    std::string path = TempPath("hold.scn");
    std::ofstream(path) << "printer P port USB007\ndevice USB007 code 15021\nopen\nstart-doc \"held\"\n";

    Result missing = RunProgram({KVMON_STAT_PATH, "USB007"}, "", {ns});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Has(missing.err, "no status block \"Kestravon Language MonitorUSB007\""));

    Result sim;
    std::thread player([&] { sim = RunProgram({KVMON_SIM_PATH, "run", path, "--hold", "4000"}, "", {ns}); });
    Result stat;
    for (int i = 0; i < 300 && stat.status != 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stat = RunProgram({KVMON_STAT_PATH, "USB007"}, "", {ns});
    }
    player.join();
    std::remove(path.c_str());
    ASSERT_EQ(stat.status, 0) << stat.err;
    EXPECT_EQ(sim.status, 0) << sim.err;
    EXPECT_TRUE(Has(stat.out, "block         \"Kestravon Language MonitorUSB007\"\n"));
    EXPECT_TRUE(Has(stat.out, "length field  74 (0x004a), body 72 bytes\n"));
    EXPECT_TRUE(Has(stat.out, "text          \"MFG:Kestravon;MDL:ZR-QM4471;CMD:PJL;FL0;VSTATUS:\"\n"));
    EXPECT_TRUE(Has(stat.out, "code          15021 (0x3aad) from record bytes 21-22\n"));
    EXPECT_TRUE(Has(stat.out, "meaning       output bin full\n"));
    EXPECT_TRUE(Has(stat.out, "printer bits  0x00100800 OUTPUT_BIN_FULL | USER_INTERVENTION\n"));

    EXPECT_EQ(RunProgram({KVMON_STAT_PATH}).status, 2);
    EXPECT_EQ(RunProgram({KVMON_STAT_PATH, "USB007", "--bogus"}).status, 2);
}

}  // namespace
