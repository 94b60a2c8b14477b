// kvmon-sim: plays scenarios against the monitor with the simulated spooler, port monitor
// and printers; decodes single device ID replies; prints the status code table.
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "devstatus.h"
#include "scenario.h"
#include "simrun.h"

namespace {

const char kUsage[] =
    "usage: kvmon-sim run [SCENARIO] [--real-time | --speed N] [--json] [--verbose] [--hold MS]\n"
    "                    [--quiet-polls | --all-polls]\n"
    "       kvmon-sim decode \"DEVICE ID\" | --file PATH | -\n"
    "       kvmon-sim codes\n";

int Usage(const std::string& message)
{
    std::cerr << "kvmon-sim: " << message << '\n' << kUsage;
    return 2;
}

bool ReadAll(std::istream& in, std::string* out)
{
    std::ostringstream s;
    s << in.rdbuf();
    *out = s.str();
    return !in.bad();
}

bool ReadFile(const std::string& path, std::string* out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    return ReadAll(in, out);
}

bool ParseCount(const std::string& text, unsigned long max, unsigned long* value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9)
        return false;
    *value = std::stoul(text);
    return *value <= max;
}

int Run(const std::vector<std::string>& args)
{
    kvtools::RunOptions options;
    std::string file;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& a = args[i];
        unsigned long n = 0;
        if (a == "--real-time") {
            options.speed = 1;
        } else if (a == "--json") {
            options.json = true;
        } else if (a == "--verbose") {
            options.verbose = true;
        } else if (a == "--quiet-polls" || a == "--all-polls") {
            options.quietPolls = a == "--quiet-polls";
        } else if (a == "--speed" || a == "--hold") {
            if (i + 1 >= args.size())
                return Usage(a + " needs a number");
            if (!ParseCount(args[++i], a == "--speed" ? 100000 : 86400000, &n) || (a == "--speed" && n == 0))
                return Usage(a + ": \"" + args[i] + "\" is not a valid number");
            (a == "--speed" ? options.speed : options.holdMs) = static_cast<unsigned>(n);
        } else if (!a.empty() && a[0] == '-') {
            return Usage("run: unknown option " + a);
        } else if (!file.empty()) {
            return Usage("run: one scenario at a time (\"" + file + "\" and \"" + a + "\")");
        } else {
            file = a;
        }
    }

    std::string text = kvtools::kDefaultScenario;
    std::string name = "default";
    if (!file.empty()) {
        if (!ReadFile(file, &text)) {
            std::cerr << "kvmon-sim: cannot read scenario " << file << ": " << std::strerror(errno) << '\n';
            return 2;
        }
        name = file;
    }
    kvtools::Scenario scenario;
    std::string error;
    if (!kvtools::ParseScenario(text, name, &scenario, &error)) {
        std::cerr << "kvmon-sim: " << name << ":" << error << '\n';
        return 2;
    }
    return kvtools::RunScenario(scenario, options, std::cout, std::cerr);
}

int Decode(const std::vector<std::string>& args)
{
    std::string bytes;
    if (args.size() == 1 && args[0] == "-") {
        if (!ReadAll(std::cin, &bytes)) {
            std::cerr << "kvmon-sim: decode: cannot read standard input\n";
            return 2;
        }
    } else if (args.size() == 2 && args[0] == "--file") {
        if (!ReadFile(args[1], &bytes)) {
            std::cerr << "kvmon-sim: decode: cannot read " << args[1] << ": " << std::strerror(errno) << '\n';
            return 2;
        }
    } else if (args.size() == 1 && (args[0].empty() || args[0][0] != '-')) {
        std::string error;
        if (!kvtools::Unescape(args[0], &bytes, &error))
            return Usage("decode: " + error + " in the device ID");
    } else {
        return Usage("decode takes one device ID, --file PATH or -");
    }
    kvtools::PrintAnalysis(std::cout, kvtools::AnalyseReply(bytes));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return Usage("a command is needed");
    std::string command = args[0];
    args.erase(args.begin());
    if (command == "run")
        return Run(args);
    if (command == "decode")
        return Decode(args);
    if (command == "codes") {
        if (!args.empty())
            return Usage("codes takes no arguments");
        kvtools::PrintCodeTable(std::cout);
        return 0;
    }
    if (command == "help" || command == "--help" || command == "-h") {
        std::cout << kUsage;
        return 0;
    }
    return Usage("unknown command \"" + command + "\"");
}
