// Parser of kvmon-sim scenario files.
#include "scenario.h"

#include <cstdlib>
#include <map>
#include <set>

#include "devstatus.h"

namespace kvtools {

namespace {

struct Token {
    std::string text;
    bool quoted = false;
};

std::string Fold(const std::string& s)
{
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

class LineError {
public:
    explicit LineError(std::string m) : message(std::move(m)) {}
    std::string message;
};

// Splits one line into words and quoted strings; drops the comment.
std::vector<Token> Tokenize(const std::string& line, std::string* source)
{
    std::vector<Token> tokens;
    size_t i = 0;
    size_t end = line.size();
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            i++;
            continue;
        }
        if (c == '#') {
            end = i;
            break;
        }
        Token t;
        if (c == '"') {
            std::string raw;
            size_t j = i + 1;
            bool closed = false;
            for (; j < line.size(); j++) {
                if (line[j] == '\\' && j + 1 < line.size()) {
                    raw += line[j];
                    raw += line[++j];
                } else if (line[j] == '"') {
                    closed = true;
                    break;
                } else {
                    raw += line[j];
                }
            }
            if (!closed)
                throw LineError("unterminated string (a '\"' is missing)");
            std::string error;
            if (!Unescape(raw, &t.text, &error))
                throw LineError("bad string: " + error);
            t.quoted = true;
            i = j + 1;
            if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#')
                throw LineError("a blank is needed after a string");
        } else {
            size_t j = i;
            while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r' && line[j] != '#' &&
                   line[j] != '"')
                j++;
            t.text = line.substr(i, j - i);
            i = j;
        }
        tokens.push_back(t);
    }
    size_t first = line.find_first_not_of(" \t");
    *source = first == std::string::npos || first >= end ? std::string() : line.substr(first, end - first);
    while (!source->empty() && (source->back() == ' ' || source->back() == '\t' || source->back() == '\r'))
        source->pop_back();
    return tokens;
}

unsigned long Number(const Token& t, const char* what, unsigned long min, unsigned long max)
{
    if (t.quoted || t.text.empty())
        throw LineError(std::string(what) + " must be a number, not \"" + t.text + "\"");
    char* end = nullptr;
    int base = t.text.size() > 2 && t.text[0] == '0' && (t.text[1] == 'x' || t.text[1] == 'X') ? 16 : 10;
    unsigned long v = std::strtoul(t.text.c_str(), &end, base);
    if (*end != '\0' || t.text[0] == '-')
        throw LineError(std::string(what) + " must be a number, not \"" + t.text + "\"");
    if (v < min || v > max)
        throw LineError(std::string(what) + " " + t.text + " is out of range (" + std::to_string(min) + " to " +
                        std::to_string(max) + ")");
    return v;
}

// A name: a word or a quoted string, not empty.
std::string Name(const Token& t, const char* what)
{
    if (t.text.empty())
        throw LineError(std::string(what) + " must not be empty");
    return t.text;
}

bool Is(const Token& t, const char* word)
{
    return !t.quoted && t.text == word;
}

struct PrinterState {
    std::string name;
    std::string port;
    bool deleted = false;
};

class Parser {
public:
    Scenario* out;

