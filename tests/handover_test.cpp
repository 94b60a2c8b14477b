// Hand-over between the spooler's document calls and a port's polling thread: renames,
// deletions and new documents that meet the thread at its worst moment. Each test stops a
// thread at a chosen platform call (kvplat::SetHoldHook) or watches it through the
// spooler's observer, so the interleaving is forced rather than made likely. Every wait
// for a held thread has a time limit, so a fault fails the test instead of hanging it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "test_support.h"

using kvtest::KestravonId;
using kvtest::WaitUntil;
using sim::DeviceAnswer;
using sim::WriteAnswer;

namespace {

constexpr auto kHoldLimit = std::chrono::seconds(3);

// A one-shot gate: threads that Pass() it wait until Open() (or the hold limit).
class Gate {
public:
    void Pass()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_ = true;
        cv_.notify_all();
        cv_.wait_for(lock, kHoldLimit, [&] { return open_; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }
    bool Arrived()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return arrived_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool arrived_ = false;
    bool open_ = false;
};

// Holds a critical section on a thread of its own, as a device query in flight holds the
// port's query lock, until Release() (or the hold limit).
class LockHolder {
public:
    ~LockHolder()
    {
        Release();
        if (thread_.joinable())
            thread_.join();
    }
    // Returns once the lock is held.
    void Take(CRITICAL_SECTION* cs)
    {
        thread_ = std::thread([this, cs] {
            EnterCriticalSection(cs);
            taken_.Open();
            release_.Pass();
            LeaveCriticalSection(cs);
        });
        taken_.Pass();
    }
    void Release() { release_.Open(); }

private:
    std::thread thread_;
    Gate taken_;
    Gate release_;
};

class HandOverTest : public kvtest::MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        testThread_ = GetCurrentThreadId();
        spooler_.SetObserver([this](const sim::SpoolerCall& c) {
            // A look-up of the polling thread: the enumeration that lists the printers.
            if (c.function == "EnumPrintersA" && c.thread != testThread_ && c.result)
                lookups_++;
        });
        pm_.SetDeviceAnswer("USB001", DeviceAnswer::Text(KestravonId(63400)));
    }
    void TearDown() override
    {
        kvplat::SetHoldHook(nullptr);
        spooler_.SetObserver(nullptr);
        MonitorTest::TearDown();
    }

    bool OnPollThread() { return GetCurrentThreadId() != testThread_; }
    bool ThreadRuns(HANDLE h) { return TestFlags(Context(h), PCF_THREAD_RUN) != FALSE; }
    bool ThreadAlive(HANDLE h) { return TestFlags(Context(h), PCF_THREAD_ALIVE) != FALSE; }
    std::string PrinterName(HANDLE h)
    {
        EnterCriticalSection(&Context(h)->csPort);
        std::string name = Context(h)->printerName != nullptr ? Context(h)->printerName : "(none)";
        LeaveCriticalSection(&Context(h)->csPort);
        return name;
    }
    unsigned EndDocs() { return pm_.CallCount("EndDocPort"); }

    // Stops the polling thread in the pause it makes after losing its printer, at `gate`.
    void HoldThePause(Gate* gate)
    {
        kvplat::SetHoldHook([this, gate](const std::string& call, DWORD ms) {
            if (call == "Sleep" && ms == g_dwReadCycle && OnPollThread())
                gate->Pass();
        });
    }
    // When the polling thread pauses after losing its printer, holder_ takes the port's
    // query lock: the thread's exit then meets a query in flight.
    void QueryInFlightAtThePause(HANDLE h)
    {
        auto taken = std::make_shared<std::atomic<bool>>(false);
        kvplat::SetHoldHook([this, h, taken](const std::string& call, DWORD ms) {
            if (call == "Sleep" && ms == g_dwReadCycle && OnPollThread() && !taken->exchange(true))
                holder_.Take(&Context(h)->csQuery);
        });
    }
    // The thread left its loop and waits in its exit (at the query lock the holder keeps).
    void WaitForEndingThread(HANDLE h)
    {
        ASSERT_TRUE(WaitUntil([&] { return !ThreadRuns(h) && ThreadAlive(h); })) << "the thread did not start ending";
    }

