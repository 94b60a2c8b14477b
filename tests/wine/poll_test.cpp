// The per-port polling thread with real threads, events and timers (ReadCycle 2000 ms).
#include <vector>

#include "support.h"

namespace kvwine {
namespace {

class PollTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        pm_.SetObserver([this](const sim::PortCall& c) {
            if (c.function == "GetPrinterDataFromPort") {
                EnterCriticalSection(&cs_);
                ticks_.push_back(GetTickCount());
                threads_.push_back(c.thread);
                LeaveCriticalSection(&cs_);
            }
        });
    }
    void TearDown() override
    {
        MonitorTest::TearDown();
        pm_.SetObserver(nullptr);
    }
    size_t QueryCount()
    {
        EnterCriticalSection(&cs_);
        size_t n = ticks_.size();
        LeaveCriticalSection(&cs_);
        return n;
    }
    std::vector<DWORD> Ticks()
    {
        EnterCriticalSection(&cs_);
        std::vector<DWORD> t = ticks_;
        LeaveCriticalSection(&cs_);
        return t;
    }
    struct Lock {
        Lock() { InitializeCriticalSection(&cs); }
        ~Lock() { DeleteCriticalSection(&cs); }
        CRITICAL_SECTION cs;
    } lock_;
    CRITICAL_SECTION& cs_ = lock_.cs;
    std::vector<DWORD> ticks_, threads_;
};

TEST_F(PollTest, WriteErrorWakesParkedThread)
{
    AddPrinter("Kestravon Wake", "USB009");
    pm_.SetDeviceAnswer("USB009", sim::DeviceAnswer::Text(KestravonId(50130)));
    HANDLE h = OpenPort("USB009", "Kestravon Wake");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartDoc(h, "Kestravon Wake"));
    ASSERT_EQ(QueryCount(), 1u) << "StartDocPort runs one query itself";
    DWORD written = 0;
    EXPECT_TRUE(Write(h, "print data", &written));
    EXPECT_EQ(written, 10u);

    Sleep(700);
    EXPECT_EQ(QueryCount(), 1u) << "the thread queried during a job without a write error";

    pm_.QueueWriteAnswers("USB009", {sim::WriteAnswer::Failure()});
    DWORD before = GetTickCount();
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Write(h, "more data", &written));
    EXPECT_EQ(written, 0u);
    ASSERT_TRUE(WaitUntil([this] { return QueryCount() >= 2; }, 1500))
        << "no query within 1500 ms of the failed write";
    EXPECT_LT(Ticks()[1] - before, 1500u);
    EXPECT_NE(threads_[1], GetCurrentThreadId()) << "the wake-up query ran on the spooler's thread";
}

TEST_F(PollTest, PollsEveryReadCycleBetweenJobs)
{
    AddPrinter("Kestravon Poll", "USB010");
    pm_.SetDeviceAnswer("USB010", sim::DeviceAnswer::Text(KestravonId(63400)));
    HANDLE h = OpenPort("USB010", "Kestravon Poll");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartDoc(h, "Kestravon Poll"));
    Sleep(500);  // the new thread parks: a job is active
    ASSERT_TRUE(EndDoc(h));
    EXPECT_EQ(pm_.CallCount("EndDocPort"), 0u) << "the document is held open for the polling thread";

    // EndDocPort wakes the thread for one query; then one query per ReadCycle.
    ASSERT_TRUE(WaitUntil([this] { return QueryCount() >= 4; }, 7000)) << "queries: " << QueryCount();
    std::vector<DWORD> t = Ticks();
    EXPECT_LT(t[1] - t[0], 1500u) << "EndDocPort did not wake the thread";
    for (size_t i = 2; i < 4; ++i) {
        DWORD gap = t[i] - t[i - 1];
        EXPECT_GE(gap, 1900u) << "poll " << i << " came early";
        EXPECT_LE(gap, 3500u) << "poll " << i << " came late";
    }

    ASSERT_TRUE(Close(h));
    EXPECT_EQ(pm_.CallCount("EndDocPort"), 1u) << "ClosePort ends the held document";
    EXPECT_EQ(pm_.CallCount("ClosePort"), 1u);
    std::vector<DWORD> statuses = StatusesOf("Kestravon Poll");
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), 0u) << "printer status not cleared when polling ended";
}

TEST_F(PollTest, RenameThenPrintAtOnceKeepsTheSecondJob)
{
    AddPrinter("Kestravon Old", "USB011");
    pm_.SetDeviceAnswer("USB011", sim::DeviceAnswer::Text(KestravonId(63400)));
    HANDLE h = OpenPort("USB011", "Kestravon Old");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartDoc(h, "Kestravon Old", 1));
    ASSERT_TRUE(Write(h, "job 1\n"));
    ASSERT_TRUE(EndDoc(h));

    // The thread's next look-up after the rename no longer finds the old name: a thread
    // that takes that for a deleted printer pauses one ReadCycle and then ends. The next
    // job starts at once, inside that pause, and prints across its end.
    ASSERT_TRUE(kvsim_RenamePrinter("Kestravon Old", "Kestravon New"));
    DWORD lookups = kvsim_CallCount("EnumPrintersA");
    ASSERT_TRUE(WaitUntil([&] { return kvsim_CallCount("EnumPrintersA") >= lookups + 2; }, 4000))
        << "the thread made no look-up after the rename";
    ASSERT_TRUE(StartDoc(h, "Kestravon New", 2, "Second"));
    std::string expected = "job 1\n";
    for (int i = 0; i < 6; i++) {
        std::string chunk = "job 2, part " + std::to_string(i) + "\n";
        DWORD written = 0;
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(Write(h, chunk, &written)) << "part " << i << ": error " << GetLastError();
        EXPECT_EQ(written, chunk.size()) << "part " << i;
        expected += chunk;
        Sleep(500);
    }
    ASSERT_TRUE(EndDoc(h));
    EXPECT_EQ(pm_.CallCount("EndDocPort"), 1u) << "only the first job's held document has ended";
    ASSERT_TRUE(Close(h));
    EXPECT_EQ(pm_.Written("USB011"), expected);
    EXPECT_EQ(pm_.CallCount("EndDocPort"), 2u) << "each document ends exactly once";
}

// A spooler whose deleted printer's handle still answers with the old record, unflagged:
// a rename is followed, a delete ends the held document within three ReadCycles.
TEST_F(PollTest, DeletedPrinterWhoseHandleStillAnswersEndsTheHeldDocument)
{
    kvsim_SetDeletedHandles(2);
    AddPrinter("Kestravon Ghost", "USB013");
    pm_.SetDeviceAnswer("USB013", sim::DeviceAnswer::Text(KestravonId(63400)));
    HANDLE h = OpenPort("USB013", "Kestravon Ghost");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(StartDoc(h, "Kestravon Ghost"));
    ASSERT_TRUE(EndDoc(h));

    ASSERT_TRUE(kvsim_RenamePrinter("Kestravon Ghost", "Kestravon Renamed"));
    Sleep(5000);
    EXPECT_EQ(pm_.CallCount("EndDocPort"), 0u) << "a renamed printer was taken for a deleted one";

    ASSERT_TRUE(kvsim_DeletePrinter("Kestravon Renamed"));
    EXPECT_TRUE(WaitUntil([this] { return pm_.CallCount("EndDocPort") == 1; }, 6000))
        << "the held document of the deleted printer was not ended within three ReadCycles";
    ASSERT_TRUE(Close(h));
    EXPECT_EQ(pm_.CallCount("EndDocPort"), 1u);
}

}  // namespace
}  // namespace kvwine
