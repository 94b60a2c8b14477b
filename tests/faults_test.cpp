// Failures of everything kvmon depends on, injected into one whole job: the platform's
// allocations, events, threads, mappings and views (each call failed in turn), the port
// monitor's calls and the spooler's calls. kvmon must never crash or leak, and only a
// failed context allocation or a refused port may fail a print operation.
#include <cstdio>

#include "test_support.h"

using kvplat::Fault;
using kvtest::KestravonId;
using kvtest::WaitUntil;
using sim::DeviceAnswer;
using sim::WriteAnswer;

namespace {

const char kPort[] = "USB001";
const char kPrinter[] = "P1";
const DWORD kOffline = 0x00000080;  // PRINTER_STATUS_OFFLINE

const char* KindName(Fault kind)
{
    switch (kind) {
    case Fault::Alloc:
        return "Alloc";
    case Fault::Event:
        return "Event";
    case Fault::Thread:
        return "Thread";
    case Fault::Mapping:
        return "Mapping";
    case Fault::View:
        return "View";
    default:
        return "?";
    }
}

// What the scenario saw of kvmon's operations.
struct Outcome {
    bool opened = false;
    unsigned callsAfterOpen = 0;  // platform calls of the injected kind up to the end of OpenPortEx
    BOOL started = FALSE;
    BOOL writes[3] = {FALSE, FALSE, FALSE};
    DWORD written[3] = {0, 0, 0};
    BOOL ended = FALSE;
    BOOL request = TRUE;
    DWORD requestError = 0;
    BOOL closed = FALSE;
    bool threadAtClose = false;
    bool documentLostInJob = false;  // the port monitor's document was ended before EndDocPort
};

class FaultsTest : public kvtest::MonitorTest {
protected:
    void SetUp() override
    {
        kvtest::MonitorTest::SetUp();
        // A period of 20 ms of real time: few polls, so the scenario's call counts vary little.
        kvplat::SetTimeScale(100);
        companion_ = std::make_unique<kvtest::StatusAppFolder>();
        allocations_ = kvplat::LiveAllocations();
        keys_ = kvplat::LiveRegistryKeys();
    }

    void TearDown() override
    {
        companion_.reset();
        kvtest::MonitorTest::TearDown();
    }

    // A fresh world for one replay: the printer, its device's answers and the port's writes.
    void PrepareWorld(const std::vector<DeviceAnswer>& answers)
    {
        spooler_.Reset();
        pm_.Reset();
        AddPrinter(kPrinter, kPort);
        pm_.ScriptDeviceAnswers(kPort, answers);
        pm_.QueueWriteAnswers(kPort, {WriteAnswer::Accept(), WriteAnswer::Failure(), WriteAnswer::Accept()});
    }

    static std::vector<DeviceAnswer> NormalAnswers()
    {
        // Jam at the start, a door while the write error is polled, then ready in raw form,
        // then no answer (which drops the block, so the status request reaches the thread).
        return {DeviceAnswer::Text(KestravonId(42632)), DeviceAnswer::Text(KestravonId(40401)),
                DeviceAnswer::Text(KestravonId(63400, false)), DeviceAnswer::Failure()};
    }

    // The whole job: open, start (with the immediate query), three writes of which the second
    // fails, end, polling between jobs, a "Printer Status" request, close. `arm` runs right
    // before the given step (0 open, 1 start, 2 writes, 3 end, 4 request, 5 close).
    Outcome RunScenario(const std::function<void(int)>& arm = nullptr, Fault kind = Fault::Alloc)
    {
        Outcome out;
        HANDLE h = NULL;
        MONITOR copy = *pm_.Table();
        auto step = [&](int n) {
            if (arm)
                arm(n);
        };

        step(0);
        out.opened = table_.pfnOpenPortEx((LPSTR)kPort, (LPSTR)kPrinter, &h, &copy) != FALSE;
        out.callsAfterOpen = kvplat::Calls(kind);
        if (!out.opened)
            return out;

        step(1);
        out.started = StartDoc(h, kPrinter, 5);
        if (out.started) {
            step(2);
            const char* data[3] = {"a", "b", "c"};
            for (int i = 0; i < 3; i++)
                out.writes[i] = Write(h, data[i], &out.written[i]);
        }
        step(3);
        out.documentLostInJob = out.started && pm_.CallCount("EndDocPort") > 0;
        out.ended = table_.pfnEndDocPort(h);

        // Let the thread poll through the held document at least once, if it runs.
        unsigned queried = Queries(kPort);
        if (TestFlags(Context(h), PCF_THREAD_ALIVE))
            WaitUntil([&] { return Queries(kPort) > queried || !TestFlags(Context(h), PCF_THREAD_ALIVE); }, 2000);

        step(4);
        DWORD returned = 0;
        SetLastError(0);
        out.request = table_.pfnGetPrinterDataFromPort(h, 0, (LPSTR) "Printer Status", NULL, 0, NULL, 0, &returned);
        out.requestError = GetLastError();

        step(5);
        out.threadAtClose = TestFlags(Context(h), PCF_THREAD_ALIVE) != FALSE;
        out.closed = table_.pfnClosePort(h);
        return out;
    }

