// kvmon-sim: plays scenarios against the monitor with the simulated spooler, port monitor
// and printers, one schedule or many (simcli.cpp); decodes single device ID replies;
// prints the status code table.
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "devstatus.h"
#include "scenario.h"
#include "simcli.h"

namespace {

const char kOtherUsage[] =
    "       kvmon-sim decode \"DEVICE ID\" | --file PATH | -\n"
    "       kvmon-sim codes\n";

int Usage(const std::string& message)
{
    std::cerr << "kvmon-sim: " << message << '\n' << kvtools::kRunUsage << kOtherUsage;
    return 2;
}

int Decode(const std::vector<std::string>& args)
{
    std::string bytes;
    if (args.size() == 1 && args[0] == "-") {
        if (!kvtools::ReadAll(std::cin, &bytes)) {
            std::cerr << "kvmon-sim: decode: cannot read standard input\n";
            return 2;
        }
    } else if (args.size() == 2 && args[0] == "--file") {
        if (!kvtools::ReadFile(args[1], &bytes)) {
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
        return kvtools::RunCommand(args);
    if (command == "explore")
        return kvtools::ExploreCommand(args);
    if (command == "decode")
        return Decode(args);
    if (command == "codes") {
        if (!args.empty())
            return Usage("codes takes no arguments");
        kvtools::PrintCodeTable(std::cout);
        return 0;
    }
    if (command == "help" || command == "--help" || command == "-h") {
        std::cout << kvtools::kRunUsage << kOtherUsage;
        return 0;
    }
    return Usage("unknown command \"" + command + "\"");
}
