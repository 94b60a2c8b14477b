// Parser of kvmon-sim scenario files: the line loop and what the lines refer to (declared
// printers, the current one, open ports). The words of a line are read by scenlex.cpp,
// the arguments of the longer commands by scenargs.cpp.
#include "scenario.h"

#include <windows.h>

#include <algorithm>

#include <map>
#include <set>

#include "kvplatform.h"
#include "scenargs.h"
#include "scenlex.h"
#include "simcommon.h"

namespace kvtools {

namespace {

// Whether a document is open on a port, as far as the lines so far tell: a start-doc
// opens one unless the port monitor may refuse it (start-fails), which only the run shows.
struct DocState {
    enum class Open { No, Yes, Maybe };
    Open open = Open::No;      // after the line last seen
    int startLine = 0;         // the start-doc of the document open or last open
    int endLine = 0;           // the end-doc or close that ended it; 0 while open
    unsigned failsAhead = 0;   // document starts the port monitor may still refuse
};

// A printer as the lines so far have left it.
struct PrinterState {
    std::string name;      // as declared or renamed
    std::string port;      // its port
    bool deleted = false;  // delete-printer without add-printer since
};

class Parser {
public:
    explicit Parser(Scenario* out) : out_(out) {}

    void ParseLine(int number, const std::string& line)
    {
        Command c;
        c.line = number;
        std::vector<Token> t = Tokenize(line, &c.source);
        if (t.empty())
            return;
        if (t[0].quoted)
            throw LineError{"a line starts with a command, not a string"};
        command_ = t[0].text;
        if (Is(t[0], "codepage")) {
            if (!out_->commands.empty() || seenCodePage_)
                throw LineError{"codepage: it comes before every other line"};
            seenCodePage_ = true;
            return;
        }
        c.args = Args(t, c);
        out_->commands.push_back(std::move(c));
    }

private:
    Scenario* out_;
    std::string command_;                           // the word of the line being parsed
    std::map<std::string, PrinterState> printers_;  // by folded name
    std::map<std::string, std::string> ports_;      // folded port name -> as first declared
    std::set<std::string> open_;                    // folded port names opened
    std::map<std::string, DocState> docs_;          // by folded port name
    std::string current_;                           // folded name of the current printer
    bool opened_ = false;                           // an open line was seen
    bool readCycle_ = false;                        // a read-cycle line was seen
    bool seenCodePage_ = false;                     // the codepage line was seen

    CommandArgs Args(const std::vector<Token>& t, Command& c)
    {
        const std::string& word = t[0].text;
        if (word == "read-cycle")
            return ReadCycle(t);
        if (word == "statovue") {
            Arity(t, 2, 2);
            if (!Is(t[1], "on") && !Is(t[1], "off"))
                throw LineError{"statovue takes on or off, not \"" + t[1].text + "\""};
            return cmd::Statovue{Is(t[1], "on")};
        }
        if (word == "companion") {
            Arity(t, 2, 2);
            if (Is(t[1], "ok"))
                return cmd::Companion{cmd::Companion::Folder::Ok};
            if (Is(t[1], "missing"))
                return cmd::Companion{cmd::Companion::Folder::Missing};
            if (Is(t[1], "read-only"))
                return cmd::Companion{cmd::Companion::Folder::ReadOnly};
            throw LineError{"companion takes ok, missing or read-only, not \"" + t[1].text + "\""};
        }
        if (word == "printer")
            return Printer(t, c);
        if (word == "select") {
            Arity(t, 2, 2);
            auto it = printers_.find(sim::FoldName(t[1].text));
            if (it == printers_.end())
                throw LineError{"no printer \"" + t[1].text + "\" is declared"};
            current_ = it->first;
            Resolve(c);
            return cmd::Select{};
        }
        if (word == "device") {
            CommandArgs args = DeviceArgs(t, [this](const std::string& port) { CheckDevicePort(port); }, &c.port);
            return args;
        }
        if (word == "open") {
            Arity(t, 1, 1);
            Resolve(c);
            opened_ = true;
            open_.insert(sim::FoldName(c.port));
            return cmd::Open{};
        }
        if (word == "start-doc") {
            cmd::StartDoc s = StartDocArgs(t);
            RequireOpen(c);
            DocStarts(c);
            return s;
        }
        if (word == "start-fails") {
            Arity(t, 1, 2);
            cmd::StartFails s;
            if (t.size() == 2)
                s.count = static_cast<unsigned>(Number(t[1], "the count", 1, 1000));
            Resolve(c);
            docs_[sim::FoldName(c.port)].failsAhead = s.count;
            return s;
        }
        if (word == "answer") {
            Arity(t, 2, 2);
            if (!Is(t[1], "retry") && !Is(t[1], "cancel"))
                throw LineError{"answer takes retry or cancel, not \"" + t[1].text + "\""};
            return cmd::Answer{Is(t[1], "retry")};
        }
        if (word == "write") {
            cmd::Write w = WriteArgs(t);
            RequireOpen(c);
            RequireDocument(c);
            return w;
        }
        if (word == "write-fails")
            return Resolved(WriteFailsArgs(t), c);
        if (word == "write-partial")
            return Resolved(WritePartialArgs(t), c);
        if (word == "write-miscount")
            return Resolved(WriteMiscountArgs(t), c);
        if (word == "end-doc") {
            Arity(t, 1, 1);
            RequireOpen(c);
            RequireDocument(c);
            DocEnds(c);
            return cmd::EndDoc{};
        }
        if (word == "close") {
            Arity(t, 1, 1);
            RequireOpen(c);
            open_.erase(sim::FoldName(c.port));
            DocEnds(c);
            return cmd::Close{};
        }
        if (word == "wait") {
            Arity(t, 2, 2);
            return cmd::Wait{static_cast<DWORD>(Number(t[1], "the time", 0, 3600000))};
        }
        if (word == "status-request") {
            Arity(t, 1, 1);
            RequireOpen(c);
            return cmd::StatusRequest{};
        }
        return PrinterChange(t, c);
    }