    void ParseLine(int number, const std::string& line)
    {
        Command cmd;
        cmd.line = number;
        std::vector<Token> t = Tokenize(line, &cmd.source);
        if (t.empty())
            return;
        if (t[0].quoted)
            throw LineError("a line starts with a command, not a string");
        const std::string& word = t[0].text;
        args_ = &t;
        command_ = word;

        if (word == "read-cycle") {
            Arity(2, 2);
            if (opened_)
                throw LineError("read-cycle must come before the first open (the monitor reads it when it starts)");
            if (readCycle_)
                throw LineError("read-cycle is given twice");
            readCycle_ = true;
            cmd.op = Op::ReadCycle;
            cmd.number = Number(t[1], "the interval", 1, 3600000);
        } else if (word == "statovue") {
            Arity(2, 2);
            if (!Is(t[1], "on") && !Is(t[1], "off"))
                throw LineError("statovue takes on or off, not \"" + t[1].text + "\"");
            cmd.op = Op::Statovue;
            cmd.flag = Is(t[1], "on");
        } else if (word == "printer") {
            ParsePrinter(t, cmd);
        } else if (word == "select") {
            Arity(2, 2);
            auto it = printers_.find(Fold(t[1].text));
            if (it == printers_.end())
                throw LineError("no printer \"" + t[1].text + "\" is declared");
            current_ = it->first;
            cmd.op = Op::Select;
            Resolve(cmd);
        } else if (word == "device") {
            ParseDevice(t, cmd);
        } else if (word == "open") {
            Arity(1, 1);
            cmd.op = Op::Open;
            Resolve(cmd);
            opened_ = true;
            open_.insert(Fold(cmd.port));
        } else if (word == "start-doc") {
            Arity(1, 2);
            cmd.op = Op::StartDoc;
            cmd.text = "Document";
            if (t.size() == 2) {
                if (!t[1].quoted)
                    throw LineError("the document name is written in quotes");
                cmd.text = t[1].text;
            }
            RequireOpen(cmd);
        } else if (word == "start-fails") {
            Arity(1, 2);
            cmd.op = Op::StartFails;
            cmd.number = t.size() == 2 ? Number(t[1], "the count", 1, 1000) : 1;
            Resolve(cmd);
        } else if (word == "answer") {
            Arity(2, 2);
            if (!Is(t[1], "retry") && !Is(t[1], "cancel"))
                throw LineError("answer takes retry or cancel, not \"" + t[1].text + "\"");
            cmd.op = Op::Answer;
            cmd.text = t[1].text;
        } else if (word == "write") {
            Arity(2, 2);
            cmd.op = Op::Write;
            if (t[1].quoted) {
                cmd.text = t[1].text;
                cmd.flag2 = true;
            } else {
                cmd.number = Number(t[1], "the byte count", 1, 1 << 20);
            }
            RequireOpen(cmd);
        } else if (word == "write-fails") {
            Arity(1, 3);
            cmd.op = Op::WriteFails;
            cmd.number = 1;
            for (size_t i = 1; i < t.size(); i++) {
                if (Is(t[i], "zero"))
                    cmd.flag = true;
                else
                    cmd.number = Number(t[i], "the count", 1, 1000);
            }
            Resolve(cmd);
        } else if (word == "end-doc") {
            Arity(1, 1);
            cmd.op = Op::EndDoc;
            RequireOpen(cmd);
        } else if (word == "close") {
            Arity(1, 1);
            cmd.op = Op::Close;
            RequireOpen(cmd);
            open_.erase(Fold(cmd.port));
        } else if (word == "wait") {
            Arity(2, 2);
            cmd.op = Op::Wait;
            cmd.number = Number(t[1], "the time", 0, 3600000);
        } else if (word == "status-request") {
            Arity(1, 1);
            cmd.op = Op::StatusRequest;
            RequireOpen(cmd);
        } else if (word == "rename") {
            Arity(2, 2);
            cmd.op = Op::Rename;
            Resolve(cmd);
            cmd.text = Name(t[1], "the new name");
            if (printers_.count(Fold(cmd.text)) != 0)
                throw LineError("a printer \"" + cmd.text + "\" is declared already");
            PrinterState p = printers_[current_];
            printers_.erase(current_);
            p.name = cmd.text;
            current_ = Fold(cmd.text);
            printers_[current_] = p;
        } else if (word == "delete-printer") {
            Arity(1, 1);
            cmd.op = Op::DeletePrinter;
            Resolve(cmd);
            if (printers_[current_].deleted)
                throw LineError("printer \"" + cmd.printer + "\" is deleted already");
            printers_[current_].deleted = true;
        } else if (word == "add-printer") {
            Arity(1, 1);
            cmd.op = Op::AddPrinter;
            Resolve(cmd);
            if (!printers_[current_].deleted)
                throw LineError("printer \"" + cmd.printer + "\" is in the spooler (delete-printer first)");
            printers_[current_].deleted = false;
        } else if (word == "queue-job") {
            Arity(1, 2);
            cmd.op = Op::QueueJob;
            cmd.text = t.size() == 2 ? Name(t[1], "the document name") : "Queued document";
            Resolve(cmd);
        } else if (word == "clear-jobs") {
            Arity(1, 1);
            cmd.op = Op::ClearJobs;
            Resolve(cmd);
        } else if (word == "expect") {
            cmd.op = Op::Expect;
            std::vector<std::pair<std::string, bool>> words;
            for (size_t i = 1; i < t.size(); i++)
                words.emplace_back(t[i].text, t[i].quoted);
            std::string problem = ParseExpectation(words, &cmd.expect);
            if (!problem.empty())
                throw LineError(problem);
            Resolve(cmd);
        } else {
            throw LineError("unknown command \"" + word + "\"");
        }
        out->commands.push_back(cmd);
    }

private:
    const std::vector<Token>* args_ = nullptr;
    std::string command_;
    std::map<std::string, PrinterState> printers_;  // by folded name
    std::set<std::string> ports_;                   // folded port names with a printer
    std::set<std::string> open_;                    // folded port names opened
    std::string current_;
    bool opened_ = false;
    bool readCycle_ = false;

    void Arity(size_t min, size_t max)
    {
        size_t n = args_->size();
        if (n < min)
            throw LineError(command_ + ": missing argument");
        if (n > max)
            throw LineError(command_ + ": unexpected \"" + (*args_)[max].text + "\"");
    }

