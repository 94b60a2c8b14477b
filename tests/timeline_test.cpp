// The timeline: lines in sequence order and as JSON, the monitor's trace events as its
// reasons, identical idle polls folded; and kvmon-sim run showing the reasons as the
// monitor states them.
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pollfold.h"
#include "programs.h"
#include "timeline.h"
#include "tracesink.h"

namespace {

using kvtest::Has;
using kvtest::Result;
using kvtest::RunProgram;

// ---- printing ----

TEST(Timeline, PrintsInSequenceOrderAndJoinsACallWithItsResult)
{
    std::ostringstream out;
    {
        kvtools::Timeline t(out, false);
        t.Start(GetCurrentThreadId());
        auto event = [](DWORD seq, DWORD thread, const char* kind, const char* text) {
            kvtools::Event e;
            e.seq = seq;
            e.thread = thread;
            e.ms = seq;
            e.kind = kind;
            e.text = text;
            return e;
        };
        kvtools::Event call = event(10, GetCurrentThreadId(), "call", "WritePort(USB001)");
        call.callId = 1;
        kvtools::Event ret = event(12, GetCurrentThreadId(), "return", "WritePort = TRUE");
        ret.callId = 1;
        ret.result = "TRUE";
        kvtools::Event call2 = event(20, GetCurrentThreadId(), "call", "EndDocPort(USB001)");
        call2.callId = 2;
        kvtools::Event ret2 = event(22, GetCurrentThreadId(), "return", "EndDocPort = TRUE");
        ret2.callId = 2;
        ret2.result = "TRUE";
        // Arrival order differs from sequence order; another thread acts inside EndDocPort.
        t.Add(ret2);
        t.Add(event(21, 0x7777, "query", "query on the poller"));
        t.Add(call2);
        t.Add(ret);
        t.Add(call);
        t.Add(event(5, 0x7778, "status", "earlier, second thread"));
        t.Stop();
    }
    std::string text = out.str();
    const char* order[] = {"earlier, second thread", "WritePort(USB001) = TRUE", "EndDocPort(USB001) ...",
                           "query on the poller", "EndDocPort = TRUE"};
    size_t at = 0;
    for (const char* line : order) {
        size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << " in\n" << text;
        at = found;
    }
    EXPECT_NE(text.find("poller    "), std::string::npos) << text;   // first other thread
    EXPECT_NE(text.find("poller-2"), std::string::npos) << text;     // second one
    EXPECT_EQ(text.find("WritePort = TRUE"), std::string::npos);    // joined with its call
}

TEST(Timeline, JsonLinesEscapeText)
{
    std::ostringstream out;
    {
        kvtools::Timeline t(out, true);
        t.Start(GetCurrentThreadId());
        kvtools::Event e;
        e.kind = "prompt";
        e.text = "a \"quoted\"\ttab\nline \x01 \xd0\x9d";
        e.Num("flags", 0x1005).Bool("ok", true).Str("name", "x\\y");
        t.Add(e);
        t.Stop();
    }
    EXPECT_EQ(out.str().substr(out.str().find(",\"thread\"")),
              ",\"thread\":\"spooler\",\"event\":\"prompt\",\"text\":\"a \\\"quoted\\\"\\ttab\\nline \\u0001 \xd0\x9d\","
              "\"flags\":4101,\"ok\":true,\"name\":\"x\\\\y\"}\n");
}

// ---- folding idle polls ----

const DWORD kSpooler = 1;
const DWORD kPoller = 2;
const DWORD kPoller2 = 3;

// A line of the polling thread (idle unless said otherwise) or of the spooler; ms = seq.
kvtools::Event Line(DWORD seq, DWORD thread, const std::string& text, bool idle = true)
{
    kvtools::Event e;
    e.seq = seq;
    e.ms = seq;
    e.thread = thread;
    e.kind = "trace";
    e.text = text;
    e.idle = idle;
    e.cycleStart = text == "wake";
    return e;
}

// Feeds lines in order and collects what comes out as "thread:text".
struct Folding {
    kvtools::PollFolder folder;
    std::vector<std::string> out;
    void Add(const std::vector<kvtools::Event>& lines)
    {
        for (const auto& e : lines) {
            std::vector<kvtools::Event> due;
            folder.Take(e, &due);
            Collect(due);
        }
    }
    std::vector<std::string> Finish()
    {
        std::vector<kvtools::Event> due;
        folder.Finish(&due);
        Collect(due);
        return out;
    }
    void Collect(const std::vector<kvtools::Event>& due)
    {
        for (const auto& e : due)
            out.push_back(std::to_string(e.thread) + ":" + e.text);
    }
};

std::string Joined(const std::vector<std::string>& lines)
{
    std::string s;
    for (const auto& l : lines)
        s += l + "\n";
    return s;
}

// One idle poll: the timeout, the query and an unchanged code.
std::vector<kvtools::Event> IdlePoll(DWORD seq, DWORD thread = kPoller)
{
    return {Line(seq, thread, "wake"), Line(seq + 1, thread, "query"), Line(seq + 2, thread, "code unchanged")};
}

TEST(PollFolder, RepeatsOfThePollBeforeBecomeOneCountLineAndOtherLinesKeepTheirPlaces)
{
    Folding f;
    f.Add(IdlePoll(1));
    f.Add({Line(4, kSpooler, "a", false)});
    f.Add(IdlePoll(5));
    f.Add({Line(8, kSpooler, "b", false)});
    f.Add({Line(9, kPoller, "wake"), Line(10, kPoller, "query"), Line(11, kSpooler, "c", false),
           Line(12, kPoller, "code unchanged")});
    f.Add({Line(13, kPoller, "wake"), Line(14, kPoller, "code changed", false)});
    // The count stands where the last folded poll began.
    std::vector<std::string> expected = {"2:wake", "2:query", "2:code unchanged", "1:a", "1:b",
                                         "2:idle poll as above, \xc3\x97" "2 more, 5 to 9 ms", "1:c", "2:wake",
                                         "2:code changed"};
    EXPECT_EQ(Joined(f.Finish()), Joined(expected));
}

TEST(PollFolder, APollThatDiffersPrintsInFullInSequenceOrder)
{
    Folding f;
    f.Add(IdlePoll(1));
    // Held while it matches, then released when its code line differs: the spooler's line
    // that came in between stays between.
    f.Add({Line(4, kPoller, "wake"), Line(5, kPoller, "query"), Line(6, kSpooler, "write", false),
           Line(7, kPoller, "code 42632")});
    std::vector<std::string> expected = {"2:wake", "2:query", "2:code unchanged", "2:wake", "2:query",
                                         "1:write", "2:code 42632"};
    EXPECT_EQ(Joined(f.Finish()), Joined(expected));
}

TEST(PollFolder, PollsWithADecisionOrAnExtraLineNeverFold)
{
    Folding f;
    auto withDecision = [](DWORD seq) {
        return std::vector<kvtools::Event>{Line(seq, kPoller, "wake"), Line(seq + 1, kPoller, "not-recognised", false)};
    };
    f.Add(withDecision(1));
    f.Add(withDecision(3));
    f.Add(IdlePoll(5));
    f.Add({Line(8, kPoller, "wake"), Line(9, kPoller, "query"), Line(10, kPoller, "query"),
           Line(11, kPoller, "code unchanged")});
    EXPECT_EQ(f.Finish().size(), 11u) << Joined(f.out);
}

TEST(PollFolder, APollFoldsBeforeWhateverWakesTheThreadNext)
{
    Folding f;
    f.Add(IdlePoll(1));
    f.Add(IdlePoll(4));
    f.Add({Line(7, kPoller, "woken by the end of the document", false)});
    std::vector<std::string> expected = {"2:wake", "2:query", "2:code unchanged",
                                         "2:idle poll as above, once more at 4 ms",
                                         "2:woken by the end of the document"};
    EXPECT_EQ(Joined(f.out), Joined(expected)) << "printed without waiting for the end";
}

TEST(PollFolder, TheEndReleasesAHeldPollAndTheCount)
{
    Folding f;
    f.Add(IdlePoll(1));
    f.Add(IdlePoll(4));
    f.Add({Line(7, kPoller, "wake"), Line(8, kPoller, "query")});  // the run ends mid-poll
    EXPECT_EQ(f.out.size(), 3u) << "the fold and the poll in progress are held";
    std::vector<std::string> expected = {"2:wake", "2:query", "2:code unchanged",
                                         "2:idle poll as above, once more at 4 ms", "2:wake", "2:query"};
    EXPECT_EQ(Joined(f.Finish()), Joined(expected));
}

TEST(PollFolder, EachThreadFoldsItsOwnPolls)
{
    Folding f;
    for (DWORD seq = 1; seq < 40; seq += 6) {
        f.Add(IdlePoll(seq, kPoller));
        f.Add(IdlePoll(seq + 3, kPoller2));
    }
    std::vector<std::string> out = f.Finish();
    std::vector<std::string> expected = {"2:wake", "2:query", "2:code unchanged", "3:wake", "3:query",
                                         "3:code unchanged", "2:idle poll as above, \xc3\x97" "6 more, 7 to 37 ms",
                                         "3:idle poll as above, \xc3\x97" "6 more, 10 to 40 ms"};
    EXPECT_EQ(Joined(out), Joined(expected));
}

// ---- trace events as lines ----

TEST(TraceLine, CodesGetTheirMeaningAndBitsAndIdleLinesAreMarked)
{
    kvtools::Event code = kvtools::TraceLine("USB001", "code",
                                             "42632 (row 16), bits 0x00100008: SetPrinterA called; the companion is told");
    EXPECT_EQ(code.kind, "trace");
    EXPECT_EQ(code.text, "code USB001: 42632 (row 16), bits 0x00100008: SetPrinterA called; the companion is told "
                         "[paper jam; PAPER_JAM | USER_INTERVENTION]");
    EXPECT_FALSE(code.idle);
    bool sawCode = false, sawBits = false;
    for (const auto& f : code.fields) {
        sawCode = sawCode || (f.key == "code" && f.value == "42632" && f.number);
        sawBits = sawBits || (f.key == "bits" && f.value == "1048584" && f.number);
    }
    EXPECT_TRUE(sawCode && sawBits);

    EXPECT_TRUE(kvtools::TraceLine("USB001", "code", "63400 (row 8), bits 0x00000000: unchanged, SetPrinterA skipped")
                    .idle);
    kvtools::Event timeout = kvtools::TraceLine("USB001", "thread-wake", "timeout after 2000 ms");
    EXPECT_TRUE(timeout.idle && timeout.cycleStart);
    kvtools::Event woken = kvtools::TraceLine("USB001", "thread-wake", "woken by a write error");
    EXPECT_FALSE(woken.idle || woken.cycleStart);
    EXPECT_FALSE(kvtools::TraceLine("LPT1", "thread-backoff", "ECP port, 1 job(s) queued: no query for 5000 ms").idle);
    // The reply is on the query line of the port monitor's answer; the monitor's own query
    // event adds nothing to it.
    EXPECT_EQ(kvtools::TraceLine("USB001", "query", "control 0x0016000C: TRUE, error 0, 80 bytes").kind, "");
    EXPECT_EQ(kvtools::TraceLine("-", "trace-on", "level 1, to the debugger").text, "trace-on: level 1, to the debugger");
}

// ---- kvmon-sim run ----

Result Play(const std::string& scenario, const std::vector<std::string>& extra = {})
{
    std::vector<std::string> argv = {KVMON_SIM_PATH, "run", "-"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return RunProgram(argv, scenario);
}

// The line that holds text, from its thread column on ("" when none does).
std::string LineWith(const std::string& timeline, const std::string& text)
{
    size_t at = timeline.find(text);
    if (at == std::string::npos)
        return "";
    size_t begin = timeline.rfind('\n', at) + 1;
    return timeline.substr(begin + 9, timeline.find('\n', at) - begin - 9);
}

TEST(RunReasons, TheMonitorSaysWhyOnTheThreadThatDecided)
{
    Result r = Play("statovue off\n"
                   "printer \"Front desk\" port COM1\n"
                   "printer Q port USB003\n"
                   "device USB003 code 42632\n"
                   "select \"Front desk\"\n"
                   "open\nstart-doc\nend-doc\nclose\n"
                   "select Q\n"
                   "open\n"
                   "start-fails\nanswer cancel\nstart-doc \"Refused\"\n"
                   "start-doc \"Memo\"\n"
                   "write-fails\nwrite \"x\"\nwait 500\n"
                   "delete-printer\nwait 5000\n"
                   "close\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string& t = r.out;
    // Each reason on the thread that decided: the spooler's calls, or the port's poller.
    struct {
        const char* thread;
        const char* text;
    } lines[] = {
        {"spooler", "not-polled COM1: not a USB or LPT port"},
        {"spooler", "doc-refused USB003: the port monitor did not start job 2 (error 21)"},
        {"spooler", "prompt USB003: shown for job 2: answer Cancel, the job is cancelled"},
        {"spooler", "notify-skipped USB003: the companion's \"Installed Folder\" cannot be read"},
        {"spooler", "write-failed USB003: 1 bytes: FALSE (error 21), 0 written: status query"},
        {"poll USB003", "thread-start USB003: thread "},
        {"poll USB003", "thread-park USB003: a job prints"},
        {"poll USB003", "thread-wake USB003: woken by a write error"},
        {"poll USB003", "printer-gone USB003: the printer is no longer listed"},
        {"poll USB003", "thread-end USB003: the printer was deleted"},
        {"poll USB003", "doc-end USB003: document 1 ended by the polling thread: its printer was deleted"},
    };
    for (const auto& l : lines) {
        std::string line = LineWith(t, l.text);
        EXPECT_EQ(line.rfind(l.thread, 0), 0u) << "\"" << l.text << "\" on " << l.thread << ", found: " << line
                                               << "\n" << t;
    }
    // The thread ends after the printer is gone, and nothing is reconstructed beside the
    // monitor's own words.
    EXPECT_LT(t.find("printer-gone USB003"), t.find("thread-end USB003"));
    EXPECT_FALSE(Has(t, "poller")) << t;
    EXPECT_FALSE(Has(t, "- no answer")) << t;
}

TEST(RunReasons, QuietPollsFoldIdlePollsThatAllPollsShowsInFull)
{
    const std::string scenario = "printer P port USB001\ndevice USB001 code 63400\nopen\nstart-doc\nend-doc\n"
                                 "wait 20000\ndevice USB001 code 42632\nwait 3000\nclose\n";
    Result quiet = Play(scenario);
    Result all = Play(scenario, {"--all-polls"});
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(Play(scenario, {"--all-polls", "--quiet-polls"}).out, quiet.out);
    EXPECT_FALSE(Has(all.out, "idle poll as above"));

    // The quiet timeline is the full one less the folded polls, plus the count line, which
    // accounts for every timeout it leaves out.
    std::istringstream q(quiet.out), a(all.out);
    std::vector<std::string> quietLines, allLines;
    for (std::string l; std::getline(q, l);)
        quietLines.push_back(l);
    for (std::string l; std::getline(a, l);)
        allLines.push_back(l);
    auto timeouts = [](const std::vector<std::string>& lines) {
        return std::count_if(lines.begin(), lines.end(),
                             [](const std::string& l) { return Has(l, "thread-wake USB001: timeout"); });
    };
    size_t fold = 0, next = 0;
    unsigned long folded = 0;
    for (size_t i = 0; i < quietLines.size(); i++) {
        size_t at = quietLines[i].find("idle poll as above, \xc3\x97");
        if (at != std::string::npos) {
            fold++;
            folded = std::stoul(quietLines[i].substr(at + 22));
            continue;
        }
        while (next < allLines.size() && allLines[next] != quietLines[i])
            next++;
        ASSERT_LT(next, allLines.size()) << "not in the full timeline, or out of order: " << quietLines[i];
        next++;
    }
    EXPECT_EQ(fold, 1u) << quiet.out;
    EXPECT_GE(folded, 5u) << quiet.out;
    EXPECT_EQ(static_cast<unsigned long>(timeouts(allLines)), timeouts(quietLines) + folded) << quiet.out;
    // A poll that finds a new code is printed in full.
    EXPECT_TRUE(Has(quiet.out, "code USB001: 42632 (row 16), bits 0x00100008: SetPrinterA called"));
}

TEST(RunReasons, JsonTraceLinesMatchTheRunSchema)
{
    Result r = RunProgram({KVMON_SIM_PATH, "run", std::string(KVMON_EXAMPLES_DIR) + "/lpt-ecp.scn", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(kvtest::ValidateJson(KVMON_SOURCE_DIR, "run", r.out, true), "");
    EXPECT_TRUE(Has(r.out, "\"thread\":\"poll LPT1\",\"event\":\"trace\",\"text\":\"thread-backoff LPT1: ECP port, 1 job(s) "
                           "queued: no query for 5000 ms\",\"port\":\"LPT1\",\"name\":\"thread-backoff\",\"reason\":"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "\"event\":\"folded\",\"text\":\"idle poll as above, once more at 6000 ms\",\"count\":1,"
                           "\"first_ms\":6000,\"last_ms\":6000}"))
        << r.out;
    // The schema holds the trace lines to their fields.
    std::string line = r.out.substr(0, r.out.find('\n') + 1);
    EXPECT_NE(kvtest::ValidateJson(KVMON_SOURCE_DIR, "run",
                                   "{\"seq\":5,\"sub\":1,\"ms\":0,\"thread\":\"spooler\",\"event\":\"trace\",\"text\":\"x\","
                                   "\"port\":\"USB001\",\"name\":\"doc-start\"}\n",
                                   true),
              "");
}

}  // namespace
