// Hand-over between the spooler's document calls and a port's polling thread: renames,
// deletions and new documents that meet the thread at its worst moment. Each test stops a
// thread at a chosen platform call (kvplat::SetHoldHook) or watches it through the
// spooler's or the port monitor's observer, so the interleaving is forced rather than made
// likely; where the order is left to a seed of the deterministic mode, every seed of a
// fixed range is played. Every wait for a held thread has a time limit, so a fault fails
// the test instead of hanging it.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "handover_fixture.h"

using kvtest::HandOverTest;
using kvtest::KestravonId;
using kvtest::WaitUntil;
using sim::DeviceAnswer;
using sim::WriteAnswer;

namespace {

TEST_F(HandOverTest, RenameThenPrintWithinThePauseKeepsTheSecondJob)
{
    PrintWithinThePause("Old", [&] { ASSERT_TRUE(spooler_.RenamePrinter("Old", "New")); }, "New");
}

TEST_F(HandOverTest, PrinterReplacedWithinThePauseKeepsTheSecondJob)
{
    // A deleted printer is replaced by another on the same port: the thread cannot follow
    // it, pauses, and must look again under the name the new document brought.
    PrintWithinThePause(
        "Old",
        [&] {
            ASSERT_TRUE(spooler_.DeletePrinter("Old"));
            AddPrinter("Other", "USB001");
        },
        "Other");
}

TEST_F(HandOverTest, RenameBetweenTheHandlesSizeProbeAndFetchIsFollowed)
{
    // A status update asks the port's handle for its printer's name. The printer is renamed
    // to a longer name right after the size probe, and another printer of the port takes
    // the freed name: the fetch then asks for a larger buffer. That says nothing against the
    // handle: the port follows its printer, and the printer that took the name shows nothing.
    AddPrinter("Old", "USB001");
    AddPrinter("Other", "USB001");
    HANDLE h = OpenPort("USB001", "Old");
    ASSERT_TRUE(StartDoc(h, "Old"));
    std::atomic<int> stage{0};
    spooler_.SetObserver([&](const sim::SpoolerCall& c) {
        if (!OnPollThread())
            return;
        if (stage == 0 && c.function == "SetPrinterA" && c.result) {
            stage = 1;
        } else if (stage == 1 && c.function == "GetPrinterA" && c.args.find("cbBuf 0 ") != std::string::npos) {
            stage = 2;
            spooler_.RenamePrinter("Old", "Old, renamed");
            spooler_.RenamePrinter("Other", "Old");
        }
    });
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(42632)));  // paper jam
    pm_.QueueWriteAnswers("USB001", {WriteAnswer::Failure()});
    EXPECT_FALSE(Write(h, "page\n"));
    EXPECT_TRUE(WaitUntil([&] { return stage == 2 && PrinterName(h) != "Old"; })) << "stage " << stage.load();
    spooler_.SetObserver(nullptr);
    EXPECT_EQ(PrinterName(h), "Old, renamed");
    EXPECT_NE(spooler_.PrinterStatus("Old, renamed"), 0u) << "the jam left the port's printer";
    EXPECT_EQ(spooler_.PrinterStatus("Old"), 0u) << "the printer that took the name shows the port's jam";
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
}

TEST_F(HandOverTest, RenameDuringAJobKeepsTheJob)
{
    AddPrinter("Old", "USB001");
    HANDLE h = OpenPort("USB001", "Old");
    ASSERT_TRUE(StartDoc(h, "Old"));
    ASSERT_TRUE(Write(h, "page 1\n"));

    ASSERT_TRUE(spooler_.RenamePrinter("Old", "New"));
    pm_.QueueWriteAnswers("USB001", {WriteAnswer::Failure()});
    EXPECT_FALSE(Write(h, "paper out\n"));
    // The failed write wakes the thread, which looks its printer up and finds it renamed.
    EXPECT_TRUE(WaitUntil([&] { return !ThreadAlive(h) || PrinterName(h) == "New"; }));
    EXPECT_TRUE(ThreadAlive(h));
    EXPECT_TRUE(pm_.DocumentOpen("USB001"));

    EXPECT_TRUE(Write(h, "page 2\n"));
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
    EXPECT_EQ(pm_.Written("USB001"), "page 1\npage 2\n");
    EXPECT_EQ(EndDocs(), 1u);
}