    void Resolve(Command& cmd)
    {
        if (current_.empty())
            throw LineError(command_ + ": no printer is declared yet (add a line 'printer NAME port PORT' first)");
        cmd.printer = printers_[current_].name;
        cmd.port = printers_[current_].port;
    }

    void RequireOpen(Command& cmd)
    {
        Resolve(cmd);
        if (open_.count(Fold(cmd.port)) == 0)
            throw LineError(command_ + ": port " + cmd.port + " is not open (an 'open' line is missing before it)");
    }

    void ParsePrinter(const std::vector<Token>& t, Command& cmd)
    {
        if (t.size() < 4 || !Is(t[2], "port"))
            throw LineError("printer: write 'printer NAME port PORT [driver NAME] [monitor NAME|none] [ecp]'");
        cmd.op = Op::Printer;
        cmd.printer = Name(t[1], "the printer name");
        cmd.port = Name(t[3], "the port name");
        cmd.text2 = "Kestravon Printer";
        cmd.text3 = "Kestravon Language Monitor";
        for (size_t i = 4; i < t.size(); i++) {
            if (Is(t[i], "ecp")) {
                cmd.flag = true;
            } else if (Is(t[i], "driver") && i + 1 < t.size()) {
                cmd.text2 = Name(t[++i], "the driver name");
            } else if (Is(t[i], "monitor") && i + 1 < t.size()) {
                ++i;
                if (Is(t[i], "none"))
                    cmd.flag2 = true;
                else
                    cmd.text3 = Name(t[i], "the monitor name");
            } else {
                throw LineError("printer: unexpected \"" + t[i].text + "\" (driver NAME, monitor NAME|none, ecp)");
            }
        }
        std::string key = Fold(cmd.printer);
        if (printers_.count(key) != 0)
            throw LineError("printer \"" + cmd.printer + "\" is declared twice");
        if (ports_.count(Fold(cmd.port)) != 0)
            throw LineError("port " + cmd.port + " has a printer already (one printer per port)");
        printers_[key] = PrinterState{cmd.printer, cmd.port, false};
        ports_.insert(Fold(cmd.port));
        current_ = key;
    }

    // "ports with a printer: USB001, USB002", to spot a typo in a port name.
    std::string DeclaredPorts() const
    {
        std::string list;
        for (const auto& p : printers_)
            list += (list.empty() ? "" : ", ") + p.second.port;
        return list.empty() ? "no printer line yet" : "ports with a printer: " + list;
    }

    void ParseDevice(const std::vector<Token>& t, Command& cmd)
    {
        if (t.size() < 3)
            throw LineError("device: write 'device PORT answer \"TEXT\" | code N | no-answer | empty'");
        cmd.port = Name(t[1], "the port name");
        if (ports_.count(Fold(cmd.port)) == 0)
            throw LineError("device: no printer is declared on port " + cmd.port + " (" + DeclaredPorts() + ")");
        const Token& kind = t[2];
        if (Is(kind, "answer")) {
            if (t.size() != 4 || !t[3].quoted)
                throw LineError("device: write 'device PORT answer \"TEXT\"' (the reply in quotes)");
            cmd.op = Op::DeviceAnswer;
            cmd.text = t[3].text;
        } else if (Is(kind, "code")) {
            if (t.size() < 4)
                throw LineError("device: code needs a number");
            cmd.op = Op::DeviceCode;
            cmd.number = Number(t[3], "the status code", 0, 65535);
            cmd.text = "Kestravon";
            cmd.text2 = "ZR-QM4471";
            for (size_t i = 4; i < t.size(); i++) {
                if (Is(t[i], "raw"))
                    cmd.flag = true;
                else if (Is(t[i], "maker") && i + 1 < t.size())
                    cmd.text = t[++i].text;
                else if (Is(t[i], "model") && i + 1 < t.size())
                    cmd.text2 = t[++i].text;
                else
                    throw LineError("device: unexpected \"" + t[i].text + "\" (raw, maker TEXT, model TEXT)");
            }
        } else if (Is(kind, "slow")) {
            if (t.size() != 4)
                throw LineError("device: write 'device PORT slow MS' (0 ms: answers at once)");
            cmd.op = Op::DeviceSlow;
            cmd.number = Number(t[3], "the time", 0, 600000);
        } else if (Is(kind, "no-answer") || Is(kind, "empty")) {
            if (t.size() != 3)
                throw LineError("device: unexpected \"" + t[3].text + "\"");
            cmd.op = Is(kind, "empty") ? Op::DeviceEmpty : Op::DeviceNoAnswer;
        } else {
            throw LineError("device: \"" + kind.text + "\" is none of answer, code, no-answer, empty, slow");
        }
    }
};

}  // namespace

bool ParseScenario(const std::string& text, const std::string& name, Scenario* out, std::string* error)
{
    Scenario result;
    result.name = name;
    Parser parser;
    parser.out = &result;
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
