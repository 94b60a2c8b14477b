// A document the port monitor refuses: kvmon asks the user in a real system-modal
// Retry/Cancel box captioned with the printer name, and restarts or cancels the job.
#include <string>

#include "support.h"

namespace kvwine {
namespace {

const wchar_t* const kConnectFailedText =
    L"Не удается установить соединение. \n\n1. Проверьте электропитание.\n"
    L"2. Проверьте соединение с ПК.\n3. Возможно изменился IP адрес устройства.\n";

class PromptTest : public MonitorTest {
protected:
    // Queues a job, makes the port monitor refuse the next document and answers the box
    // with `button`; returns what the answering thread saw.
    BoxAnswer RefusedDocument(const char* printer, const char* port, int button, DWORD* jobId)
    {
        BoxAnswer a;
        a.caption = printer;
        a.button = button;
        AddPrinter(printer, port);
        *jobId = kvsim_QueueJob(printer, "Report");
        EXPECT_NE(*jobId, 0u);
        pm_.FailStartDoc(port, 1);
        HANDLE h = OpenPort(port, printer);
        if (!h) return a;

        HANDLE thread = CreateThread(NULL, 0, AnswerBox, &a, 0, NULL);
        EXPECT_NE(thread, nullptr);
        SetLastError(0xdeadbeef);
        BOOL ok = StartDoc(h, printer, *jobId, "Report");
        DWORD error = GetLastError();
        EXPECT_FALSE(ok) << "StartDocPort succeeded though the port monitor refused the document";
        (void)error;
        InterlockedExchange(&a.stop, 1);
        EXPECT_EQ(WaitForSingleObject(thread, 35000), WAIT_OBJECT_0) << "answering thread did not end";
        CloseHandle(thread);
        return a;
    }
};

TEST_F(PromptTest, RetryRestartsJob)
{
    DWORD job = 0;
    BoxAnswer a = RefusedDocument("Kestravon Retry", "USB007", IDRETRY, &job);
    ASSERT_TRUE(a.found) << "no message box captioned \"Kestravon Retry\"";
    EXPECT_TRUE(a.text == kConnectFailedText) << "box text differs from the connection-failure text ("
                                              << a.text.size() << " characters)";
    EXPECT_TRUE(a.hasRetry);
    EXPECT_TRUE(a.hasCancel);
    EXPECT_FALSE(a.hasOk);
    EXPECT_TRUE(a.exStyle & WS_EX_TOPMOST) << "system-modal box not topmost, exstyle " << std::hex << a.exStyle;

    std::vector<KvSimJobCommand> commands = JobCommands();
    ASSERT_EQ(commands.size(), 1u) << "SetJobA calls";
    EXPECT_EQ(commands[0].jobId, job);
    EXPECT_EQ(commands[0].command, static_cast<DWORD>(JOB_CONTROL_RESTART));
    EXPECT_TRUE(commands[0].found);
    EXPECT_STREQ(commands[0].printer, "Kestravon Retry");
    EXPECT_EQ(kvsim_JobCount("Kestravon Retry"), 1u) << "restarted job left the queue";
}

TEST_F(PromptTest, CancelCancelsJob)
{
    DWORD job = 0;
    BoxAnswer a = RefusedDocument("Kestravon Cancel", "LPT2:", IDCANCEL, &job);
    ASSERT_TRUE(a.found) << "no message box captioned \"Kestravon Cancel\"";
    EXPECT_TRUE(a.text == kConnectFailedText) << "box text differs from the connection-failure text";

    std::vector<KvSimJobCommand> commands = JobCommands();
    ASSERT_EQ(commands.size(), 1u) << "SetJobA calls";
    EXPECT_EQ(commands[0].jobId, job);
    EXPECT_EQ(commands[0].command, static_cast<DWORD>(JOB_CONTROL_CANCEL));
    EXPECT_EQ(kvsim_JobCount("Kestravon Cancel"), 0u) << "cancelled job still queued";
    EXPECT_EQ(kvsim_OpenHandleCount(), 1L) << "only the port's own printer handle stays open";
}

TEST_F(PromptTest, NoBoxForUnnamedDocument)
{
    AddPrinter("Kestravon Quiet", "USB008");
    pm_.FailStartDoc("USB008", 1);
    HANDLE h = OpenPort("USB008", "Kestravon Quiet");
    ASSERT_NE(h, nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StartDoc(h, "Kestravon Quiet", 1, ""));
    EXPECT_EQ(FindWindowA("#32770", "Kestravon Quiet"), nullptr);
    EXPECT_TRUE(JobCommands().empty()) << "job control without a prompt";
}

}  // namespace
}  // namespace kvwine
