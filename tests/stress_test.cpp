// Many ports at once: spooler threads printing jobs, clients asking for the printer status
// and reading back, ports opened and closed, while the polling threads run and the printers
// are deleted, renamed and restored under them and the devices change their answers.
// Every run is bounded in count and uses fixed seeds; afterwards nothing may be left behind.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <shared_mutex>
#include <thread>

#include "test_support.h"

using kvtest::KestravonId;
using kvtest::WaitUntil;
using sim::DeviceAnswer;
using sim::WriteAnswer;

namespace {

const DWORD kOffline = 0x00000080;  // PRINTER_STATUS_OFFLINE

struct PortPlan {
    const char* port;
    const char* description;
    const char* printer;
    const char* renamed;
};

// Two USB ports, a plain parallel port and an ECP one (whose thread backs off while the
// printer has queued jobs).
const PortPlan kPorts[] = {
    {"USB001", "Virtual printer port for USB", "Stress USB 1", "Stress USB 1 (moved)"},
    {"USB002", "Virtual printer port for USB", "Stress USB 2", "Stress USB 2 (moved)"},
    {"LPT1:", "Printer Port", "Stress LPT 1", "Stress LPT 1 (moved)"},
    {"LPT2:", "ECP Printer Port", "Stress LPT 2", "Stress LPT 2 (moved)"},
};
const int kPortCount = sizeof(kPorts) / sizeof(kPorts[0]);

// Status bits the monitor sets for a code.
DWORD StatusFor(WORD code)
{
    const StatusCodeRow* row = FindStatusCode(code);
    if (row == nullptr)
        return kOffline;
    return row->printerStatus | (row->markOffline ? kOffline : 0);
}

// What happened in a run, for the figures printed at its end.
struct Tally {
    std::atomic<unsigned> opens{0}, jobs{0}, failedStarts{0}, writes{0}, reads{0}, requests{0}, chaos{0};
};

// A port as its spooler threads share it: the job thread opens and closes it, the client
// thread uses the handle only while it holds `use` shared.
struct PortState {
    std::shared_mutex use;
    std::atomic<HANDLE> handle{nullptr};
    std::atomic<int> naming{0};  // 0 under its name, 1 renamed, 2 deleted
    std::string expectedWritten;  // bytes the port monitor reported taken, in order
};

class StressTest : public kvtest::MonitorTest, public ::testing::WithParamInterface<unsigned> {
protected:
    void SetUp() override
    {
        kvtest::MonitorTest::SetUp();
        kvplat::SetMessageBoxHook([this](const kvplat::MessageBoxRecord&) {
            return boxes_.fetch_add(1) % 2 == 0 ? IDRETRY : IDCANCEL;
        });
        for (const PortPlan& p : kPorts) {
            spooler_.AddPort(p.port, std::string(p.description));
            spooler_.AddPrinter(p.printer, p.port);
        }
        allocationsAtStart_ = kvplat::LiveAllocations();
    }

    void TearDown() override
    {
        EXPECT_EQ(g_pPortList, nullptr);
        EXPECT_TRUE(kvplat::WaitForThreads(10000)) << "a polling thread is still running";
        EXPECT_EQ(kvplat::LiveThreads(), 0);
        EXPECT_EQ(kvplat::LiveEvents(), 0);
        EXPECT_EQ(kvplat::LiveMappings(), 0);
        EXPECT_EQ(kvplat::LiveViews(), 0);
        EXPECT_EQ(kvplat::LiveRegistryKeys(), 0);
        EXPECT_EQ(kvplat::LiveAllocations(), allocationsAtStart_);
        EXPECT_EQ(spooler_.OpenHandleCount(), 0);
        EXPECT_EQ(pm_.OpenHandleCount(), 0);
        kvtest::MonitorTest::TearDown();
    }

    static std::string NameOf(const PortPlan& p, int naming) { return naming == 1 ? p.renamed : p.printer; }

    // A device answer picked from well-formed, failing, empty, foreign and oversized ones.
    static DeviceAnswer RandomAnswer(std::mt19937& rng)
    {
        static const WORD codes[] = {63400, 42632, 40401, 40251, 12211, 63256, 15011, 50130, 7, 0};
        WORD code = codes[rng() % (sizeof(codes) / sizeof(codes[0]))];
        switch (rng() % 8) {
        case 0:
            return DeviceAnswer::Failure();
        case 1:
            return DeviceAnswer::Empty();
        case 2:
            return DeviceAnswer::Text("MFG:Other;MDL:ZR-QM4471;VSTATUS:" + kvtest::StatusRecord(code));
        case 3:
            return DeviceAnswer::ExactCount(KestravonId(code), 4000);
        case 4:
            return DeviceAnswer::Text(KestravonId(code, false));
        default:
            return DeviceAnswer::Text(KestravonId(code));
        }
    }