    // USB001 printed a first job (`firstJob`) for P1 and holds its document for polling;
    // then P1 is deleted. Returns once the thread has left its loop and waits in its exit at
    // the query lock, which holder_ keeps as a device query in flight would.
    HANDLE PortWithEndingThread(const std::string& firstJob)
    {
        AddPrinter("P1", "USB001");
        HANDLE h = OpenPort("USB001", "P1");
        EXPECT_TRUE(StartDoc(h, "P1", 1));
        if (!firstJob.empty()) {
            EXPECT_TRUE(Write(h, firstJob));
        }
        EXPECT_TRUE(table_.pfnEndDocPort(h));
        QueryInFlightAtThePause(h);
        EXPECT_TRUE(spooler_.DeletePrinter("P1"));
        WaitForEndingThread(h);
        return h;
    }

    // The port printed a first job for `first` and holds its document for polling; then
    // `change` happens to the printer and a second job for `second` starts inside the pause
    // in which the thread would end (when it pauses at all). Every byte of the second job
    // must reach the port monitor and its document must end exactly once.
    void PrintWithinThePause(const char* first, const std::function<void()>& change, const char* second)
    {
        Gate& pause = pause_;
        AddPrinter(first, "USB001");
        HANDLE h = OpenPort("USB001", first);
        ASSERT_TRUE(StartDoc(h, first, 1));
        ASSERT_TRUE(Write(h, "job 1\n"));
        ASSERT_TRUE(table_.pfnEndDocPort(h));
        HoldThePause(&pause);

        change();
        ASSERT_TRUE(WaitUntil([&] { return pause.Arrived() || PrinterName(h) == second; }));
        ASSERT_TRUE(StartDoc(h, second, 2, "Second"));
        EXPECT_TRUE(Write(h, "job 2, part 1\n"));
        EXPECT_EQ(EndDocs(), 1u) << "the first job's held document ends when the second starts";
        int seen = lookups_;
        bool paused = pause.Arrived();
        pause.Open();
        // A thread that paused comes out of it: it either looks again and goes on, or ends.
        if (paused) {
            EXPECT_TRUE(WaitUntil([&] { return !ThreadAlive(h) || lookups_ >= seen + 1; }));
        }

        EXPECT_TRUE(Write(h, "job 2, part 2\n")) << "the second job's document was ended under it";
        EXPECT_TRUE(pm_.DocumentOpen("USB001"));
        EXPECT_TRUE(table_.pfnEndDocPort(h));
        EXPECT_TRUE(table_.pfnClosePort(h));
        EXPECT_EQ(pm_.Written("USB001"), "job 1\njob 2, part 1\njob 2, part 2\n");
        EXPECT_EQ(EndDocs(), 2u) << "each document ends exactly once";
    }

    DWORD testThread_ = 0;
    std::atomic<int> lookups_{0};
    // Members, not locals: a hook may still reach them until TearDown removes it.
    Gate pause_;
    LockHolder holder_;
};

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

    // The wait runs out while the thread is still held: the document starts anyway.
    ASSERT_TRUE(StartDoc(h, "P1", 2));
    EXPECT_TRUE(Write(h, "job 2, part 1\n"));
    holder_.Release();
    EXPECT_TRUE(WaitUntil([&] { return !ThreadAlive(h); }));

    EXPECT_TRUE(pm_.DocumentOpen("USB001")) << "the ending thread ended a document it never saw open";
    EXPECT_TRUE(Write(h, "job 2, part 2\n"));
    EXPECT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(table_.pfnClosePort(h));
    EXPECT_EQ(pm_.Written("USB001"), "job 1\njob 2, part 1\njob 2, part 2\n");
    EXPECT_EQ(EndDocs(), 2u) << "each document ends exactly once";
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