TEST_F(HandOverTest, DeletedPrinterDuringAJobStillEndsItsDocument)
{
    AddPrinter("P1", "USB001");
    HANDLE h = OpenPort("USB001", "P1");
    ASSERT_TRUE(StartDoc(h, "P1"));
    ASSERT_TRUE(Write(h, "page 1\n"));

    ASSERT_TRUE(spooler_.DeletePrinter("P1"));
    pm_.QueueWriteAnswers("USB001", {WriteAnswer::Failure()});
    EXPECT_FALSE(Write(h, "paper out\n"));
    EXPECT_TRUE(WaitUntil([&] { return !ThreadAlive(h); }));
    EXPECT_FALSE(pm_.DocumentOpen("USB001")) << "the orphaned document is ended";
    DWORD written = 1;
    EXPECT_FALSE(Write(h, "page 2\n", &written));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
    EXPECT_EQ(EndDocs(), 1u);
}

TEST_F(HandOverTest, NewThreadLooksUpTheNameOfItsOwnDocument)
{
    // The port was opened for a printer that is gone; the first document comes for
    // another printer on the port. The spooler's thread is held as soon as it has started
    // the polling thread, until that thread has looked its printer up.
    AddPrinter("Old", "USB001");
    HANDLE h = OpenPort("USB001", "Old");
    ASSERT_TRUE(spooler_.DeletePrinter("Old"));
    AddPrinter("New", "USB001");
    kvplat::SetHoldHook([&](const std::string& call, DWORD) {
        if (call == "CreateThread" && !OnPollThread())
            WaitUntil([&] { return lookups_ >= 1; }, 2000);
    });
    ASSERT_TRUE(StartDoc(h, "New"));
    kvplat::SetHoldHook(nullptr);
    ASSERT_TRUE(WaitUntil([&] { return lookups_ >= 1; }));

    // A failed write makes the thread look again; it must still be there, with the job.
    pm_.QueueWriteAnswers("USB001", {WriteAnswer::Failure()});
    EXPECT_FALSE(Write(h, "paper out\n"));
    EXPECT_TRUE(WaitUntil([&] { return !ThreadAlive(h) || lookups_ >= 2; }));
    EXPECT_TRUE(ThreadAlive(h)) << "the thread looked up the previous printer's name";
    EXPECT_TRUE(Write(h, "page\n"));
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
    EXPECT_EQ(pm_.Written("USB001"), "page\n");
}

TEST_F(HandOverTest, FailedNameCopyKeepsThePreviousNameAndHandle)
{
    AddPrinter("P1", "USB001");
    AddPrinter("P2", "USB001");
    PortContext* ctx = kvtest::CreateContext("USB001", "P1");
    ASSERT_NE(ctx, nullptr);
    HANDLE before = ctx->hPrinter;
    ASSERT_NE(before, nullptr);

    kvplat::FailNth(kvplat::Fault::Alloc, 1);
    UpdatePrinterName(ctx, "P2");
    kvplat::ResetFaults();
    ASSERT_NE(ctx->printerName, nullptr);
    EXPECT_STREQ(ctx->printerName, "P1");
    EXPECT_EQ(ctx->hPrinter, before);
    EXPECT_EQ(spooler_.HandlePrinter(before), std::optional<std::string>("P1"));

    // The next copy works.
    UpdatePrinterName(ctx, "P2");
    EXPECT_STREQ(ctx->printerName, "P2");
    EXPECT_EQ(spooler_.HandlePrinter(ctx->hPrinter), std::optional<std::string>("P2"));
    kvtest::DeleteContext(ctx);
}

