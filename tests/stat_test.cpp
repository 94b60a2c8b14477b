// kvmon-stat as a user runs it: why a port has no block, a live block, one whose publisher
// has gone, a raw block whose code bytes were cut, the watch, and its JSON validated
// against docs/schema/stat.schema.json with Debian's python3-jsonschema.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "devstatus.h"
#include "programs.h"

namespace {

using kvtest::Has;
using kvtest::Result;
using kvtest::RunProgram;
using kvtest::TempPath;

const char kMonitor[] = "Kestravon Language Monitor";

// The test process's namespace; children started with NamespaceEnv() share it.
std::string Namespace()
{
    static const std::string ns = "kvstat" + std::to_string(getpid());
    return ns;
}

std::string NamespaceEnv()
{
    return "KVMON_SHM_NAMESPACE=" + Namespace();
}

Result Stat(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {KVMON_STAT_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, "", {NamespaceEnv()});
}

std::string Validate(const std::string& output, bool lines = false)
{
    return kvtest::ValidateJson(KVMON_SOURCE_DIR, "stat", output, lines);
}

// A status block this process publishes and holds, as the monitor does.
class HeldBlock {
public:
    HeldBlock(const std::string& port, const std::string& bytes)
    {
        kvplat::SetMappingNamespace(Namespace());
        h_ = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 1024,
                                (std::string(kMonitor) + port).c_str());
        EXPECT_NE(h_, (HANDLE)NULL);
        Write(bytes);
    }
    ~HeldBlock() { Close(); }
    void Write(const std::string& bytes)
    {
        void* view = MapViewOfFile(h_, FILE_MAP_WRITE, 0, 0, bytes.size());
        ASSERT_NE(view, nullptr);
        memcpy(view, bytes.data(), bytes.size());
        UnmapViewOfFile(view);
    }
    void Close()
    {
        if (h_ != NULL)
            CloseHandle(h_);
        h_ = NULL;
    }

private:
    HANDLE h_ = NULL;
};

// The block the monitor publishes for a reply.
std::string BlockOf(const std::string& reply)
{
    return kvtools::AnalyseReply(reply).block;
}

// A block left behind by a publisher that was killed: the object is there, nobody holds it.
std::string LeaveOrphan(const std::string& port, const std::string& bytes)
{
    kvplat::SetMappingNamespace(Namespace());
    std::string name = kvplat::ShmObjectName(std::string(kMonitor) + port);
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    EXPECT_GE(fd, 0) << name;
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(bytes.size())), 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    return name;
}