    CommandArgs PrinterChange(const std::vector<Token>& t, Command& c)
    {
        const std::string& word = t[0].text;
        if (word == "rename") {
            Arity(t, 2, 2);
            Resolve(c);
            cmd::Rename r{Name(t[1], "the new name")};
            if (printers_.count(sim::FoldName(r.newName)) != 0)
                throw LineError{"a printer \"" + r.newName + "\" is declared already"};
            PrinterState p = printers_[current_];
            printers_.erase(current_);
            p.name = r.newName;
            current_ = sim::FoldName(r.newName);
            printers_[current_] = p;
            return r;
        }
        if (word == "delete-printer") {
            Arity(t, 1, 1);
            Resolve(c);
            if (printers_[current_].deleted)
                throw LineError{"printer \"" + c.printer + "\" is deleted already"};
            printers_[current_].deleted = true;
            return cmd::DeletePrinter{};
        }
        if (word == "add-printer") {
            Arity(t, 1, 1);
            Resolve(c);
            if (!printers_[current_].deleted)
                throw LineError{"printer \"" + c.printer + "\" is in the spooler (delete-printer first)"};
            printers_[current_].deleted = false;
            return cmd::AddPrinter{};
        }
        if (word == "queue-job") {
            Arity(t, 1, 2);
            cmd::QueueJob q;
            if (t.size() == 2)
                q.document = Name(t[1], "the document name");
            Resolve(c);
            return q;
        }
        if (word == "clear-jobs") {
            Arity(t, 1, 1);
            Resolve(c);
            return cmd::ClearJobs{};
        }
        if (word == "deleted-handles") {
            Arity(t, 2, 2);
            if (Is(t[1], "fail"))
                return cmd::DeletedHandles{sim::DeletedHandles::Fail};
            if (Is(t[1], "pending"))
                return cmd::DeletedHandles{sim::DeletedHandles::Pending};
            if (Is(t[1], "answer"))
                return cmd::DeletedHandles{sim::DeletedHandles::Answer};
            throw LineError{"deleted-handles takes fail, pending or answer, not \"" + t[1].text + "\""};
        }
        if (word == "expect")
            return Resolved(ExpectArgs(t), c);
        throw LineError{"unknown command \"" + word + "\""};
    }

    cmd::ReadCycle ReadCycle(const std::vector<Token>& t)
    {
        Arity(t, 2, 2);
        if (opened_)
            throw LineError{"read-cycle must come before the first open (the monitor reads it when it starts)"};
        if (readCycle_)
            throw LineError{"read-cycle is given twice"};
        readCycle_ = true;
        return cmd::ReadCycle{static_cast<DWORD>(Number(t[1], "the interval", 1, 3600000))};
    }

    cmd::Printer Printer(const std::vector<Token>& t, Command& c)
    {
        cmd::Printer p = PrinterArgs(t, &c.printer, &c.port);
        std::string key = sim::FoldName(c.printer);
        if (printers_.count(key) != 0)
            throw LineError{"printer \"" + c.printer + "\" is declared twice"};
        // Printers sharing a port name it as the first one did: it is one port.
        c.port = ports_.emplace(sim::FoldName(c.port), c.port).first->second;
        printers_[key] = PrinterState{c.printer, c.port, false};
        current_ = key;
        return p;
    }

