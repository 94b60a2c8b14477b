// Scenario lines that misuse the spooler protocol, and what the scenarios can say about the
// device, the port monitor, the companion's folder and printers sharing a port: each
// parsed from text and played through kvmon-sim run on standard input (deterministic).
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "examples.h"
#include "programs.h"
#include "scenario.h"

namespace {

using kvtest::Has;
using kvtest::Result;

const std::string kPrinter = "printer P port USB001\ndevice USB001 code 63400\nopen\n";

std::string ParseError(const std::string& text)
{
    kvtools::Scenario s;
    std::string error;
    return kvtools::ParseScenario(text, "t", &s, &error) ? std::string() : error;
}

// Plays the scenario from standard input, in a namespace of this test program.
Result Play(const std::string& scenario)
{
    return kvtest::RunProgram({KVMON_SIM_PATH, "run", "-"}, scenario,
                              {"KVMON_SHM_NAMESPACE=kvscen" + std::to_string(getpid())});
}

// The timeline from the marker of scenario line `line` up to the next scenario line.
std::string LinePlayed(const std::string& timeline, int line)
{
    std::string marker = "> " + std::to_string(line) + "  ";
    size_t a = timeline.find(marker);
    if (a == std::string::npos)
        return "<line " + std::to_string(line) + " not played>";
    size_t b = timeline.find("spooler   > ", a + marker.size());
    return timeline.substr(a, b == std::string::npos ? std::string::npos : b - a);
}

// ---- spooler misuse ----

TEST(SpoolerMisuse, LinesTheSpoolerNeverSendsAreRefusedWithTheirReason)
{
    struct Case {
        std::string text;
        std::string error;  // the whole message
    } cases[] = {
        {kPrinter + "write \"x\"\n",
         "4: write: no document is open on port USB001 (no 'start-doc' line before it; the spooler writes only "
         "between start-doc and end-doc)"},
        {kPrinter + "end-doc\n",
         "4: end-doc: no document is open on port USB001 (no 'start-doc' line before it; the spooler ends "
         "documents only between start-doc and end-doc)"},
        {kPrinter + "start-doc\nend-doc\nend-doc\n",
         "6: end-doc: no document is open on port USB001 (the document of line 4 was ended at line 5; the "
         "spooler ends documents only between start-doc and end-doc)"},
        {kPrinter + "start-doc\nwrite 10\nend-doc\nwrite 10\n",
         "7: write: no document is open on port USB001 (the document of line 4 was ended at line 6; the "
         "spooler writes only between start-doc and end-doc)"},
        {kPrinter + "start-doc \"a\"\nstart-doc \"b\"\n",
         "5: start-doc: the document of line 4 is still open on port USB001 (the spooler starts one document at "
         "a time: an 'end-doc' line is missing)"},
        // A close ends the document as far as the lines tell; a write after it needs a new one.
        {kPrinter + "start-doc\nclose\nopen\nwrite 1\n",
         "7: write: no document is open on port USB001 (the document of line 4 was ended at line 5; the "
         "spooler writes only between start-doc and end-doc)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseError(c.text), c.error) << c.text;

    // Documents are counted per port: another port's document does not count.
    EXPECT_EQ(ParseError("printer A port USB001\nprinter B port USB002\nopen\nstart-doc\nselect A\nopen\nwrite 1\n"),
              "7: write: no document is open on port USB001 (no 'start-doc' line before it; the spooler writes only "
              "between start-doc and end-doc)");
    // Where a refused start may leave no document, the lines after it are played.
    EXPECT_EQ(ParseError(kPrinter + "start-fails\nstart-doc\nstart-doc\nwrite 1\nend-doc\n"), "");

    Result r = Play(kPrinter + "write \"x\"\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("kvmon-sim: stdin:4: write: no document is open on port USB001", 0), 0u) << r.err;
}

TEST(SpoolerMisuse, CloseWithADocumentOpenIsPlayedAndMarked)
{
    Result r = Play(kPrinter + "start-doc \"Aborted\"\nwrite \"abc\"\nclose\nexpect document closed\n");
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    std::string close = LinePlayed(r.out, 6);
    EXPECT_TRUE(Has(close, "spooler misuse: ClosePort(USB001) although the document of job 1 (line 4) is still "
                           "open, as when a job is aborted"))
        << close;
    EXPECT_TRUE(Has(close, "ClosePort = TRUE")) << close;
    // A close after end-doc, and a close whose job left with its printer, are no misuse.
    Result fine = Play(kPrinter + "start-doc\nend-doc\nclose\n");
    EXPECT_EQ(fine.status, 0) << fine.err;
    EXPECT_FALSE(Has(fine.out, "misuse")) << fine.out;
    Result deleted = Play(kPrinter + "start-doc\ndelete-printer\nwait 5000\nclose\n");
    EXPECT_EQ(deleted.status, 0) << deleted.err;
    EXPECT_FALSE(Has(deleted.out, "misuse")) << deleted.out;
}

TEST(SpoolerMisuse, CallsAfterACancelledStartAreMarkedAndTheMonitorRefusesThem)
{
    Result r = Play(kPrinter + "start-fails\nanswer cancel\nstart-doc \"Cancelled\"\nwrite \"x\"\nend-doc\nclose\n");
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    std::string write = LinePlayed(r.out, 7);
    EXPECT_TRUE(Has(write, "spooler misuse: WritePort(USB001) although no document is open (the start-doc of line 6 "
                           "did not start one)"))
        << write;
    // The monitor refuses a write outside a document without asking the port monitor.
    EXPECT_TRUE(Has(write, "= FALSE, error 0, 0 written")) << write;
    std::string end = LinePlayed(r.out, 8);
    EXPECT_TRUE(Has(end, "spooler misuse: EndDocPort(USB001) although no document is open")) << end;
    EXPECT_TRUE(Has(end, "EndDocPort = TRUE")) << end;
    EXPECT_FALSE(Has(LinePlayed(r.out, 9), "misuse")) << r.out;
}

TEST(SpoolerMisuse, ASecondStartOnABusyPortIsRefusedAndTheFirstDocumentGoesOn)
{
    // Whether the retried start opens a document only shows when it plays.
    Result r = Play(kPrinter + "start-fails\nanswer retry\nstart-doc \"First\"\nwrite \"a\"\nstart-doc \"Second\"\n"
                               "write \"b\"\nexpect received \"ab\"\nend-doc\nexpect prompts 1\nclose\n");
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    std::string second = LinePlayed(r.out, 8);
    EXPECT_TRUE(Has(second, "spooler misuse: StartDocPort(USB001) although the document of job 1 (line 6) is still "
                            "open"))
        << second;
    EXPECT_TRUE(Has(second, "= FALSE, error 170 ERROR_BUSY")) << second;
    EXPECT_TRUE(Has(second, "job 2 not printed, taken off the queue")) << second;
    EXPECT_FALSE(Has(r.out, "violation")) << r.out;
}

}  // namespace

// ---- what the device and the port monitor can be told ----

// Lines that would play as something else than they say are refused before anything plays;
// a scripted answer or fault that nothing used is named with its line at the end.
TEST(ScenarioChecks, SilentAcceptanceIsRefusedOrNoted)
{
    EXPECT_EQ(ParseError("printer \"a\\0b\" port USB001\n"),
              "1: the printer name must not contain NUL (\\0 or \\x00)");
    EXPECT_EQ(ParseError("printer \"\\x00\" port USB001\n"),
              "1: the printer name must not contain NUL (\\0 or \\x00)");
    EXPECT_EQ(ParseError(kPrinter + "expect vuelog PORTNAM none\n"),
              "4: expect vuelog: \"PORTNAM\" is not a key the monitor writes (MODELNAME, DRVNAME, "
              "PRNNAME, PORTNAME)");
    EXPECT_EQ(ParseError(kPrinter + "expect vuelog portname \"USB001\"\n"), "");

    Result r = Play(kPrinter + "answer retry\nstart-doc\nwrite-fails 3\nwrite \"x\"\nend-doc\nclose\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "unused: line 4 \"answer retry\": no prompt came after it\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "unused: line 6 \"write-fails 3\": 2 of its 3 write answers were never used: no write "
                           "came for them\n"))
        << r.out;
}

// One code page rule: scenario text is UTF-8, the monitor gets it in the ANSI code page
// (1251 unless the scenario says `codepage 1252`), raw \x bytes are ANSI bytes, and what
// the monitor wrote reads as UTF-8 again in the timeline and JSON.
TEST(ScenarioText, OneAnsiCodePage)
{
    std::string jobs = "open\nstart-doc\nwrite \"x\"\nend-doc\nwait 100\nclose\n";
    std::string raw = "printer \"\\xcf\\xf0\\xe8\\xed\\xf2\\xe5\\xf0\" port USB001\n"
                      "device USB001 code 42632 model \"\\xcf\\xf0\\xe8\"\n";
    Result ansi = Play(raw + jobs);
    EXPECT_EQ(ansi.status, 0) << ansi.err;
    EXPECT_TRUE(Has(ansi.out, "StartDocPort(USB001, \"Принтер\", job 1")) << ansi.out;
    Result utf8 = Play("printer \"Принтер\" port USB001\ndevice USB001 code 42632 model \"При\"\n" + jobs);
    EXPECT_EQ(utf8.out.substr(utf8.out.find("StartDocPort")), ansi.out.substr(ansi.out.find("StartDocPort")));
    Result json = kvtest::RunProgram({KVMON_SIM_PATH, "run", "-", "--json"}, raw + jobs,
                                     {"KVMON_SHM_NAMESPACE=kvscen" + std::to_string(getpid())});
    EXPECT_TRUE(Has(json.out, "\"MODELNAME\":\"Kestravon При\"")) << json.out;
    EXPECT_TRUE(Has(json.out, "\"printer\":\"Принтер\"")) << json.out;

    Result western = Play("codepage 1252\nprinter \"Prïnter\" port USB001\ndevice USB001 code 63400\n" + jobs);
    EXPECT_TRUE(Has(western.out, "OpenPortEx(\"USB001\", \"Prïnter\")")) << western.out;
    EXPECT_TRUE(Has(ParseError("codepage 1252\nprinter \"Принтер\" port USB001\n"),
                    "2: \"Принтер\" has a character that code page 1252 lacks"));
    EXPECT_EQ(ParseError("printer P port USB001\ncodepage 1252\n"), "2: codepage: it comes before every other line");
}

TEST(ScenarioDevice, QueryErrorsAreNamedOrNumberedAndReachTheTimeline)
{
    kvtools::Scenario s;
    std::string error;
    ASSERT_TRUE(kvtools::ParseScenario(kPrinter + "device USB001 query-error ERROR_GEN_FAILURE\n"
                                                  "device usb001 query-error 0x48F\n",
                                       "t", &s, &error))
        << error;
    ASSERT_EQ(s.commands.size(), 5u);
    EXPECT_EQ(std::get<kvtools::cmd::DeviceNoAnswer>(s.commands[3].args).error, 31u);
    EXPECT_EQ(std::get<kvtools::cmd::DeviceNoAnswer>(s.commands[4].args).error, 1167u);
    EXPECT_EQ(s.commands[4].port, "usb001");

    struct Case {
        std::string line;
        std::string error;
    } cases[] = {
        {"device USB001 query-error", "4: device: write 'device PORT query-error ERROR' (a Win32 error: a number or a "
                                      "name such as ERROR_GEN_FAILURE)"},
        {"device USB001 query-error ERROR_GEN_FAILUR", "4: device: the error name \"ERROR_GEN_FAILUR\" is not known "
                                                       "(give its number)"},
        {"device USB001 query-error 0", "4: the error 0 is out of range (1 to 4294967295)"},
        {"device USB001 query-error \"31\"", "4: the error must be a number, not \"31\""},
        {"write-partial", "4: write-partial: missing argument"},
        {"write-partial 0", "4: the bytes taken 0 is out of range (1 to 1048576)"},
        {"write-partial 4 2 1", "4: write-partial: unexpected \"1\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseError(kPrinter + c.line + "\n"), c.error) << c.line;

    Result r = Play(kPrinter + "start-doc\ndevice USB001 query-error 31\nwrite-fails\nwrite 1\nwait 100\n"
                               "expect status OFFLINE\nend-doc\nclose\n");
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_TRUE(Has(r.out, "query USB001 control 0x0016000C (USB): FALSE, error 31 ERROR_GEN_FAILURE\n"
                           "      0  poll USB001    no-answer USB001: the device did not answer: code 901, printer offline"))
        << r.out;
}

TEST(ScenarioDevice, ASlowDeviceAnswersItsQueriesThatManyMillisecondsLater)
{
    EXPECT_EQ(ParseError(kPrinter + "device USB001 slow\n"),
              "4: device: write 'device PORT slow MS' (0 ms: answers at once)");
    // The first query runs inside StartDocPort at 0 ms; the second after end-doc wakes the
    // thread at 1250 ms, after slow 0.
    Result r = Play(kPrinter + "device USB001 slow 1250\nstart-doc\ndevice USB001 slow 0\nend-doc\nwait 100\nclose\n");
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_TRUE(Has(r.out, "   1250  spooler        query USB001 control 0x0016000C (USB): TRUE")) << r.out;
    EXPECT_TRUE(Has(r.out, "   1250  spooler      StartDocPort = TRUE")) << r.out;
    EXPECT_TRUE(Has(r.out, "   1250  poll USB001    query USB001 control 0x0016000C (USB): TRUE")) << r.out;
}

TEST(ScenarioDevice, PartWrittenBuffersAreWrittenOnAndTheMonitorPassesEachCountOn)
{
    Result r = Play(kPrinter + "start-doc\nwrite-partial 3 2\nwrite \"abcdefgh\"\nexpect received \"abcdefgh\"\n"
                               "end-doc\nclose\n");
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    std::string write = LinePlayed(r.out, 6);
    const char* calls[] = {
        "WritePort(USB001, 8 bytes \"abcdefgh\") = TRUE, 3 written",
        "spooler: 3 of 8 bytes taken, the other 5 written again",
        "WritePort(USB001, 5 bytes \"defgh\") = TRUE, 3 written",
        "spooler: 3 of 5 bytes taken, the other 2 written again",
        "WritePort(USB001, 2 bytes \"gh\") = TRUE, 2 written",
    };
    size_t at = 0;
    for (const char* call : calls) {
        size_t found = write.find(call, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << call << "\n" << write;
        at = found;
    }
    // A part write gets through: it clears the status the polling set.
    Result jam = Play(kPrinter + "start-doc\ndevice USB001 code 42632\nwrite-fails\nwrite 10\nwait 100\n"
                                 "expect status PAPER_JAM | USER_INTERVENTION\nwrite-partial 1\nwrite 10\n"
                                 "expect status none\nexpect received 10\nend-doc\nclose\n");
    EXPECT_EQ(jam.status, 0) << jam.err << jam.out;
}

// ---- the companion's folder ----

TEST(ScenarioCompanion, WritesToAMissingOrReadOnlyFolderFailAndTheBroadcastStillGoesOut)
{
    EXPECT_EQ(ParseError("companion gone\n"), "1: companion takes ok, missing or read-only, not \"gone\"");
    EXPECT_EQ(ParseError("companion\n"), "1: companion: missing argument");

    for (const char* state : {"missing", "read-only"}) {
        Result r = Play(std::string("companion ") + state + "\n" + kPrinter +
                        "start-doc\nexpect vuelog PORTNAME none\nexpect broadcasts 1\nend-doc\ncompanion ok\n"
                        "device USB001 code 40401\nwait 3000\nexpect vuelog PORTNAME \"USB001\"\nclose\n");
        ASSERT_EQ(r.status, 0) << state << "\n" << r.err << r.out;
        std::string start = LinePlayed(r.out, 5);
        EXPECT_TRUE(Has(start, "vuelog.err [DEVICE] MODELNAME not written DRVNAME not written PRNNAME not written "
                               "PORTNAME not written"))
            << state << "\n" << start;
        EXPECT_TRUE(Has(start, "broadcast \"QRT command message\"")) << state << "\n" << start;
        // Nothing of the temporary folder reaches the timeline.
        EXPECT_FALSE(Has(r.out, "/dev/shm")) << r.out;
        EXPECT_FALSE(Has(r.out, "/tmp/")) << r.out;
    }
}

// ---- printers sharing a port ----

TEST(ScenarioSharedPort, StatusBitsGoToThePrinterOfTheDocumentOnThePort)
{
    const std::string two = "printer A port USB001\nprinter B port usb001\ndevice USB001 code 63400\n";
    EXPECT_EQ(ParseError(two + "printer a port USB002\n"), "4: printer \"a\" is declared twice");
    EXPECT_EQ(ParseError(two + "device USB01 empty\n"),
              "4: device: no printer is declared on port USB01 (ports with a printer: USB001)");

    // Printed through A, then B; the jam during B's job is B's, A keeps nothing.
    Result r = Play(two + "select A\nopen\nstart-doc\nwrite 1\nend-doc\nwait 3000\nselect B\nstart-doc\n"
                          "device USB001 code 42632\nwrite-fails\nwrite 1\nwait 500\nexpect status PAPER_JAM | "
                          "USER_INTERVENTION\nselect A\nexpect status none\nselect B\nend-doc\nselect A\nstart-doc\n"
                          "expect status none\nselect B\nexpect status none\nend-doc\nclose\n");
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_TRUE(Has(r.out, "SetPrinterA(\"B\", status 0x00100008 PAPER_JAM | USER_INTERVENTION) = TRUE")) << r.out;
    EXPECT_FALSE(Has(r.out, "SetPrinterA(\"A\", status 0x00100008")) << r.out;
    // One OpenPortEx serves both printers; each StartDocPort names its own.
    EXPECT_TRUE(Has(r.out, "StartDocPort(USB001, \"B\", job 2,")) << r.out;
    EXPECT_EQ(r.out.find("OpenPortEx", r.out.find("OpenPortEx") + 1), std::string::npos) << r.out;
}

TEST(ScenarioDevice, MiscountedWritesAreShownAndTheMonitorPassesTheCountOnUnchanged)
{
    EXPECT_EQ(ParseError(kPrinter + "write-miscount\n"), "4: write-miscount: missing argument");
    EXPECT_EQ(ParseError(kPrinter + "write-miscount x\n"),
              "4: the count reported must be a number, not \"x\": a number is decimal digits, or 0x and "
              "hexadecimal digits");
    EXPECT_EQ(ParseError(kPrinter + "write-miscount 1 0\n"), "4: the count 0 is out of range (1 to 1000)");

    // Reported 1 of 4 taken: the rest is written again and reaches the device twice; the run
    // holds, since the monitor passed the port monitor's count on.
    Result r = Play(kPrinter + "start-doc\nwrite-miscount 1\nwrite \"abcd\"\nexpect received \"abcdbcd\"\n"
                               "write-miscount 0\nwrite \"e\"\nend-doc\nclose\n");
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    std::string write = LinePlayed(r.out, 6);
    EXPECT_TRUE(Has(write, "port monitor WritePort took 4 of 4 bytes and reported 1 written\n"
                           "      0  spooler      WritePort = TRUE, 1 written\n"))
        << write;
    EXPECT_TRUE(Has(LinePlayed(r.out, 9), "took 1 of 1 bytes and reported 0 written")) << r.out;
}

// ---- run --json against docs/schema/run.schema.json ----

TEST(ScenarioNumbers, OneSyntaxWithTheOptionsAndAZeroByteWriteEitherWay)
{
    // No sign, no leading zero (which C reads as octal); hexadecimal only after 0x.
    EXPECT_EQ(ParseError(kPrinter + "wait +5\n"), "4: the time must be a number, not \"+5\": a number takes no sign");
    EXPECT_EQ(ParseError(kPrinter + "wait 010\n"), "4: the time must be a number, not \"010\": a leading zero is "
                                                   "ambiguous: write the number without it, or 0x for hexadecimal");
    EXPECT_EQ(ParseError(kPrinter + "expect status 0x0080\nwait 0x10\n"), "");
    // "write 0" and "write \"\"" both play a write of no bytes.
    Result r = Play(kPrinter + "start-doc\nwrite 0\nwrite \"\"\nend-doc\nclose\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(LinePlayed(r.out, 5), "WritePort(USB001, 0 bytes \"\")")) << r.out;
    EXPECT_TRUE(Has(LinePlayed(r.out, 6), "WritePort(USB001, 0 bytes \"\")")) << r.out;
}

TEST(RunJson, EveryExampleAndTheMarksValidateAgainstTheSchema)
{
    for (const std::string& name : kvtest::ExampleNames(KVMON_EXAMPLES_DIR)) {
        Result r = kvtest::RunProgram({KVMON_SIM_PATH, "run", "--json",
                                       std::string(KVMON_EXAMPLES_DIR) + "/" + name + ".scn"});
        ASSERT_TRUE(r.status == 0 || r.status == 1) << name << "\n" << r.err;
        EXPECT_EQ(kvtest::ValidateJson(KVMON_SOURCE_DIR, "run", r.out, true), "") << name;
    }
    // A Cyrillic printer name, a misuse mark, a miscounted write and a failed expect.
    Result r = kvtest::RunProgram({KVMON_SIM_PATH, "run", "--json", "-"},
                                  "printer \"\xd0\x9f\xd1\x80\xd0\xb8\xd0\xbd\xd1\x82\xd0\xb5\xd1\x80\" port USB001\n"
                                  "device USB001 code 63400\nopen\nstart-doc\nwrite-miscount 0\nwrite 5\nclose\n"
                                  "expect prompts 9\n",
                                  {"KVMON_SHM_NAMESPACE=kvscenjson" + std::to_string(getpid())});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(Has(r.out, "\"event\":\"misuse\",")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"event\":\"violation\",")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"printer\":\"\xd0\x9f\xd1\x80\xd0\xb8\xd0\xbd\xd1\x82\xd0\xb5\xd1\x80\"")) << r.out;
    EXPECT_EQ(kvtest::ValidateJson(KVMON_SOURCE_DIR, "run", r.out, true), "");
}
