// Scenario files of kvmon-sim: one command per line, '#' starts a comment, words are
// separated by blanks, "double quotes" hold text with C escapes. The whole file is parsed
// and checked before anything plays.
#ifndef KVMON_TOOLS_SCENARIO_H
#define KVMON_TOOLS_SCENARIO_H

#include <string>
#include <vector>

#include "expect.h"

namespace kvtools {

enum class Op {
    ReadCycle,      // read-cycle MS
    Statovue,       // statovue on|off
    Printer,        // printer NAME port PORT [driver NAME] [monitor NAME|none] [ecp]
    Select,         // select PRINTER
    DeviceAnswer,   // device PORT answer "TEXT"
    DeviceCode,     // device PORT code N [raw] [maker TEXT] [model TEXT]
    DeviceNoAnswer, // device PORT no-answer
    DeviceEmpty,    // device PORT empty
    DeviceSlow,     // device PORT slow MS
    Open,           // open
    StartDoc,       // start-doc ["DOCUMENT"]
    StartFails,     // start-fails [N]
    Answer,         // answer retry|cancel
    Write,          // write "BYTES" | write N
    WriteFails,     // write-fails [N] [zero]
    EndDoc,         // end-doc
    Close,          // close
    Wait,           // wait MS
    StatusRequest,  // status-request
    Rename,         // rename NEWNAME
    DeletePrinter,  // delete-printer
    AddPrinter,     // add-printer
    QueueJob,       // queue-job ["DOCUMENT"]
    ClearJobs,      // clear-jobs
    Expect,         // expect FIELD VALUE (expect.h)
};

struct Command {
    int line = 0;
    Op op = Op::Wait;
    std::string source;  // the line as written, without its comment
    // Resolved when parsed: the printer and port the command acts on.
    std::string printer;
    std::string port;
    // Arguments; which ones are used depends on op.
    std::string text;    // bytes, document name, answer, new name, maker
    std::string text2;   // model (device code), driver (printer)
    std::string text3;   // monitor (printer)
    bool flag = false;   // raw (device code), zero (write-fails), ecp (printer), on (statovue)
    bool flag2 = false;  // monitor given as "none" (printer); text given (write, start-doc)
    unsigned long number = 0;  // ms, code, count, byte count
    Expectation expect;        // expect
};

struct Scenario {
    std::string name;  // file name, or "default"
    std::vector<Command> commands;
};

// Parses a whole scenario. false with *error = "LINE: message" on the first problem.
bool ParseScenario(const std::string& text, const std::string& name, Scenario* out, std::string* error);

// The scenario played when none is named (the text of examples/default.scn).
extern const char* const kDefaultScenario;

}  // namespace kvtools

#endif  // KVMON_TOOLS_SCENARIO_H