    // The arguments, once the line's printer and port are known.
    template <class Args>
    Args Resolved(Args args, Command& c)
    {
        Resolve(c);
        return args;
    }

    void Resolve(Command& c)
    {
        if (current_.empty())
            throw LineError{command_ + ": no printer is declared yet (add a line 'printer NAME port PORT' first)"};
        c.printer = printers_[current_].name;
        c.port = printers_[current_].port;
    }

    void RequireOpen(Command& c)
    {
        Resolve(c);
        if (open_.count(sim::FoldName(c.port)) == 0)
            throw LineError{command_ + ": port " + c.port + " is not open (an 'open' line is missing before it)"};
    }

    // The spooler starts one document at a time on a port.
    void DocStarts(const Command& c)
    {
        DocState& d = docs_[sim::FoldName(c.port)];
        if (d.open == DocState::Open::Yes)
            throw LineError{"start-doc: the document of line " + std::to_string(d.startLine) + " is still open on port " +
                            c.port + " (the spooler starts one document at a time: an 'end-doc' line is missing)"};
        d.open = d.failsAhead != 0 ? DocState::Open::Maybe : DocState::Open::Yes;
        if (d.failsAhead != 0)
            d.failsAhead--;
        d.startLine = c.line;
        d.endLine = 0;
    }

    void DocEnds(const Command& c)
    {
        DocState& d = docs_[sim::FoldName(c.port)];
        if (d.open != DocState::Open::No)
            d.endLine = c.line;
        d.open = DocState::Open::No;
    }

    // The spooler writes and ends documents only between its StartDocPort and EndDocPort.
    void RequireDocument(const Command& c)
    {
        const DocState& d = docs_[sim::FoldName(c.port)];
        if (d.open != DocState::Open::No)
            return;
        std::string why = d.startLine == 0 ? "no 'start-doc' line before it"
                                           : "the document of line " + std::to_string(d.startLine) +
                                                 " was ended at line " + std::to_string(d.endLine);
        throw LineError{command_ + ": no document is open on port " + c.port + " (" + why +
                        "; the spooler " + (command_ == "write" ? "writes" : "ends documents") +
                        " only between start-doc and end-doc)"};
    }

    // "ports with a printer: USB001, USB002", to spot a typo in a port name.
    std::string DeclaredPorts() const
    {
        std::string list;
        std::set<std::string> listed;  // a port shared by printers is named once
        for (const auto& p : printers_) {
            if (listed.insert(sim::FoldName(p.second.port)).second)
                list += (list.empty() ? "" : ", ") + p.second.port;
        }
        return list.empty() ? "no printer line yet" : "ports with a printer: " + list;
    }

    void CheckDevicePort(const std::string& port) const
    {
        if (ports_.count(sim::FoldName(port)) == 0)
            throw LineError{"device: no printer is declared on port " + port + " (" + DeclaredPorts() + ")"};
    }
};

}  // namespace

namespace {

// The code page of a scenario: its first line with a command may be `codepage 1251|1252`;
// 1251 without one. The system's ANSI code page is set to it before the text is read.
UINT CodePageLine(const std::vector<Token>& t)
{
    Arity(t, 2, 2);
    unsigned long cp = Number(t[1], "the code page", 0, 65535);
    if (cp != 1251 && cp != 1252)
        throw LineError{"codepage: 1251 (Cyrillic) or 1252 (Western), not " + t[1].text};
    return static_cast<UINT>(cp);
}

}  // namespace

bool ParseScenario(const std::string& text, const std::string& name, Scenario* out, std::string* error)
{
    Scenario result;
    result.name = name;
    kvplat::SetAnsiCodePage(1251);
    int first = 0;  // the line of the first command
    for (size_t pos = 0; pos <= text.size() && first == 0;) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        size_t word = line.find_first_not_of(" \t\r");
        if (word != std::string::npos && line[word] != '#') {
            first = static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(pos), '\n')) + 1;
            if (line.compare(word, 9, "codepage ") == 0 || line.compare(word, 9, "codepage\t") == 0) {
                try {
                    std::string source;
                    result.codePage = CodePageLine(Tokenize(line, &source));
                } catch (const LineError& e) {
                    *error = std::to_string(first) + ": " + e.message;
                    return false;
                }
                kvplat::SetAnsiCodePage(result.codePage);
            }
        }
        if (nl == std::string::npos)
            break;
        pos = nl + 1;
    }
    Parser parser(&result);
    int number = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        number++;
        try {
            parser.ParseLine(number, line);
        } catch (const LineError& e) {
            *error = std::to_string(number) + ": " + e.message;
            return false;
        }
        if (nl == std::string::npos)
            break;
        pos = nl + 1;
    }
    *out = std::move(result);
    return true;
}

}  // namespace kvtools