    static WriteAnswer RandomWrite(std::mt19937& rng)
    {
        switch (rng() % 6) {
        case 0:
            return WriteAnswer::Failure();
        case 1:
            return WriteAnswer::Zero();
        case 2:
            return WriteAnswer::AtMost(1 + rng() % 8);
        default:
            return WriteAnswer::Accept();
        }
    }

    // The spooler's thread of one port: open/close cycles, each with a few jobs.
    void RunJobs(int index, unsigned seed, int cycles, int jobsPerCycle)
    {
        const PortPlan& plan = kPorts[index];
        PortState& state = ports_[index];
        std::mt19937 rng(seed * 7919u + index);
        for (int cycle = 0; cycle < cycles; cycle++) {
            HANDLE h = NULL;
            {
                std::unique_lock<std::shared_mutex> lock(state.use);
                MONITOR copy = *pm_.Table();
                if (!table_.pfnOpenPortEx((LPSTR)plan.port, (LPSTR)plan.printer, &h, &copy)) {
                    ADD_FAILURE() << plan.port << ": OpenPortEx failed with " << GetLastError();
                    return;
                }
                state.handle = h;
            }
            tally_.opens++;
            for (int job = 0; job < jobsPerCycle; job++) {
                std::string printer = NameOf(plan, state.naming.load());
                bool failStart = rng() % 8 == 0;
                if (failStart)
                    pm_.FailStartDoc(plan.port, 1);
                DOC_INFO_1A doc = {(LPSTR) "Stress document", NULL, (LPSTR) "RAW"};
                BOOL started = table_.pfnStartDocPort(h, (LPSTR)printer.c_str(), 1000 + job, 1, (LPBYTE)&doc);
                EXPECT_EQ(started, failStart ? FALSE : TRUE) << plan.port << " job " << job;
                tally_.jobs++;
                if (!started) {
                    tally_.failedStarts++;
                    continue;
                }
                std::vector<WriteAnswer> answers;
                int writes = 2 + rng() % 5;
                for (int i = 0; i < writes; i++)
                    answers.push_back(RandomWrite(rng));
                pm_.QueueWriteAnswers(plan.port, answers);
                for (int i = 0; i < writes; i++) {
                    std::string data = plan.port + std::string(":") + std::to_string(cycle) + "/" +
                                       std::to_string(job) + "/" + std::to_string(i) + ";";
                    DWORD written = 0xdeadbeef;
                    BOOL ok = table_.pfnWritePort(h, (LPBYTE)data.data(), (DWORD)data.size(), &written);
                    EXPECT_LE(written, data.size());
                    if (ok && written <= data.size())
                        state.expectedWritten += data.substr(0, written);
                    tally_.writes++;
                    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 400));
                }
                EXPECT_TRUE(table_.pfnEndDocPort(h));
                // Between jobs the thread polls through the held document.
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
            }
            {
                std::unique_lock<std::shared_mutex> lock(state.use);
                state.handle = nullptr;
                // With a polling thread at the close, its exit is the last status change:
                // the printer shows no status afterwards, whatever name it has now.
                bool threadAtClose = TestFlags(Context(h), PCF_THREAD_ALIVE) != FALSE;
                EXPECT_TRUE(table_.pfnClosePort(h));
                if (threadAtClose) {
                    EXPECT_EQ(spooler_.PrinterStatus(plan.printer), 0u) << plan.printer;
                    EXPECT_EQ(spooler_.PrinterStatus(plan.renamed), 0u) << plan.renamed;
                }
            }
        }
    }

    // A client of one port: "Printer Status" requests, device requests and reads while the
    // port is open.
    void RunClient(int index, unsigned seed, const std::atomic<bool>& stop)
    {
        const PortPlan& plan = kPorts[index];
        PortState& state = ports_[index];
        std::mt19937 rng(seed * 104729u + index);
        while (!stop) {
            {
                std::shared_lock<std::shared_mutex> lock(state.use);
                HANDLE h = state.handle;
                if (h != nullptr) {
                    char buffer[64];
                    DWORD count = 0;
                    switch (rng() % 4) {
                    case 0:
                        pm_.QueueReadData(plan.port, "status bytes");
                        table_.pfnReadPort(h, (LPBYTE)buffer, sizeof(buffer), &count);
                        EXPECT_LE(count, sizeof(buffer));
                        tally_.reads++;
                        break;
                    case 1:
                        table_.pfnGetPrinterDataFromPort(h, CONTROL_QUERY_DEVICE_ID_LPT, NULL, NULL, 0, buffer,
                                                         sizeof(buffer), &count);
                        tally_.requests++;
                        break;
                    default:
                        SetLastError(0);
                        EXPECT_FALSE(table_.pfnGetPrinterDataFromPort(h, 0, (LPSTR) "Printer Status", NULL, 0, NULL,
                                                                      0, &count));
                        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
                        tally_.requests++;
                        break;
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200 + rng() % 800));
        }
    }

    // The world around the monitor: printers deleted, renamed and restored, devices
    // answering differently, jobs queued on the printers (the ECP port backs off).
    void RunChaos(unsigned seed, const std::atomic<bool>& stop)
    {
        std::mt19937 rng(seed);
        while (!stop) {
            int index = rng() % kPortCount;
            const PortPlan& plan = kPorts[index];
            PortState& state = ports_[index];
            int naming = state.naming;
            switch (rng() % 6) {
            case 0:  // delete, or restore a deleted printer under its own name
                if (naming == 2) {
                    spooler_.AddPrinter(plan.printer, plan.port);
                    state.naming = 0;
                } else {
                    state.naming = 2;
                    spooler_.DeletePrinter(NameOf(plan, naming));
                }
                break;
            case 1:  // rename, or give back the printer's name
                if (naming != 2) {
                    spooler_.RenamePrinter(NameOf(plan, naming), NameOf(plan, 1 - naming));
                    state.naming = 1 - naming;
                }
                break;
            case 2:
                if (naming != 2 && spooler_.Jobs(NameOf(plan, naming)).size() < 3)
                    spooler_.QueueJob(NameOf(plan, naming));
                else
                    spooler_.ClearJobs(NameOf(plan, naming));
                break;
            default: {
                std::vector<DeviceAnswer> script;
                for (unsigned i = 0, n = 1 + rng() % 3; i < n; i++)
                    script.push_back(RandomAnswer(rng));
                pm_.ScriptDeviceAnswers(plan.port, script);
                break;
            }
            }
            tally_.chaos++;
            std::this_thread::sleep_for(std::chrono::microseconds(100 + rng() % 1500));
        }
    }

    // Puts every printer back under its name without queued jobs.
    void RestorePrinters()
    {
        for (int i = 0; i < kPortCount; i++) {
            const PortPlan& plan = kPorts[i];
            if (ports_[i].naming == 2)
                spooler_.AddPrinter(plan.printer, plan.port);
            else if (ports_[i].naming == 1)
                spooler_.RenamePrinter(plan.renamed, plan.printer);
            ports_[i].naming = 0;
            spooler_.ClearJobs(plan.printer);
        }
    }

    PortState ports_[kPortCount];
    Tally tally_;
    std::atomic<unsigned> boxes_{0};
    long allocationsAtStart_ = 0;
};

