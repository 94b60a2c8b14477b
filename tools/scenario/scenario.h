// Scenario files of kvmon-sim: one command per line, '#' starts a comment, words are
// separated by blanks, "double quotes" hold text with C escapes. The whole file is parsed
// and checked before anything plays.
//
// Each command is a record of its own with named fields (namespace cmd); a Command holds
// one of them beside what every line has: its number, its text, and the printer and port
// it acts on.
#ifndef KVMON_TOOLS_SCENARIO_H
#define KVMON_TOOLS_SCENARIO_H

#include <windows.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "expect.h"
#include "spooler.h"

namespace kvtools {

namespace cmd {

// read-cycle MS
struct ReadCycle {
    DWORD ms = 0;  // "ReadCycle" stored before the monitor starts
};

// statovue on|off
struct Statovue {
    bool on = false;  // register (on) or remove (off) the companion's folder
};

// companion ok|missing|read-only
struct Companion {
    enum class Folder { Ok, Missing, ReadOnly };
    Folder folder = Folder::Ok;  // the registered folder from this line on
};

// printer NAME port PORT [driver NAME] [monitor NAME|none] [ecp]
struct Printer {
    std::string driver = "Kestravon Printer";  // the printer's driver name
    // The driver's language monitor; unset for "monitor none".
    std::optional<std::string> monitor = std::string("Kestravon Language Monitor");
    bool ecp = false;  // the port's description contains "ECP"
};

// select PRINTER
struct Select {};

// device PORT answer "TEXT"
struct DeviceAnswer {
    std::string reply;  // the exact bytes of every reply
};

// device PORT code N [raw] [maker TEXT] [model TEXT]
struct DeviceCode {
    WORD code = 0;                   // status code carried by the record
    bool raw = false;                // the record as bytes, without "FL1;"
    std::string maker = "Kestravon"; // MFG: field
    std::string model = "ZR-QM4471"; // MDL: field
};

// device PORT no-answer | device PORT query-error ERROR
struct DeviceNoAnswer {
    DWORD error = 21;  // last error of the failed query (ERROR_NOT_READY unless given)
};

// device PORT empty
struct DeviceEmpty {};

// device PORT slow MS
struct DeviceSlow {
    DWORD ms = 0;  // time each query takes inside the port monitor; 0: at once
};

// open
struct Open {};

// start-doc ["DOCUMENT"]
struct StartDoc {
    std::string document = "Document";  // DOC_INFO_1.pDocName of the job
};

// start-fails [N]
struct StartFails {
    unsigned count = 1;  // document starts the port monitor refuses from now on
};

// answer retry|cancel
struct Answer {
    bool retry = false;  // the next prompt's answer: Retry, or Cancel
};

// write "BYTES" | write N
struct Write {
    std::optional<std::string> bytes;  // the bytes as written in quotes; unset: test data
    unsigned long count = 0;           // number of bytes of test data
};

// write-fails [N] [zero]
struct WriteFails {
    unsigned count = 1;  // writes refused by the port monitor from now on
    bool zero = false;   // TRUE with 0 written instead of FALSE
};

// write-partial BYTES [N]
struct WritePartial {
    DWORD most = 0;      // bytes each of those writes takes at most
    unsigned count = 1;  // writes the port monitor takes in part from now on
};

// write-miscount COUNT [N]
struct WriteMiscount {
    DWORD reported = 0;  // count each of those writes reports, whatever it took
    unsigned count = 1;  // writes that take every byte but report `reported`
};

// end-doc
struct EndDoc {};

// close
struct Close {};

// wait MS
struct Wait {
    DWORD ms = 0;  // platform ms to let pass
};

// status-request
struct StatusRequest {};

// rename NEWNAME
struct Rename {
    std::string newName;  // the printer's name from this line on
};

// delete-printer
struct DeletePrinter {};

// add-printer
struct AddPrinter {};

// queue-job ["DOCUMENT"]
struct QueueJob {
    std::string document = "Queued document";  // name of the job put in the queue
};

// clear-jobs
struct ClearJobs {};

// deleted-handles fail|pending|answer
struct DeletedHandles {
    sim::DeletedHandles mode = sim::DeletedHandles::Fail;  // what a deleted printer's handles do from now on
};

// expect FIELD VALUE (expect.h)
struct Expect {
    Expectation what;  // the field and the value it must have
};

}  // namespace cmd

using CommandArgs = std::variant<cmd::ReadCycle, cmd::Statovue, cmd::Companion, cmd::Printer, cmd::Select,
                                 cmd::DeviceAnswer, cmd::DeviceCode, cmd::DeviceNoAnswer, cmd::DeviceEmpty,
                                 cmd::DeviceSlow, cmd::Open, cmd::StartDoc, cmd::StartFails, cmd::Answer, cmd::Write,
                                 cmd::WriteFails, cmd::WritePartial, cmd::WriteMiscount, cmd::EndDoc, cmd::Close, cmd::Wait,
                                 cmd::StatusRequest, cmd::Rename, cmd::DeletePrinter, cmd::AddPrinter, cmd::QueueJob,
                                 cmd::ClearJobs, cmd::DeletedHandles, cmd::Expect>;

struct Command {
    int line = 0;         // line number in the file, from 1
    std::string source;   // the line as written, without its comment
    std::string printer;  // the printer it acts on (for printer: the one declared); "" for none
    std::string port;     // that printer's port, or the port a device line names; "" for none
    CommandArgs args;     // what the command is, with its own fields
};

struct Scenario {
    std::string name;  // file name, or "default"
    unsigned codePage = 1251;  // the simulated system's ANSI code page (its codepage line)
    std::vector<Command> commands;
};

// Parses a whole scenario. false with *error = "LINE: message" on the first problem.
bool ParseScenario(const std::string& text, const std::string& name, Scenario* out, std::string* error);

// The scenario played when none is named (the text of examples/default.scn).
extern const char* const kDefaultScenario;

}  // namespace kvtools

#endif  // KVMON_TOOLS_SCENARIO_H