TEST_F(HandOverTest, NewDocumentWaitsForTheEndingThreadAndKeepsItsThread)
{
    // The thread of the deleted printer is held in its exit by a query in flight. The next
    // document waits for it; the query ends half-way through the wait (counted in platform
    // ms), so the new document starts a thread of its own and keeps its document. The wait's
    // bound is 600 ms of real time here, so its second half leaves the ending thread ample
    // time even on a loaded machine.
    g_dwReadCycle = 600000;
    HANDLE h = PortWithEndingThread("");
    ASSERT_FALSE(HasFailure());
    AddPrinter("P1", "USB001");

    DWORD firstWait = 0;
    kvplat::SetHoldHook([&](const std::string& call, DWORD ms) {
        if (call != "Sleep" || ms != 10 || OnPollThread())
            return;
        if (firstWait == 0)
            firstWait = GetTickCount();
        else if (GetTickCount() - firstWait >= g_dwReadCycle / 2)
            holder_.Release();
    });
    ASSERT_TRUE(StartDoc(h, "P1", 2));
    kvplat::SetHoldHook(nullptr);
    EXPECT_NE(firstWait, 0u) << "the document did not wait for the ending thread";
    EXPECT_TRUE(ThreadAlive(h) && ThreadRuns(h)) << "the new document has no polling thread";
    EXPECT_EQ(kvplat::CreatedThreads().size(), 2u);
    EXPECT_TRUE(Write(h, "job 2\n"));
    EXPECT_TRUE(pm_.DocumentOpen("USB001"));
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
    EXPECT_EQ(pm_.Written("USB001"), "job 2\n");
    EXPECT_EQ(EndDocs(), 2u);
}

TEST_F(HandOverTest, EndingThreadHeldPastTheWaitNeverEndsTheNewDocument)
{
    HANDLE h = PortWithEndingThread("job 1\n");
    ASSERT_FALSE(HasFailure());
    AddPrinter("P1", "USB001");

    // The wait runs out while the thread is still held: the document starts anyway, and
    // the ending thread starts the document's own thread on its way out.
    ASSERT_TRUE(StartDoc(h, "P1", 2));
    EXPECT_TRUE(Write(h, "job 2, part 1\n"));
    holder_.Release();
    EXPECT_TRUE(WaitUntil([&] { return ThreadRuns(h) && kvplat::CreatedThreads().size() == 2; }))
        << "the new document got no polling thread";

    EXPECT_TRUE(pm_.DocumentOpen("USB001")) << "the ending thread ended a document it never saw open";
    EXPECT_TRUE(Write(h, "job 2, part 2\n"));
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
    EXPECT_EQ(pm_.Written("USB001"), "job 1\njob 2, part 1\njob 2, part 2\n");
    EXPECT_EQ(EndDocs(), 2u) << "each document ends exactly once";
}

TEST_F(HandOverTest, DocumentOpenedAsTheThreadEndsGetsTheNextThread)
{
    // "Front desk" and "Back office" share USB001; Front desk is deleted between jobs. Its
    // thread is held in the pause before its second look, and let go once the port monitor
    // has started Back office's document, before the monitor marks it open; a query in
    // flight then holds the ending thread in its exit. The new document finds the thread
    // ending, and must still get a polling thread.
    AddPrinter("Front desk", "USB001");
    AddPrinter("Back office", "USB001");
    HANDLE h = OpenPort("USB001", "Front desk");
    ASSERT_TRUE(StartDoc(h, "Front desk", 1));
    ASSERT_TRUE(table_.pfnEndDocPort(h));
    auto paused = std::make_shared<std::atomic<bool>>(false);
    kvplat::SetHoldHook([this, h, paused](const std::string& call, DWORD ms) {
        if (call == "Sleep" && ms == g_dwReadCycle && OnPollThread() && !paused->exchange(true)) {
            holder_.Take(&Context(h)->csQuery);
            pause_.Pass();
        }
    });
    ASSERT_TRUE(spooler_.DeletePrinter("Front desk"));
    ASSERT_TRUE(WaitUntil([&] { return pause_.Arrived(); }));
    pm_.SetObserver([&](const sim::PortCall& c) {
        if (c.function == "StartDocPort" && c.result) {
            pause_.Open();
            WaitUntil([&] { return !ThreadRuns(h); }, 2000);
        }
    });
    ASSERT_TRUE(StartDoc(h, "Back office", 2));
    pm_.SetObserver(nullptr);
    holder_.Release();

    EXPECT_TRUE(WaitUntil([&] { return ThreadRuns(h) && kvplat::CreatedThreads().size() == 2; }))
        << "the document has no polling thread";
    // A failed write is followed by a query, and the jam shows on the printer.
    pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(42632)));
    pm_.QueueWriteAnswers("USB001", {WriteAnswer::Failure()});
    EXPECT_FALSE(Write(h, "back\n"));
    EXPECT_TRUE(WaitUntil([&] { return spooler_.PrinterStatus("Back office") != 0; })) << "no query after the failure";
    EXPECT_TRUE(Write(h, "back\n"));
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
    EXPECT_EQ(pm_.Written("USB001"), "back\n");
    EXPECT_EQ(EndDocs(), 2u) << "each document ends exactly once";
}

