// The status bits a port set on its printer, compared at a step of a deterministic run.
#ifndef KVMON_TOOLS_STEPCHECK_H
#define KVMON_TOOLS_STEPCHECK_H

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace kvtools {

// One open port attached to a printer, as the port's context has it.
struct PortStatus {
    std::string port;     // the port's name
    std::string printer;  // the printer its printer handle is open on
    DWORD held;           // the bits the port set on it (printerStatus)
    DWORD lastCode;       // the code last applied, 0 since StartDocPort
    bool polling;         // a polling thread runs or is to run (PCF_THREAD_RUN)
};

// The bits ApplyStatusCode sets for a code (the offline bit for codes it marks offline).
DWORD CodeBits(DWORD code);

// What is wrong, or "" when the printers show what their ports hold: every attached printer
// shows its port's bits (or nothing once the port let go of it: no polling thread, or a new
// document before its first code), a port holds nothing or its last code's bits, and a
// printer no port is attached to shows nothing. shown: every printer's bits, by name.
std::string StatusBitsProblem(const std::vector<PortStatus>& ports, const std::map<std::string, DWORD>& shown);

}  // namespace kvtools

#endif  // KVMON_TOOLS_STEPCHECK_H
