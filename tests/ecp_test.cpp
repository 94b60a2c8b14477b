// ECP ports: which port descriptions mark a port as ECP, and how the polling thread and
// ReadPort hold off such a port while the printer has jobs queued.
#include <mutex>
#include <string>
#include <vector>

#include "test_support.h"

using kvtest::KestravonId;
using kvtest::WaitUntil;
using sim::DeviceAnswer;

namespace {

class EcpPortTest : public kvtest::MonitorTest {
protected:
    // LPT1: described as `description`, its printer P1 with a job in its queue, and a
    // document started on it.
    HANDLE StartDocWithQueuedJob(const char* description)
    {
        spooler_.AddPort("LPT1:", std::string(description));
        spooler_.AddPrinter("P1", "LPT1:");
        spooler_.QueueJob("P1", "queued");
        pm_.SetDeviceAnswer("LPT1:", DeviceAnswer::Text(KestravonId(42632)));
        HANDLE h = OpenPort("LPT1:", "P1");
        EXPECT_TRUE(StartDoc(h, "P1"));
        return h;
    }
};

TEST_F(EcpPortTest, DescriptionWithEcpAnywhereMarksThePort)
{
    struct Case {
        const char* description;  // nullptr: PORT_INFO_2.pDescription is NULL
        BOOL ecp;
    } cases[] = {
        {"ECP Printer Port", TRUE},
        {"Printer port (ECP)", TRUE},
        {"Parallel port ECP", TRUE},  // the last three characters
        {"ECP", TRUE},
        {"EC", FALSE},
        {"Parallel port EC", FALSE},
        {"Parallel port ecp", FALSE},  // compared with case
        {"Local port", FALSE},
        {"", FALSE},
        {nullptr, FALSE},
    };
    for (const Case& c : cases) {
        if (c.description != nullptr)
            spooler_.AddPort("LPT1:", std::string(c.description));
        else
            spooler_.AddPort("LPT1:", std::nullopt);
        EXPECT_EQ(IsEcpPort("LPT1:"), c.ecp) << "description \"" << (c.description ? c.description : "(NULL)") << "\"";
    }
    spooler_.AddPort("LPT1:", std::string("ECP Printer Port"));
    EXPECT_FALSE(IsEcpPort("LPT2:")) << "a port that is not listed";
    EXPECT_FALSE(IsEcpPort(NULL));
}

TEST_F(EcpPortTest, PortWithQueuedJobBacksOffAndRefusesReads)
{
    HANDLE h = StartDocWithQueuedJob("Printer port (ECP)");
    unsigned first = Queries("LPT1:");
    EXPECT_EQ(first, 1u) << "the immediate query of StartDocPort is not an ECP poll";

    char buf[16];
    DWORD read = 0xdeadbeef;
    // The refusal sets no error of its own; the last error is what the spooler queries left.
    EXPECT_FALSE(table_.pfnReadPort(h, (LPBYTE)buf, sizeof(buf), &read));
    EXPECT_EQ(read, 0xdeadbeefu) << "the count stays untouched";
    EXPECT_EQ(pm_.CallCount("ReadPort"), 0u);

    ASSERT_TRUE(table_.pfnEndDocPort(h));
    Sleep(30000);  // six back-off periods
    EXPECT_EQ(Queries("LPT1:"), first) << "an ECP port with a queued job must not be queried";

    // Once the queue is empty, polling resumes.
    spooler_.ClearJobs("P1");
    EXPECT_TRUE(WaitUntil([&] { return Queries("LPT1:") > first; }));
    pm_.QueueReadData("LPT1:", "back");
    EXPECT_TRUE(table_.pfnReadPort(h, (LPBYTE)buf, sizeof(buf), &read));
    EXPECT_EQ(std::string(buf, read), "back");
    EXPECT_TRUE(table_.pfnClosePort(h));
}

TEST_F(EcpPortTest, BackOffLastsFiveSecondsBetweenQueueChecks)
{
    // A coarser clock than the other tests: the gap between checks is the back-off plus a
    // few spooler calls, and those must stay small beside the difference being measured.
    kvplat::SetTimeScale(100);
    HANDLE h = StartDocWithQueuedJob("ECP Printer Port");

    // Each check of the queue starts with a size probe of EnumJobsA (cbBuf 0).
    std::mutex mutex;
    std::vector<DWORD> checks;
    spooler_.SetObserver([&](const sim::SpoolerCall& c) {
        if (c.function == "EnumJobsA" && c.args.find("cbBuf 0 ") != std::string::npos) {
            std::lock_guard<std::mutex> lock(mutex);
            checks.push_back(GetTickCount());
        }
    });
    ASSERT_TRUE(table_.pfnEndDocPort(h));
    EXPECT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return checks.size() >= 4;
    }));
    spooler_.SetObserver(nullptr);
    EXPECT_TRUE(table_.pfnClosePort(h));

    std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = 1; i < checks.size(); i++) {
        // GetTickCount counts whole milliseconds: a 5000 ms pause may read as 4999.
        EXPECT_GE(checks[i] - checks[i - 1], 4999u) << "gap before queue check " << i << " in platform ms";
    }
    EXPECT_EQ(Queries("LPT1:"), 1u) << "only the immediate query of StartDocPort";
}

}  // namespace