    // Nothing of the port is left: no context, thread, event, mapping, view, block, key or handle.
    void ExpectClean(const std::string& where)
    {
        SCOPED_TRACE(where);
        EXPECT_EQ(g_pPortList, nullptr);
        EXPECT_TRUE(kvplat::WaitForThreads(5000));
        EXPECT_EQ(kvplat::LiveEvents(), 0);
        EXPECT_EQ(kvplat::LiveMappings(), 0);
        EXPECT_EQ(kvplat::LiveViews(), 0);
        EXPECT_EQ(kvplat::LiveThreadHandles(), 0);
        EXPECT_EQ(kvplat::LiveAllocations(), allocations_);
        EXPECT_EQ(kvplat::LiveRegistryKeys(), keys_);
        EXPECT_EQ(spooler_.OpenHandleCount(), 0);
        EXPECT_EQ(pm_.OpenHandleCount(), 0);
    }

    // A job that got its port: every print operation succeeds as the port monitor lets it,
    // and the data reaches the port monitor unchanged.
    void ExpectJobWorked(const Outcome& out, const std::string& where, bool statusSettable = true)
    {
        SCOPED_TRACE(where);
        EXPECT_TRUE(out.started);
        // A failed printer enumeration must not be taken for a deleted printer.
        EXPECT_FALSE(out.documentLostInJob) << "the job's document was ended under it";
        if (out.documentLostInJob)
            lostDocuments_++;
        EXPECT_TRUE(out.writes[0]);
        EXPECT_EQ(out.written[0], 1u);
        EXPECT_FALSE(out.writes[1]) << "the port monitor refused this write";
        EXPECT_TRUE(out.writes[2]);
        EXPECT_EQ(out.written[2], 1u);
        EXPECT_TRUE(out.ended);
        EXPECT_FALSE(out.request);
        EXPECT_EQ(out.requestError, (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_TRUE(out.closed);
        EXPECT_EQ(pm_.Written(kPort), "ac");
        if (out.threadAtClose && statusSettable) {
            EXPECT_EQ(spooler_.PrinterStatus(kPrinter), 0u) << "the ending thread clears the printer's status";
        }
    }

    std::unique_ptr<kvtest::StatusAppFolder> companion_;
    long allocations_ = 0;
    long keys_ = 0;
    unsigned lostDocuments_ = 0;
};

// ---- platform faults: every call of one kind failed in turn ----

class PlatformFaultsTest : public FaultsTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(PlatformFaultsTest, EveryCallOfTheKindFailedInTurn)
{
    const Fault kind = GetParam();

    // Count the points of the scenario without faults.
    PrepareWorld(NormalAnswers());
    kvplat::FailNth(kind, 0);
    Outcome clean = RunScenario(nullptr, kind);
    unsigned points = kvplat::Calls(kind);
    ASSERT_TRUE(clean.opened);
    ExpectJobWorked(clean, "without faults");
    ASSERT_TRUE(clean.threadAtClose) << "the scenario must exercise the polling thread";
    ExpectClean("without faults");
    ASSERT_GT(points, 0u);

    // Each point failed in turn; a few more than counted, as the thread's polls vary.
    unsigned hit = 0;
    for (unsigned n = 1; n <= points + 4; n++) {
        std::string where = std::string(KindName(kind)) + " call " + std::to_string(n) + " of " +
                            std::to_string(points) + " failed";
        PrepareWorld(NormalAnswers());
        kvplat::FailNth(kind, n);
        Outcome out = RunScenario(nullptr, kind);
        hit += kvplat::Calls(kind) >= n ? 1 : 0;
        kvplat::FailNth(kind, 0);

        // Only the allocations of the port's context and of its two names may fail
        // OpenPortEx: they are the first three allocations OpenPortEx makes.
        bool contextAllocationFailed = kind == Fault::Alloc && n <= 3;
        EXPECT_EQ(out.opened, !contextAllocationFailed) << where;
        if (out.opened)
            ExpectJobWorked(out, where);
        else
            EXPECT_EQ(pm_.CallCount("OpenPort"), 0u) << where << ": no context, no port";
        ExpectClean(where);
        if (HasFailure())
            break;  // one report per kind is enough to follow
    }
    printf("fault injection %s: %u points in the scenario, %u failed in turn, %u documents lost\n", KindName(kind),
           points, hit, lostDocuments_);
    EXPECT_GE(hit, points / 2) << "most replays must reach their injected fault";
}

INSTANTIATE_TEST_SUITE_P(Kinds, PlatformFaultsTest,
                         ::testing::Values(Fault::Alloc, Fault::Event, Fault::Thread, Fault::Mapping, Fault::View),
                         [](const ::testing::TestParamInfo<Fault>& info) { return KindName(info.param); });

// ---- the spooler's calls ----

TEST_F(FaultsTest, SpoolerCallsFailingAtEveryStepNeverFailThePrintOperations)
{
    const char* const functions[] = {"EnumPrintersA", "EnumPortsA", "GetPrinterA", "EnumJobsA", "OpenPrinterA",
                                     "GetPrinterDriverA", "SetPrinterA"};
    unsigned runs = 0;
    for (const char* function : functions) {
        for (int at = 0; at <= 5; at++) {
            for (unsigned count : {1u, 1000u}) {
                std::string where = std::string(function) + " failing " + std::to_string(count) +
                                    " time(s) from step " + std::to_string(at);
                PrepareWorld(NormalAnswers());
                Outcome out = RunScenario([&](int step) {
                    if (step == at)
                        spooler_.FailNext(function, count, ERROR_INVALID_HANDLE);
                });
                EXPECT_TRUE(out.opened) << where;
                if (out.opened)
                    ExpectJobWorked(out, where, std::string(function) != "SetPrinterA");
                ExpectClean(where);
                runs++;
                if (HasFailure())
                    return;
            }
        }
    }
    printf("spooler faults: %u scenarios, %u documents lost\n", runs, lostDocuments_);
}

// A size probe that succeeds without asking for a buffer, and enumerations that report a
// size and then fail: the status work gives up, the job goes on.
TEST_F(FaultsTest, SpoolerEnumerationsAnsweringOddlyAreTolerated)
{
    for (const char* function : {"EnumPrintersA", "EnumPortsA", "EnumJobsA", "GetPrinterA"}) {
        PrepareWorld(NormalAnswers());
        spooler_.FailNext(function, 1000, ERROR_INSUFFICIENT_BUFFER, 64);
        Outcome out = RunScenario();
        ASSERT_TRUE(out.opened) << function;
        ExpectJobWorked(out, std::string(function) + " always too small");
        ExpectClean(function);

        PrepareWorld(NormalAnswers());
        spooler_.SucceedNext(function, 1000, 0);
        out = RunScenario();
        ASSERT_TRUE(out.opened) << function;
        // A spooler that lists no printer at all while the port's handle names one says the
        // printer was deleted: the polling thread may end the job's document, as for any
        // printer deleted during its job.
        if (std::string(function) != "EnumPrintersA")
            ExpectJobWorked(out, std::string(function) + " with nothing to return");
        ExpectClean(function);
    }
}

// A printer enumeration that fails (a spooler error, or no memory for its buffer) proves
// nothing about the printer: the polling thread goes on, and the job that is printing keeps
// its document at the port monitor.
TEST_F(FaultsTest, TransientPrinterEnumerationFailureKeepsTheJob)
{
    PrepareWorld(NormalAnswers());
    HANDLE h = OpenPort(kPort, kPrinter);
    ASSERT_NE(h, nullptr);
    spooler_.FailNext("EnumPrintersA", 1, ERROR_NOT_ENOUGH_MEMORY);
    ASSERT_TRUE(StartDoc(h, kPrinter));
    // Give the thread time for its first pass and the pause after it.
    WaitUntil([&] { return !TestFlags(Context(h), PCF_THREAD_ALIVE); }, 500);
    EXPECT_TRUE(spooler_.HasPrinter(kPrinter));
    EXPECT_TRUE(pm_.DocumentOpen(kPort)) << "the job's document was ended under it";
    DWORD written = 0;
    EXPECT_TRUE(Write(h, "a", &written));
    EXPECT_EQ(written, 1u);
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
    ExpectClean("transient enumeration failure");
}

// ---- the port monitor's calls ----

TEST_F(FaultsTest, RefusedPortFailsOpenPortExAndLeavesNothing)
{
    PrepareWorld(NormalAnswers());
    pm_.FailOpenPort(kPort, true, ERROR_ACCESS_DENIED);
    Outcome out = RunScenario();
    EXPECT_FALSE(out.opened);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    ExpectClean("port refused");

    // The same port opens once the port monitor takes it again.
    pm_.FailOpenPort(kPort, false);
    out = RunScenario();
    EXPECT_TRUE(out.opened);
    ExpectJobWorked(out, "port taken again");
    ExpectClean("port taken again");
}

TEST_F(FaultsTest, RefusedDocumentAsksTheUserAndTheRetriedJobRuns)
{
    kvplat::SetMessageBoxHook([](const kvplat::MessageBoxRecord&) { return IDRETRY; });
    PrepareWorld(NormalAnswers());
    pm_.FailStartDoc(kPort, 1);
    HANDLE h = OpenPort(kPort, kPrinter);
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(StartDoc(h, kPrinter, 5));
    EXPECT_EQ(GetLastError(), sim::kErrorNotReady);
    EXPECT_EQ(kvplat::LiveThreads(), 0) << "no polling for a refused document";
    auto commands = spooler_.JobCommands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].command, (DWORD)JOB_CONTROL_RESTART);
    EXPECT_TRUE(table_.pfnClosePort(h));
    ExpectClean("document refused");

