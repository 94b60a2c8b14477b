// The simulated spooler's enumerations: EnumPrintersA, EnumPortsA and EnumJobsA, with the
// size-probe contract of the real ones.
#include "spooler.h"

#include "simcommon.h"
#include "spoolanswer.h"

namespace sim {

using namespace answer;

BOOL Spooler::EnumPrintersA(DWORD flags, LPSTR name, DWORD level, LPBYTE buf, DWORD cbBuf, LPDWORD pcbNeeded,
                           LPDWORD pcReturned)
{
    std::string args = "flags " + Num(flags) + ", " + Quote(name) + ", level " + Num(level) + ", cbBuf " + Num(cbBuf);
    BOOL result = FALSE;
    DWORD error = 0;
    {
        Lock lock(cs_);
        if (Injected("EnumPrintersA", pcbNeeded, pcReturned, &result)) {
            error = GetLastError();
        } else if (!pcbNeeded || !pcReturned) {
            error = ERROR_INVALID_PARAMETER;
        } else if (name && *name) {
            error = ERROR_INVALID_NAME;
        } else if (level != 2) {
            error = kErrorInvalidLevel;
        } else {
            Answer a(sizeof(PRINTER_INFO_2A));
            if (flags & PRINTER_ENUM_LOCAL) {
                for (const auto& p : printers_) {
                    auto* r = reinterpret_cast<PRINTER_INFO_2A*>(a.Add());
                    r->Attributes = kPrinterAttributeLocal;
                    r->Priority = 1;
                    r->DefaultPriority = 1;
                    r->Status = p.status;
                    r->cJobs = static_cast<DWORD>(p.jobs.size());
                    a.String(offsetof(PRINTER_INFO_2A, pPrinterName), p.name);
                    a.String(offsetof(PRINTER_INFO_2A, pShareName), std::string());
                    a.String(offsetof(PRINTER_INFO_2A, pPortName), p.port);
                    a.String(offsetof(PRINTER_INFO_2A, pDriverName), p.driver);
                    a.String(offsetof(PRINTER_INFO_2A, pComment), std::string());
                    a.String(offsetof(PRINTER_INFO_2A, pLocation), std::string());
                    a.String(offsetof(PRINTER_INFO_2A, pPrintProcessor), std::string("WinPrint"));
                    a.String(offsetof(PRINTER_INFO_2A, pDatatype), std::string(kDatatype));
                }
            }
            result = Deliver(a, buf, cbBuf, pcbNeeded, pcReturned, &error);
        }
        if (pcbNeeded) args += " -> needed " + Num(*pcbNeeded);
        if (pcReturned) args += ", returned " + Num(*pcReturned);
    }
    return Finish("EnumPrintersA", args, result, error);
}

BOOL Spooler::EnumPortsA(LPSTR name, DWORD level, LPBYTE buf, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned)
{
    std::string args = Quote(name) + ", level " + Num(level) + ", cbBuf " + Num(cbBuf);
    BOOL result = FALSE;
    DWORD error = 0;
    {
        Lock lock(cs_);
        if (Injected("EnumPortsA", pcbNeeded, pcReturned, &result)) {
            error = GetLastError();
        } else if (!pcbNeeded || !pcReturned) {
            error = ERROR_INVALID_PARAMETER;
        } else if (name && *name) {
            error = ERROR_INVALID_NAME;
        } else if (level != 2) {
            error = kErrorInvalidLevel;
        } else {
            Answer a(sizeof(PORT_INFO_2A));
            for (const auto& port : ports_) {
                auto* r = reinterpret_cast<PORT_INFO_2A*>(a.Add());
                r->fPortType = kPortTypeReadWrite;
                a.String(offsetof(PORT_INFO_2A, pPortName), port.name);
                a.String(offsetof(PORT_INFO_2A, pMonitorName), std::string(kPortMonitorName));
                a.String(offsetof(PORT_INFO_2A, pDescription), port.description);
            }
            result = Deliver(a, buf, cbBuf, pcbNeeded, pcReturned, &error);
        }
        if (pcbNeeded) args += " -> needed " + Num(*pcbNeeded);
        if (pcReturned) args += ", returned " + Num(*pcReturned);
    }
    return Finish("EnumPortsA", args, result, error);
}

BOOL Spooler::EnumJobsA(HANDLE h, DWORD firstJob, DWORD noJobs, DWORD level, LPBYTE buf, DWORD cbBuf,
                       LPDWORD pcbNeeded, LPDWORD pcReturned)
{
    std::string args = HandleText(h) + ", first " + Num(firstJob) + ", count " + Num(noJobs) + ", level " +
                       Num(level) + ", cbBuf " + Num(cbBuf);
    BOOL result = FALSE;
    DWORD error = 0;
    {
        Lock lock(cs_);
        Printer* p = FromHandle(h);
        if (Injected("EnumJobsA", pcbNeeded, pcReturned, &result)) {
            error = GetLastError();
        } else if (!pcbNeeded || !pcReturned) {
            error = ERROR_INVALID_PARAMETER;
        } else if (!p) {
            error = ERROR_INVALID_HANDLE;
        } else if (level != 1) {
            error = kErrorInvalidLevel;
        } else {
            Answer a(sizeof(JOB_INFO_1A));
            for (size_t i = firstJob; i < p->jobs.size() && i - firstJob < noJobs; ++i) {
                auto* r = reinterpret_cast<JOB_INFO_1A*>(a.Add());
                r->JobId = p->jobs[i].id;
                r->Priority = 1;
                r->Position = static_cast<DWORD>(i + 1);
                r->TotalPages = 1;
                a.String(offsetof(JOB_INFO_1A, pPrinterName), p->name);
                a.String(offsetof(JOB_INFO_1A, pMachineName), std::string(kMachine));
                a.String(offsetof(JOB_INFO_1A, pUserName), std::string(kUser));
                a.String(offsetof(JOB_INFO_1A, pDocument), p->jobs[i].document);
                a.String(offsetof(JOB_INFO_1A, pDatatype), std::string(kDatatype));
                a.String(offsetof(JOB_INFO_1A, pStatus), std::nullopt);
            }
            result = Deliver(a, buf, cbBuf, pcbNeeded, pcReturned, &error);
        }
        if (pcbNeeded) args += " -> needed " + Num(*pcbNeeded);
        if (pcReturned) args += ", returned " + Num(*pcReturned);
    }
    return Finish("EnumJobsA", args, result, error);
}

}  // namespace sim
