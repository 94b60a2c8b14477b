// Eight ports print at once, round after round (open, start, writes, end, close), while
// the printers of half of them are deleted and re-added between rounds: after every
// ClosePort no status block of that port may be left. The real DLL with real threads, in
// real time (ReadCycle 2000 ms). KVMON_WINE_SOAK_ROUNDS sets the rounds per port (default
// 4, which the suite runs; 25 for a long soak).
#include <cstdlib>
#include <string>

#include "support.h"

namespace kvwine {
namespace {

constexpr int kPorts = 8;
constexpr int kDefaultRounds = 4;

// One port's run, filled in by its own thread and read once every thread has ended.
struct PortRun {
    std::string port;      // "USB021" or "LPT2:"
    std::string printer;   // the port's printer
    bool churn = false;    // the printer is deleted and re-added in some rounds
    int rounds = 0;        // rounds to play
    const MONITOR* table = nullptr;  // kvmon's monitor table
    sim::PortMonitor* pm = nullptr;  // the port monitor below it
    std::string failure;   // first failed call, empty when none
    int unpublished = 0;   // rounds with a printer whose StartDocPort published no block
    int leftBehind = 0;    // rounds after whose ClosePort the block still existed
    int firstLeft = -1;    // the first of those rounds
    std::string expected;  // what the port monitor must have received (ports without churn)
};

bool BlockExists(const std::string& port)
{
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, (std::string(kMonitorName) + port).c_str());
    if (mapping == NULL)
        return false;
    CloseHandle(mapping);
    return true;
}

void Fail(PortRun* run, int round, const char* call)
{
    if (run->failure.empty())
        run->failure = "round " + std::to_string(round) + ": " + call + " failed, error " + std::to_string(GetLastError());
}

// On churn ports the printer is gone for the whole of every third round (deleted before it,
// re-added after it), and deleted in the middle of the job of the round after that.
void PlayRound(PortRun* run, int round)
{
    const bool goneAllRound = run->churn && round % 3 == 1;
    const bool goneMidJob = run->churn && round % 3 == 2;
    char* printer = const_cast<char*>(run->printer.c_str());
    MONITOR below = *run->pm->Table();
    DOC_INFO_1A doc = {const_cast<LPSTR>("Soak"), NULL, const_cast<LPSTR>("RAW")};
    HANDLE h = NULL;

    if (goneAllRound)
        kvsim_DeletePrinter(printer);
    if (!run->table->pfnOpenPortEx(const_cast<LPSTR>(run->port.c_str()), printer, &h, &below)) {
        Fail(run, round, "OpenPortEx");
        return;
    }
    if (!run->table->pfnStartDocPort(h, printer, (DWORD)round + 1, 1, reinterpret_cast<LPBYTE>(&doc)))
        Fail(run, round, "StartDocPort");
    if (!goneAllRound && !BlockExists(run->port))
        run->unpublished++;
    for (int i = 0; i < 3; i++) {
        std::string data = run->port + " round " + std::to_string(round) + " part " + std::to_string(i) + "\n";
        DWORD written = 0;
        BOOL ok = run->table->pfnWritePort(h, reinterpret_cast<LPBYTE>(&data[0]), (DWORD)data.size(), &written);
        // A job whose printer was deleted may lose its document to the polling thread.
        if (!run->churn && (!ok || written != data.size()))
            Fail(run, round, "WritePort");
        if (!run->churn)
            run->expected += data;
    }
    if (goneMidJob)
        kvsim_DeletePrinter(printer);
    if (!run->table->pfnEndDocPort(h) && !run->churn)
        Fail(run, round, "EndDocPort");
    if (!run->table->pfnClosePort(h))
        Fail(run, round, "ClosePort");
    if (BlockExists(run->port) && run->leftBehind++ == 0)
        run->firstLeft = round;
    if (goneAllRound || goneMidJob)
        kvsim_AddPrinter(printer, run->port.c_str(), "Kestravon Printer", kMonitorName);
}

DWORD WINAPI PlayPort(void* param)
{
    PortRun* run = static_cast<PortRun*>(param);
    for (int round = 0; round < run->rounds; round++)
        PlayRound(run, round);
    return 0;
}

using SoakTest = MonitorTest;

TEST_F(SoakTest, EightPortsLeaveNoBlockBehind)
{
    const char* env = std::getenv("KVMON_WINE_SOAK_ROUNDS");
    const int rounds = env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : kDefaultRounds;
    PortRun runs[kPorts];
    HANDLE threads[kPorts] = {};

    for (int i = 0; i < kPorts; i++) {
        PortRun& run = runs[i];
        run.port = i < kPorts / 2 ? "USB02" + std::to_string(i + 1) : "LPT" + std::to_string(i - kPorts / 2 + 2) + ":";
        run.printer = "Kestravon Soak " + std::to_string(i);
        run.churn = i % 2 == 1;
        run.rounds = rounds;
        run.table = &table_;
        run.pm = &pm_;
        AddPrinter(run.printer.c_str(), run.port.c_str());
        pm_.SetDeviceAnswer(run.port, sim::DeviceAnswer::Text(KestravonId(63400)));
    }
    for (int i = 0; i < kPorts; i++) {
        DWORD id = 0;
        threads[i] = CreateThread(NULL, 0, PlayPort, &runs[i], 0, &id);
        ASSERT_NE(threads[i], nullptr) << "CreateThread, error " << GetLastError();
        Sleep(20);  // staggered, as the spooler's threads come
    }
    ASSERT_EQ(WaitForMultipleObjects(kPorts, threads, TRUE, 600000), WAIT_OBJECT_0) << "the ports did not finish";
    for (HANDLE t : threads)
        CloseHandle(t);

    for (const PortRun& run : runs) {
        EXPECT_EQ(run.failure, "") << run.port;
        EXPECT_EQ(run.unpublished, 0) << run.port << ": rounds whose StartDocPort published no block";
        EXPECT_EQ(run.leftBehind, 0) << run.port << ": rounds whose block outlived ClosePort, first round "
                                     << run.firstLeft << " of " << rounds;
        if (!run.churn) {
            EXPECT_EQ(pm_.Written(run.port), run.expected) << run.port;
        }
    }
}

}  // namespace
}  // namespace kvwine