    // The retried job: the whole scenario on the same port.
    Outcome out = RunScenario();
    ASSERT_TRUE(out.opened);
    ExpectJobWorked(out, "retried job");
    ExpectClean("retried job");
}

// Devices that never answer, answer nothing, answer more than the buffer or answer as
// someone else: the job runs, nothing leaks, and the printer shows what the last answer
// meant while the thread runs.
TEST_F(FaultsTest, FailingDeviceAnswersNeverFailTheJob)
{
    struct Case {
        const char* name;
        DeviceAnswer answer;
        DWORD status;  // printer status while the port is polled
    };
    const Case cases[] = {
        {"no answer", DeviceAnswer::Failure(), kOffline},
        {"empty answer", DeviceAnswer::Empty(), kOffline},
        {"count beyond the buffer", DeviceAnswer::ExactCount(KestravonId(42632), 70000),
         FindStatusCode(42632)->printerStatus},
        {"someone else's device", DeviceAnswer::Text("MFG:Other;MDL:X;VSTATUS:AAAA"), 0},
        {"no status field", DeviceAnswer::Text("MFG:Kestravon;MDL:ZR-QM4471;"), 0},
        {"garbage", DeviceAnswer::Text(std::string("\xff\x00;:VSTATUS:FL1;", 16)), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PrepareWorld({c.answer});
        HANDLE h = OpenPort(kPort, kPrinter);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(StartDoc(h, kPrinter));
        EXPECT_EQ(spooler_.PrinterStatus(kPrinter), c.status);
        EXPECT_TRUE(Write(h, "a"));
        EXPECT_TRUE(table_.pfnEndDocPort(h));
        // A query is counted when the port monitor answers, before kvmon applies the answer;
        // the thread's queries follow one another, so once a second one is counted the
        // first has been applied in full.
        unsigned queried = Queries(kPort);
        EXPECT_TRUE(WaitUntil([&] { return Queries(kPort) > queried + 1; }));
        EXPECT_EQ(spooler_.PrinterStatus(kPrinter), c.status);
        EXPECT_TRUE(table_.pfnClosePort(h));
        EXPECT_EQ(spooler_.PrinterStatus(kPrinter), 0u);
        ExpectClean(c.name);
    }
}

}  // namespace