TEST_P(StressTest, PortsPrintWhilePrintersAndDevicesChange)
{
    const unsigned seed = GetParam();
    auto started = std::chrono::steady_clock::now();
    std::atomic<bool> stop{false};

    std::thread chaos([&] { RunChaos(seed, stop); });
    std::vector<std::thread> clients, jobs;
    for (int i = 0; i < kPortCount; i++) {
        clients.emplace_back([&, i] { RunClient(i, seed, stop); });
        jobs.emplace_back([&, i] { RunJobs(i, seed, 8, 10); });
    }
    for (auto& t : jobs)
        t.join();
    stop = true;
    for (auto& t : clients)
        t.join();
    chaos.join();

    ASSERT_EQ(g_pPortList, nullptr);
    EXPECT_TRUE(kvplat::WaitForThreads(10000));
    EXPECT_FALSE(HasFailure()) << "seed " << seed;

    // Print data reached the port monitor unchanged and in order.
    for (int i = 0; i < kPortCount; i++)
        EXPECT_EQ(pm_.Written(kPorts[i].port), ports_[i].expectedWritten) << kPorts[i].port;

    // Quiet again: one job per port settles each printer on its device's answer. The
    // StartDocPort query applies it on the spooler's thread; the thread's queries repeat it.
    RestorePrinters();
    unsigned deviceQueries = pm_.CallCount("GetPrinterDataFromPort");
    pm_.Reset();  // write answers left queued by jobs whose document a vanishing printer ended
    const WORD finalCodes[kPortCount] = {42632, 40401, 12211, 63256};
    for (int i = 0; i < kPortCount; i++) {
        const PortPlan& plan = kPorts[i];
        pm_.SetDeviceAnswer(plan.port, DeviceAnswer::Text(KestravonId(finalCodes[i], i % 2 == 0)));
        HANDLE h = OpenPort(plan.port, plan.printer);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(StartDoc(h, plan.printer));
        EXPECT_EQ(ReadPrinterStatus(Context(h)), StatusFor(finalCodes[i])) << plan.port;
        EXPECT_EQ(spooler_.PrinterStatus(plan.printer), ReadPrinterStatus(Context(h))) << plan.port;
        EXPECT_TRUE(Write(h, "final"));
        EXPECT_TRUE(table_.pfnEndDocPort(h));
        unsigned queried = Queries(plan.port);
        EXPECT_TRUE(WaitUntil([&] { return Queries(plan.port) > queried + 1; })) << plan.port << ": no polling";
        EXPECT_EQ(spooler_.PrinterStatus(plan.printer), StatusFor(finalCodes[i])) << plan.port;
        EXPECT_TRUE(table_.pfnClosePort(h));
        EXPECT_EQ(spooler_.PrinterStatus(plan.printer), 0u) << plan.port << ": the closing thread clears the status";
    }

    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    printf("stress seed %u: %u opens, %u jobs (%u refused starts), %u writes, %u reads, %u requests, "
           "%u world changes, %u device queries, %lld ms\n",
           seed, tally_.opens.load(), tally_.jobs.load(), tally_.failedStarts.load(), tally_.writes.load(),
           tally_.reads.load(), tally_.requests.load(), tally_.chaos.load(),
           deviceQueries, (long long)ms.count());
}

