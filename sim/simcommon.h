// Small helpers shared by the simulated spooler and the simulated port monitor.
#ifndef KVMON_SIM_SIMCOMMON_H
#define KVMON_SIM_SIMCOMMON_H

#include <windows.h>

#include <string>

namespace sim {

// One counter for the spooler's history and the port monitor's call log, so that a test
// can order a SetPrinterA against an EndDocPort. Starts at 1; never returns 0.
DWORD NextSequence();
// The last number handed out, read without a scheduling point: for observers that run
// inside the monitor's own code, where a scheduling point of their own, or a change of the
// counter under NextSequence, would change the schedule.
DWORD CurrentSequence();

// Printer and port names compare without case (ASCII folding).
bool SameName(const std::string& a, const std::string& b);
std::string FoldName(const std::string& name);

// "NULL" for a null string, otherwise the text in double quotes (for timelines).
std::string Quote(const char* s);
std::string HandleText(HANDLE h);
std::string Hex(UINT_PTR value);  // "0x1f"

// Holds a critical section for one scope.
class Lock {
public:
    explicit Lock(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
    ~Lock() { LeaveCriticalSection(&cs_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    CRITICAL_SECTION& cs_;
};

}  // namespace sim

#endif  // KVMON_SIM_SIMCOMMON_H
