// Printers renamed between jobs and in the middle of jobs, many times over on two ports at
// once, with the polling threads running. A rename never deletes a printer, so no job may
// lose its document: every byte the port monitor accepts arrives in order, every write
// the port monitor would take gets through, and every document ends exactly once.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "test_support.h"

using kvtest::KestravonId;
using sim::DeviceAnswer;
using sim::WriteAnswer;

namespace {

constexpr int kRounds = 1000;

struct RenamePlan {
    const char* port;
    const char* names[2];  // the printer's two names, taken in turn
};
const RenamePlan kPlans[] = {
    {"USB001", {"Renamed USB 1", "Renamed USB 1 (moved)"}},
    {"LPT1:", {"Renamed LPT 1", "Renamed LPT 1 (moved)"}},
};

// What a port's rounds saw, checked when they are done.
struct PortTally {
    unsigned documents = 0;    // documents the port monitor accepted
    unsigned lostWrites = 0;   // writes refused by kvmon although the port monitor takes them
    std::string expected;      // bytes the port monitor reported taken, in order
};

class HandOverStressTest : public kvtest::MonitorTest, public ::testing::WithParamInterface<unsigned> {
protected:
    void SetUp() override
    {
        kvtest::MonitorTest::SetUp();
        pm_.SetObserver([this](const sim::PortCall& c) {
            // An EndDocPort without an open document: a document ended twice.
            if (c.function == "EndDocPort" && !c.result)
                doubleEnds_++;
        });
        for (const RenamePlan& p : kPlans) {
            AddPrinter(p.names[0], p.port);
            pm_.SetDeviceAnswer(p.port, DeviceAnswer::Text(KestravonId(63400)));
        }
    }
    void TearDown() override
    {
        pm_.SetObserver(nullptr);
        kvtest::MonitorTest::TearDown();
    }

    // Writes one chunk; a write that the port monitor would take must get through.
    void WriteChunk(HANDLE h, const std::string& data, bool willFail, PortTally* tally)
    {
        DWORD written = 0;
        BOOL ok = table_.pfnWritePort(h, (LPBYTE)data.data(), (DWORD)data.size(), &written);
        if (ok && written == data.size())
            tally->expected += data;
        else if (!willFail)
            tally->lostWrites++;
    }

    // Rounds of one port: even rounds rename the printer and print at once under the new
    // name (inside the pause of a thread that lost the old one); odd rounds rename it in
    // the middle of a job, followed by a failed write that makes the thread look it up.
    void RunRounds(int index, unsigned seed, PortTally* tally)
    {
        const RenamePlan& plan = kPlans[index];
        std::mt19937 rng(seed * 7919u + index);
        int naming = 0;
        HANDLE h = OpenPort(plan.port, plan.names[0]);
        for (int round = 0; round < kRounds && !HasFailure(); round++) {
            bool midJob = round % 2 == 1;
            if (!midJob) {
                ASSERT_TRUE(spooler_.RenamePrinter(plan.names[naming], plan.names[1 - naming]));
                naming = 1 - naming;
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 1500));
            }
            DOC_INFO_1A doc = {(LPSTR) "Renamed document", NULL, (LPSTR) "RAW"};
            ASSERT_TRUE(table_.pfnStartDocPort(h, (LPSTR)plan.names[naming], round + 1, 1, (LPBYTE)&doc))
                << plan.port << " round " << round;
            tally->documents++;
            std::string tag = std::string(plan.port) + "#" + std::to_string(round) + ":";
            WriteChunk(h, tag + "a;", false, tally);
            if (midJob) {
                ASSERT_TRUE(spooler_.RenamePrinter(plan.names[naming], plan.names[1 - naming]));
                naming = 1 - naming;
                pm_.QueueWriteAnswers(plan.port, {WriteAnswer::Failure()});
                WriteChunk(h, tag + "refused;", true, tally);
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 1500));
            }
            WriteChunk(h, tag + "b;", false, tally);
            EXPECT_TRUE(table_.pfnEndDocPort(h));
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 1000));
        }
        EXPECT_TRUE(table_.pfnClosePort(h));
        if (naming == 1)
            spooler_.RenamePrinter(plan.names[1], plan.names[0]);
    }

    std::atomic<unsigned> doubleEnds_{0};
};

TEST_P(HandOverStressTest, RenamesNeverLoseADocument)
{
    const unsigned seed = GetParam();
    const int kPortCount = sizeof(kPlans) / sizeof(kPlans[0]);
    PortTally tallies[kPortCount];
    std::vector<std::thread> threads;
    for (int i = 0; i < kPortCount; i++)
        threads.emplace_back([&, i] { RunRounds(i, seed, &tallies[i]); });
    for (auto& t : threads)
        t.join();
    ASSERT_TRUE(kvplat::WaitForThreads(10000));

    unsigned documents = 0, lost = 0;
    for (int i = 0; i < kPortCount; i++) {
        EXPECT_EQ(pm_.Written(kPlans[i].port), tallies[i].expected) << kPlans[i].port;
        EXPECT_EQ(tallies[i].lostWrites, 0u) << kPlans[i].port << ": writes refused with the document ended";
        EXPECT_EQ(pm_.CallCount("StartDocPort"), pm_.CallCount("EndDocPort"));
        documents += tallies[i].documents;
        lost += tallies[i].lostWrites;
    }
    EXPECT_EQ(doubleEnds_.load(), 0u) << "documents ended twice";
    EXPECT_EQ(pm_.OpenHandleCount(), 0);
    printf("hand-over stress seed %u: %u documents, %u lost writes, %u double ends, %u threads\n", seed, documents,
           lost, doubleEnds_.load(), (unsigned)kvplat::CreatedThreads().size());
}

INSTANTIATE_TEST_SUITE_P(Seeds, HandOverStressTest, ::testing::Values(1u, 2u, 3u));

}  // namespace