INSTANTIATE_TEST_SUITE_P(Seeds, StressTest, ::testing::Values(1u, 2u, 3u));

// Opening and closing the same few ports from many threads: at most one context per port
// name at any time, the losers refused as busy, the list intact afterwards.
class OpenCloseStressTest : public kvtest::MonitorTest {};

TEST_F(OpenCloseStressTest, ConcurrentOpensOfOnePortNeverBothSucceed)
{
    const char* const names[] = {"USB001", "usb001", "LPT1:"};
    std::atomic<int> holders[2] = {{0}, {0}};
    std::atomic<unsigned> busy{0}, opened{0};
    long allocations = kvplat::LiveAllocations();
    AddPrinter("P1", "USB001");

    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t + 11);
            for (int i = 0; i < 300; i++) {
                unsigned pick = rng() % 3;
                int slot = pick < 2 ? 0 : 1;  // "USB001" and "usb001" are the same port
                HANDLE h = NULL;
                MONITOR copy = *pm_.Table();
                if (!table_.pfnOpenPortEx((LPSTR)names[pick], (LPSTR) "P1", &h, &copy)) {
                    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
                    busy++;
                    continue;
                }
                opened++;
                EXPECT_EQ(holders[slot].fetch_add(1), 0) << names[pick] << " open twice";
                DOC_INFO_1A doc = {(LPSTR) "Document", NULL, (LPSTR) "RAW"};
                if (rng() % 2 == 0 && table_.pfnStartDocPort(h, (LPSTR) "P1", 1, 1, (LPBYTE)&doc)) {
                    Write(h, "x");
                    table_.pfnEndDocPort(h);
                }
                holders[slot].fetch_sub(1);
                EXPECT_TRUE(table_.pfnClosePort(h));
            }
        });
    }
    for (auto& t : threads)
        t.join();

    EXPECT_EQ(g_pPortList, nullptr);
    EXPECT_GT(opened.load(), 0u);
    EXPECT_TRUE(kvplat::WaitForThreads(10000));
    EXPECT_EQ(kvplat::LiveEvents(), 0);
    EXPECT_EQ(kvplat::LiveMappings(), 0);
    EXPECT_EQ(kvplat::LiveAllocations(), allocations);
    EXPECT_EQ(pm_.OpenHandleCount(), 0);
    printf("open/close: %u opened, %u refused as busy\n", opened.load(), busy.load());
}

}  // namespace
