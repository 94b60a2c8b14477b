// kvmon-sim: plays scenarios against the monitor with the simulated spooler, port monitor
// and printers, one schedule or many (simcli.cpp); decodes single device ID replies;
// prints the status code table.
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "decode_cmd.h"
#include "devstatus.h"
#include "kvmon_version.h"
#include "scenario.h"
#include "gencli.h"
#include "shrinkcli.h"
#include "simcli.h"

namespace {

const char kOtherUsage[] =
    "       kvmon-sim decode [--json] [--raw] \"DEVICE ID\" | --file PATH | -\n"
    "       kvmon-sim codes [--json]\n"
    "       kvmon-sim --version\n"
    "'kvmon-sim COMMAND --help' describes a command.\n";

// One line on standard error, exit 2.
int Usage(const std::string& message)
{
    std::cerr << "kvmon-sim: " << message << " (kvmon-sim --help)\n";
    return kvtools::kExitUsage;
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
    if (command == "generate")
        return kvtools::GenerateCommand(args);
    if (command == "shrink")
        return kvtools::ShrinkCommand(args);
    if (command == "decode")
        return kvtools::DecodeCommand(args, std::cin, std::cout, std::cerr);
    if (command == "codes")
        return kvtools::CodesCommand(args, std::cout, std::cerr);
    if (command == "help" || command == "--help" || command == "-h") {
        std::cout << kvtools::kRunUsage << kOtherUsage;
        return kvtools::kExitOk;
    }
    if (command == "--version") {
        std::cout << "kvmon-sim " KVMON_VERSION_STRING "\n";
        return kvtools::kExitOk;
    }
    return Usage("unknown command \"" + command + "\"");
}
