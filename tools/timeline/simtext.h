// Text of the timeline's events: results, error names, job commands, message box flags,
// and what the simulated spooler's readable call arguments carry.
#ifndef KVMON_TOOLS_SIMTEXT_H
#define KVMON_TOOLS_SIMTEXT_H

#include <windows.h>

#include <optional>
#include <string>

namespace kvtools {

std::string Q(const std::string& s);  // "text" escaped, cut after 80 characters
std::string ErrorName(DWORD error);   // "ERROR_BUSY", ... or "" when not named
DWORD ErrorCode(const std::string& name);  // ErrorName reversed; 0 for a name it does not give
std::string ResultText(BOOL ok, DWORD error);  // "TRUE" or "FALSE, error 21 ERROR_NOT_READY"
std::string JobCommandName(DWORD command);
std::string BoxFlags(UINT flags);
// Number after `marker` in a call's readable arguments (the simulated spooler's format).
std::optional<unsigned long> NumberAfter(const std::string& args, const std::string& marker);
// The printer name after ' on "' in a call's readable arguments.
std::string PrinterOf(const std::string& args);

}  // namespace kvtools

#endif  // KVMON_TOOLS_SIMTEXT_H