bool ObjectExists(const std::string& shmName)
{
    int fd = shm_open(shmName.c_str(), O_RDONLY, 0);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

TEST(StatStates, NoBlockSaysWhyItCanBeAbsent)
{
    Result r = Stat({"USB001"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kvmon-stat: no status block \"Kestravon Language MonitorUSB001\" in namespace \"" + Namespace() +
                         "\": the monitor keeps a port's block only while it polls a recognised printer whose reply "
                         "has a \"VSTATUS:\" field; it closes it when the printer does not answer, its reply is not "
                         "recognised or has no status field, and when polling ends (the port is closed). Check the "
                         "port name and --monitor (the language monitor the printer's driver names)\n");
    // After "--" a name that begins with '-' is a port.
    Result dashed = Stat({"--", "-x"});
    EXPECT_EQ(dashed.status, 1);
    EXPECT_TRUE(Has(dashed.err, "no status block \"Kestravon Language Monitor-x\"")) << dashed.err;
    Result j = Stat({"USB001", "--json"});
    EXPECT_EQ(j.status, 1);
    EXPECT_TRUE(Has(j.out, "\"state\":\"absent\""));
    EXPECT_EQ(Validate(j.out), "");
}

TEST(StatStates, LiveBlockWithACyrillicModel)
{
    HeldBlock held("USB002", BlockOf(kvtools::KestravonReply(42632, false, "Kestravon", "ZR-QM4471 \xce\xf4\xe8\xf1")));
    Result r = Stat({"USB002"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "namespace     " + Namespace() + "\n"));
    EXPECT_TRUE(Has(r.out, "state         live: a process holds the block"));
    EXPECT_TRUE(Has(r.out, "model         ZR-QM4471 Офис\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "code          42632 (0xa688) from record bytes 21-22\n"));
    Result j = Stat({"USB002", "--json"});
    ASSERT_EQ(j.status, 0);
    EXPECT_TRUE(Has(j.out, "\"model\":\"ZR-QM4471 Офис\"")) << j.out;
    EXPECT_TRUE(Has(j.out, "\"printer_bits\":1048584,\"printer_bit_names\":[\"PAPER_JAM\",\"USER_INTERVENTION\"]"));
    EXPECT_EQ(Validate(j.out), "");

    // The same block through --namespace instead of the environment.
    Result ns = RunProgram({KVMON_STAT_PATH, "USB002", "--namespace", Namespace()});
    EXPECT_EQ(ns.status, 0) << ns.err;
    EXPECT_EQ(ns.out, r.out);
}

// kvmon-stat looks up the name the monitor publishes, cut to 259 characters as the monitor
// cuts it, and a '/' in a name makes a name of its own.
TEST(StatStates, TheNameLookedUpIsTheOneTheMonitorBuilds)
{
    std::string port = "USB" + std::string(240, '7');
    HeldBlock cut(port.substr(0, NAME_BUFFER_SIZE - 1 - std::strlen(kMonitor)), BlockOf(kvtools::KestravonReply(42632)));
    Result r = Stat({port});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "state         live")) << r.out;

    HeldBlock underscore("USB_008", BlockOf(kvtools::KestravonReply(42632)));
    EXPECT_EQ(Stat({"USB_008"}).status, 0);
    Result slash = Stat({"USB/008"});
    EXPECT_EQ(slash.status, 1) << slash.out;
    EXPECT_TRUE(Has(slash.err, "no status block \"Kestravon Language MonitorUSB/008\"")) << slash.err;
}

TEST(StatStates, BlockWhosePublisherHasGone)
{
    std::string shm = LeaveOrphan("USB003", BlockOf(kvtools::KestravonReply(40401)));
    Result r = Stat({"USB003"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "state         publisher gone: no process holds the block; it was left by a process "
                           "that ended without closing it"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "meaning       door open\n"));
    // The reader was its last holder: the block is gone with it.
    EXPECT_FALSE(ObjectExists(shm));

    LeaveOrphan("USB003", BlockOf(kvtools::KestravonReply(40401)));
    Result j = Stat({"USB003", "--json"});
    EXPECT_TRUE(Has(j.out, "\"state\":\"publisher-gone\"")) << j.out;
    EXPECT_EQ(Validate(j.out), "");
    EXPECT_FALSE(ObjectExists(shm));
}

// ---- raw blocks ----

TEST(RawBlock, CodeCutWithTheReplysLastBytesListsTheCodesThatFit)
{
    // A raw 24-byte record: the block holds record byte 21 (0x2f), not byte 22.
    HeldBlock held("LPT1", BlockOf(kvtools::KestravonReply(12211, true)));
    Result r = Stat({"LPT1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "form          raw (the device's reply less its last 2 bytes)\n"));
    EXPECT_TRUE(Has(r.out, "code          0x2f??: record byte 22 is not in the block"));
    EXPECT_TRUE(Has(r.out, "may be        12213 (0x2fb5), row 37: no error"));
    EXPECT_TRUE(Has(r.out, "              12211 (0x2fb3), row 39: paper out; printer bits PAPER_OUT\n"));
    EXPECT_TRUE(Has(r.out, "              any other 0x2f?? code: not in the table, printer offline\n"));
    EXPECT_FALSE(Has(r.out, "unknown"));
    Result j = Stat({"LPT1", "--json"});
    EXPECT_TRUE(Has(j.out, "\"code_complete\":false,\"code_pattern\":\"0x2f??\",\"code\":null")) << j.out;
    EXPECT_TRUE(Has(j.out, "{\"code\":12211,\"table_row\":39,\"meaning\":\"paper out\""));
    EXPECT_EQ(Validate(j.out), "");
}

TEST(RawBlock, TheCodeTheMonitorAppliedIsAlwaysAmongTheCandidates)
{
    for (int i = 0; StatusCodeTable[i].code != 0; i++) {
        WORD code = StatusCodeTable[i].code;
        kvtools::Analysis reply = kvtools::AnalyseReply(kvtools::KestravonReply(code, true));
        kvtools::BlockAnalysis b = kvtools::AnalyseBlock(reply.block);
        ASSERT_TRUE(b.valid);
        EXPECT_EQ(b.missingCodeBytes, 2u);
        bool found = false;
        for (int row : b.candidateRows)
            found = found || StatusCodeTable[row - 1].code == reply.code;
        EXPECT_TRUE(found) << code;
    }
    // A longer record keeps both code bytes in the block: the code is complete.
    std::string record = kvtools::StatusRecord(42632) + "zz";
    kvtools::BlockAnalysis longer =
        kvtools::AnalyseBlock(BlockOf("MFG:Kestravon;MDL:ZR-QM4471;CMD:PJL;VSTATUS:" + record));
    EXPECT_TRUE(longer.detail.codeKnown);
    EXPECT_EQ(longer.detail.code, 42632);
    EXPECT_TRUE(longer.candidateRows.empty());
}

// ---- watch ----

// Starts kvmon-stat with args, its standard output to a file.
// Started kvmon-stat --watch; ended with SIGKILL if the test stops before it ends it.
struct Watcher {
    pid_t pid = -1;
    ~Watcher()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

pid_t StartStat(const std::vector<std::string>& args, const std::string& outPath)
{
    std::string env = NamespaceEnv();
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        putenv(const_cast<char*>(env.c_str()));
        std::vector<char*> argv = {const_cast<char*>(KVMON_STAT_PATH)};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// A path removed when the test ends, however it ends.
struct OutputFile {
    std::string path = TempPath("watch.out");
    ~OutputFile() { std::remove(path.c_str()); }
};

size_t Lines(const std::string& path)
{
    std::string s = kvtest::ReadFileBytes(path);
    return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
}

int ExitStatus(Watcher& w)
{
    int status = 0;
    waitpid(w.pid, &status, 0);
    w.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StatWatch, EachChangeOnceWithItsTimeUntilCtrlC)
{
    OutputFile file;
    const std::string& out = file.path;
    HeldBlock held("USB004", BlockOf(kvtools::KestravonReply(63400)));
    Watcher watcher;
    watcher.pid = StartStat({"USB004", "--watch", "--interval", "50", "--json"}, out);
    ASSERT_TRUE(kvtest::WaitUntil([&] { return Lines(out) >= 1; }, 10000));
    held.Write(BlockOf(kvtools::KestravonReply(42632)));
    ASSERT_TRUE(kvtest::WaitUntil([&] { return Lines(out) >= 2; }, 10000));
    held.Close();
    ASSERT_TRUE(kvtest::WaitUntil([&] { return Lines(out) >= 3; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // several reads, no change
    kill(watcher.pid, SIGINT);
    EXPECT_EQ(ExitStatus(watcher), 130);
    std::string watched = kvtest::ReadFileBytes(out);
    ASSERT_EQ(std::count(watched.begin(), watched.end(), '\n'), 3) << watched;
    EXPECT_EQ(Validate(watched, true), "");
    size_t ready = watched.find("\"code\":63400");
    size_t jam = watched.find("\"code\":42632");
    size_t gone = watched.find("\"state\":\"absent\"");
    EXPECT_TRUE(ready < jam && jam < gone) << watched;
    // One UTC time stamp a line: "time":"2026-01-31T12:34:56.789Z".
    size_t stamps = 0;
    for (size_t at = watched.find("{\"time\":\""); at != std::string::npos; at = watched.find("{\"time\":\"", at + 1)) {
        std::string t = watched.substr(at + 9, 24);
        EXPECT_TRUE(t.size() == 24 && t[10] == 'T' && t[19] == '.' && t[23] == 'Z') << t;
        stamps++;
    }
    EXPECT_EQ(stamps, 3u);
}

TEST(StatWatch, TextTimeStampsAndSigterm)
{
    OutputFile file;
    const std::string& out = file.path;
    Watcher watcher;
    watcher.pid = StartStat({"USB005", "--watch", "--interval", "50"}, out);
    ASSERT_TRUE(kvtest::WaitUntil([&] { return Lines(out) >= 2; }, 10000));
    kill(watcher.pid, SIGTERM);
    EXPECT_EQ(ExitStatus(watcher), 143);
    std::string watched = kvtest::ReadFileBytes(out);
    EXPECT_EQ(watched.rfind("-- 20", 0), 0u) << watched;
    EXPECT_TRUE(Has(watched, "state         no status block \"Kestravon Language MonitorUSB005\"")) << watched;
}

TEST(StatWatch, BadArgumentsExitTwoWithOneLine)
{
    const std::vector<std::vector<std::string>> calls = {
        {"USB001", "--watch", "--interval", "10"},
        {"USB001", "--watch", "--interval", "x"},
        {"USB001", "--interval", "100"},
        {"USB001", "--watch", "--interval"},
        {"USB001", "--namespace", "a/b"},
        {"USB001", "USB002"},
        {"--bogus"},
        {},
        {"USB001", "--watch", "--interval=+50"},
        {"--json=1", "USB001"},
    };
    const char* expected[] = {
        "kvmon-stat: --interval: \"10\" is not a number of ms from 50 to 3600000 (kvmon-stat --help)\n",
        "kvmon-stat: --interval: \"x\" is not a number of ms from 50 to 3600000 (kvmon-stat --help)\n",
        "kvmon-stat: --interval goes with --watch (kvmon-stat --help)\n",
        "kvmon-stat: --interval needs a value (kvmon-stat --help)\n",
        "kvmon-stat: --namespace: \"a/b\" is not a name (empty or with '/') (kvmon-stat --help)\n",
        "kvmon-stat: one port at a time (\"USB001\" and \"USB002\") (kvmon-stat --help)\n",
        "kvmon-stat: unknown option --bogus (kvmon-stat --help)\n",
        "kvmon-stat: a port name is needed (kvmon-stat --help)\n",
        "kvmon-stat: --interval: \"+50\" is not a number of ms from 50 to 3600000 (kvmon-stat --help)\n",
        "kvmon-stat: --json takes no value (kvmon-stat --help)\n",
    };
    for (size_t i = 0; i < calls.size(); i++) {
        Result r = Stat(calls[i]);
        EXPECT_EQ(r.status, 2) << i;
        EXPECT_EQ(r.err, expected[i]) << i;
        EXPECT_EQ(r.out, "") << i;
    }
}

}  // namespace
