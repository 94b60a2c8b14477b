// The hand-over suite's fixture: the monitor with a one-shot gate to hold a thread at a
// chosen point, a holder of a port's query lock, and the helpers that bring a port's
// polling thread to the moments where the spooler's calls meet it.
#ifndef KVMON_TESTS_HANDOVER_FIXTURE_H
#define KVMON_TESTS_HANDOVER_FIXTURE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "test_support.h"

namespace kvtest {

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
        pm_.SetDeviceAnswer("USB001", sim::DeviceAnswer::Text(KestravonId(63400)));
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

}  // namespace kvtest

#endif  // KVMON_TESTS_HANDOVER_FIXTURE_H
