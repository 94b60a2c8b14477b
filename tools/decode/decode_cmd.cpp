// "kvmon-sim decode" and "kvmon-sim codes".
#include "decode_cmd.h"

#include <iostream>
#include <sstream>

#include "args.h"
#include "cli.h"
#include "devstatus.h"

namespace kvtools {

const char kDecodeUsage[] =
    "usage: kvmon-sim decode [--json] \"DEVICE ID\"\n"
    "       kvmon-sim decode [--json] [--raw] --file PATH    (--file - : standard input)\n"
    "       kvmon-sim decode [--json] [--raw] -          (the reply on standard input)\n"
    "\n"
    "Runs the monitor's recognition and decoding on one device ID reply, as a status query\n"
    "does. The argument takes C escapes (\\n \\t \\\\ \\\" \\0 \\xHH) for binary bytes.\n"
    "From a file or standard input one trailing line ending (\"\\n\" or \"\\r\\n\") is removed,\n"
    "so that a reply saved by an editor or echo decodes like the argument; --raw keeps\n"
    "every byte.\n"
    "\n"
    "  --json   one JSON object (docs/schema/decode.schema.json)\n"
    "  --raw    keep a trailing line ending of --file or - input\n"
    "\n"
    "Exit status: 0 the monitor takes a status code from the reply; 1 it does not (the\n"
    "reply is empty, not recognised or has no \"VSTATUS:\" field; the failed rule is named\n"
    "on standard error); 2 bad arguments or input that cannot be read.\n"
    "--NAME=VALUE is --NAME VALUE; -- ends the options (a reply that begins with '-').\n";

const char kCodesUsage[] =
    "usage: kvmon-sim codes [--json]\n"
    "\n"
    "The monitor's status code table: row, code, status bits, whether the row marks the\n"
    "printer offline, and what the code means for the printer.\n"
    "\n"
    "  --json   one JSON array (docs/schema/codes.schema.json)\n"
    "\n"
    "Exit status: 0; 2 for bad arguments.\n"
    "--NAME=VALUE is --NAME VALUE; -- ends the options.\n";

namespace {

int UsageError(std::ostream& err, const std::string& command, const std::string& message)
{
    err << "kvmon-sim " << command << ": " << message << " (kvmon-sim " << command << " --help)\n";
    return kExitUsage;
}

// The first rule the monitor's handling of the reply failed, or empty when it takes a code.
std::string FailedRule(const Analysis& a)
{
    if (!a.answered)
        return "no answer: an empty reply counts as no answer (code 901, the printer is marked offline)";
    if (!a.recognised)
        return "not recognised: " + a.whyNot;
    if (!a.hasStatusField)
        return "recognised, but no \"VSTATUS:\" field: nothing is published and the status stays as it was";
    return "";
}

}  // namespace

std::string StripLineEnding(std::string* bytes)
{
    size_t n = bytes->size();
    if (n >= 2 && (*bytes)[n - 2] == '\r' && (*bytes)[n - 1] == '\n') {
        bytes->resize(n - 2);
        return "\r\n";
    }
    if (n >= 1 && (*bytes)[n - 1] == '\n') {
        bytes->resize(n - 1);
        return "\n";
    }
    return "";
}

int DecodeCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err)
{
    bool json = false;
    bool raw = false;
    bool fromStdin = false;
    bool haveFile = false;
    bool haveArgument = false;
    std::string file;
    std::string argument;
    ArgReader r{args};
    std::string word;
    while (NextArg(&r, &word)) {
        if (r.option && (word == "--help" || word == "-h")) {
            out << kDecodeUsage;
            return kExitOk;
        } else if (r.option && word == "--json") {
            json = true;
        } else if (r.option && word == "--raw") {
            raw = true;
        } else if (r.option && word != "--file") {
            return UsageError(err, "decode", "unknown option " + word);
        } else if (haveFile || fromStdin || haveArgument) {
            return UsageError(err, "decode", "one reply at a time");
        } else if (r.option) {
            if (!OptionValue(&r, &file))
                return UsageError(err, "decode", "--file needs a path (- for standard input)");
            fromStdin = file == "-";
            haveFile = !fromStdin;
        } else if (word == "-") {
            fromStdin = true;
        } else {
            argument = word;
            haveArgument = true;
        }
    }
    if (!r.error.empty())
        return UsageError(err, "decode", r.error);
    if (!haveFile && !fromStdin && !haveArgument)
        return UsageError(err, "decode", "a device ID, --file PATH or - is needed");
    if (raw && haveArgument)
        return UsageError(err, "decode", "--raw applies to --file and - only; the argument is taken as escaped");

    std::string bytes;
    std::string error;
    if (haveArgument) {
        if (!Unescape(argument, &bytes, &error))
            return UsageError(err, "decode", error + " in the device ID");
    } else if (haveFile) {
        if (!ReadInputFile(file, &bytes, &error)) {
            err << "kvmon-sim decode: cannot read " << file << ": " << error << '\n';
            return kExitUsage;
        }
    } else {
        std::ostringstream s;
        s << in.rdbuf();
        if (in.bad()) {
            err << "kvmon-sim decode: cannot read standard input\n";
            return kExitUsage;
        }
        bytes = s.str();
    }
    if (!haveArgument && !raw)
        StripLineEnding(&bytes);

    Analysis a = AnalyseReply(bytes);
    if (json)
        out << AnalysisJson(a) << '\n';
    else
        PrintAnalysis(out, a);
    std::string failed = FailedRule(a);
    if (failed.empty())
        return kExitOk;
    out.flush();  // the report before the error when both go to one place
    err << "kvmon-sim decode: the monitor takes no status code from this reply: " << failed << '\n';
    return kExitCheckFailed;
}

int CodesCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    bool json = false;
    ArgReader r{args};
    std::string a;
    while (NextArg(&r, &a)) {
        if (r.option && (a == "--help" || a == "-h")) {
            out << kCodesUsage;
            return kExitOk;
        }
        if (!r.option || a != "--json")
            return UsageError(err, "codes", (r.option ? "unknown option " : "unknown argument ") + a);
        json = true;
    }
    if (!r.error.empty())
        return UsageError(err, "codes", r.error);
    if (json)
        out << CodeTableJson() << '\n';
    else
        PrintCodeTable(out);
    return kExitOk;
}

}  // namespace kvtools
