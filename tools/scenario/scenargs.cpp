// Argument parsers of the scenario commands with more than a word of arguments.
#include "scenargs.h"

#include "simtext.h"

namespace kvtools {

cmd::Printer PrinterArgs(const std::vector<Token>& t, std::string* name, std::string* port)
{
    if (t.size() < 4 || !Is(t[2], "port"))
        throw LineError{"printer: write 'printer NAME port PORT [driver NAME] [monitor NAME|none] [ecp]'"};
    cmd::Printer p;
    *name = Name(t[1], "the printer name");
    *port = Name(t[3], "the port name");
    for (size_t i = 4; i < t.size(); i++) {
        if (Is(t[i], "ecp")) {
            p.ecp = true;
        } else if (Is(t[i], "driver") && i + 1 < t.size()) {
            p.driver = Name(t[++i], "the driver name");
        } else if (Is(t[i], "monitor") && i + 1 < t.size()) {
            ++i;
            if (Is(t[i], "none"))
                p.monitor.reset();
            else
                p.monitor = Name(t[i], "the monitor name");
        } else {
            throw LineError{"printer: unexpected \"" + t[i].text + "\" (driver NAME, monitor NAME|none, ecp)"};
        }
    }
    return p;
}

CommandArgs DeviceArgs(const std::vector<Token>& t, const std::function<void(const std::string&)>& checkPort,
                       std::string* port)
{
    if (t.size() < 3)
        throw LineError{"device: write 'device PORT answer \"TEXT\" | code N | no-answer | empty'"};
    *port = Name(t[1], "the port name");
    checkPort(*port);
    const Token& kind = t[2];
    if (Is(kind, "answer")) {
        if (t.size() != 4 || !t[3].quoted)
            throw LineError{"device: write 'device PORT answer \"TEXT\"' (the reply in quotes)"};
        return cmd::DeviceAnswer{t[3].text};
    }
    if (Is(kind, "code")) {
        if (t.size() < 4)
            throw LineError{"device: code needs a number"};
        cmd::DeviceCode d;
        d.code = static_cast<WORD>(Number(t[3], "the status code", 0, 65535));
        for (size_t i = 4; i < t.size(); i++) {
            if (Is(t[i], "raw"))
                d.raw = true;
            else if (Is(t[i], "maker") && i + 1 < t.size())
                d.maker = t[++i].text;
            else if (Is(t[i], "model") && i + 1 < t.size())
                d.model = t[++i].text;
            else
                throw LineError{"device: unexpected \"" + t[i].text + "\" (raw, maker TEXT, model TEXT)"};
        }
        return d;
    }
    if (Is(kind, "slow")) {
        if (t.size() != 4)
            throw LineError{"device: write 'device PORT slow MS' (0 ms: answers at once)"};
        return cmd::DeviceSlow{static_cast<DWORD>(Number(t[3], "the time", 0, 600000))};
    }
    if (Is(kind, "query-error")) {
        if (t.size() != 4)
            throw LineError{"device: write 'device PORT query-error ERROR' (a Win32 error: a number or a name such "
                            "as ERROR_GEN_FAILURE)"};
        DWORD error = t[3].quoted ? 0 : ErrorCode(t[3].text);
        if (error == 0 && t[3].text.rfind("ERROR_", 0) == 0)
            throw LineError{"device: the error name \"" + t[3].text + "\" is not known (give its number)"};
        if (error == 0)
            error = static_cast<DWORD>(Number(t[3], "the error", 1, 0xFFFFFFFFul));
        return cmd::DeviceNoAnswer{error};
    }
    if (Is(kind, "no-answer") || Is(kind, "empty")) {
        if (t.size() != 3)
            throw LineError{"device: unexpected \"" + t[3].text + "\""};
        if (Is(kind, "empty"))
            return cmd::DeviceEmpty{};
        return cmd::DeviceNoAnswer{};
    }
    throw LineError{"device: \"" + kind.text + "\" is none of answer, code, no-answer, query-error, empty, slow"};
}

cmd::StartDoc StartDocArgs(const std::vector<Token>& t)
{
    Arity(t, 1, 2);
    cmd::StartDoc s;
    if (t.size() == 2) {
        if (!t[1].quoted)
            throw LineError{"the document name is written in quotes"};
        if (!t[1].text.empty())
            s.document = Name(t[1], "the document name");
    }
    return s;
}

cmd::Write WriteArgs(const std::vector<Token>& t)
{
    Arity(t, 2, 2);
    cmd::Write w;
    if (t[1].quoted)
        w.bytes = t[1].text;
    else
        w.count = Number(t[1], "the byte count", 0, 1 << 20);
    return w;
}

cmd::WriteFails WriteFailsArgs(const std::vector<Token>& t)
{
    Arity(t, 1, 3);
    cmd::WriteFails w;
    for (size_t i = 1; i < t.size(); i++) {
        if (Is(t[i], "zero"))
            w.zero = true;
        else
            w.count = static_cast<unsigned>(Number(t[i], "the count", 1, 1000));
    }
    return w;
}

cmd::WritePartial WritePartialArgs(const std::vector<Token>& t)
{
    Arity(t, 2, 3);
    cmd::WritePartial w;
    w.most = static_cast<DWORD>(Number(t[1], "the bytes taken", 1, 1 << 20));
    if (t.size() == 3)
        w.count = static_cast<unsigned>(Number(t[2], "the count", 1, 1000));
    return w;
}

cmd::WriteMiscount WriteMiscountArgs(const std::vector<Token>& t)
{
    Arity(t, 2, 3);
    cmd::WriteMiscount w;
    w.reported = static_cast<DWORD>(Number(t[1], "the count reported", 0, 0xFFFFFFFFul));
    if (t.size() == 3)
        w.count = static_cast<unsigned>(Number(t[2], "the count", 1, 1000));
    return w;
}

cmd::Expect ExpectArgs(const std::vector<Token>& t)
{
    std::vector<std::pair<std::string, bool>> words;
    for (size_t i = 1; i < t.size(); i++)
        words.emplace_back(t[i].text, t[i].quoted);
    cmd::Expect e;
    std::string problem = ParseExpectation(words, &e.what);
    if (!problem.empty())
        throw LineError{problem};
    return e;
}

}  // namespace kvtools