// Holds a port's query lock on a thread of the deterministic run for `ms` of virtual time.
struct QueryLockHold {
    CRITICAL_SECTION* cs;  // the port's csQuery
    DWORD ms;              // how long it is held
    HANDLE taken;          // set once the lock is held
};

DWORD WINAPI HoldQueryLock(LPVOID param)
{
    auto* hold = static_cast<QueryLockHold*>(param);
    EnterCriticalSection(hold->cs);
    SetEvent(hold->taken);
    Sleep(hold->ms);
    LeaveCriticalSection(hold->cs);
    return 0;
}

TEST_F(HandOverTest, LateFirstQueryLeavesNoBlockBehind)
{
    // A document starts for a printer deleted after the port was opened. StartDocPort starts
    // the polling thread, then is held up before its own first query: a thread holding the
    // port's query lock stands in for the spooler's thread preempted there. The new thread
    // finds no printer, pauses, and ends. When the lock comes free, the first query and the
    // thread's exit go on in the order the seed picks; no order may leave a block behind.
    std::string leaks;
    for (uint64_t seed = 1; seed <= 40; seed++) {
        kvtest::ChildResult r = kvtest::InChild(seed, [this](std::string& out) {
            AddPrinter("P1", "USB001");
            pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(42632)));
            HANDLE h = OpenPort("USB001", "P1");
            spooler_.DeletePrinter("P1");
            QueryLockHold hold{&Context(h)->csQuery, 3 * g_dwReadCycle, CreateEventA(NULL, TRUE, FALSE, NULL)};
            DWORD holderId = 0;
            HANDLE holder = CreateThread(NULL, 0, HoldQueryLock, &hold, 0, &holderId);
            WaitForSingleObject(hold.taken, INFINITE);
            StartDoc(h, "P1", 1);
            table_.pfnEndDocPort(h);
            table_.pfnClosePort(h);
            WaitForSingleObject(holder, INFINITE);
            CloseHandle(holder);
            CloseHandle(hold.taken);
            out = std::to_string(kvplat::LiveMappings());
        });
        EXPECT_EQ(r.status, 0) << "seed " << seed << ": " << r.output;
        if (r.output != "0")
            leaks += " " + std::to_string(seed) + " (" + r.output + ")";
    }
    EXPECT_EQ(leaks, "") << "seeds that left a mapping open after the last ClosePort";
}

TEST_F(HandOverTest, EndingThreadWaitingForAQueryNeverStallsOtherPorts)
{
    AddPrinter("P2", "USB002");
    HANDLE h = PortWithEndingThread("");
    ASSERT_FALSE(HasFailure());
    // Time for the thread to reach the query lock; it stays there until the holder lets go.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    std::atomic<bool> opened{false};
    HANDLE other = NULL;
    std::thread opener([&] {
        MONITOR copy = *pm_.Table();
        opened = table_.pfnOpenPortEx((LPSTR) "USB002", (LPSTR) "P2", &other, &copy) != FALSE;
    });
    EXPECT_TRUE(WaitUntil([&] { return opened.load(); }, 2000))
        << "OpenPortEx of another port waited for this port's device query";
    holder_.Release();
    opener.join();
    ASSERT_TRUE(opened);
    EXPECT_TRUE(table_.pfnClosePort(other));
    EXPECT_TRUE(table_.pfnClosePort(h));
}

}  // namespace
