// The simulated spooler's answers to the calls the monitor makes on a printer handle:
// OpenPrinterA, ClosePrinter, GetPrinterA, GetPrinterDriverA, SetPrinterA and SetJobA.
#include "spooler.h"

#include "simcommon.h"
#include "spoolanswer.h"

namespace sim {

using namespace answer;

// Counts the call and applies an injected outcome. Called with the lock held.
bool Spooler::Injected(const char* function, LPDWORD pcbNeeded, LPDWORD pcReturned, BOOL* result)
{
    ++callCounts_[function];
    auto it = injections_.find(function);
    if (it == injections_.end() || it->second.count == 0) return false;
    Injection inj = it->second;
    if (--it->second.count == 0) injections_.erase(it);
    if (pcbNeeded) *pcbNeeded = inj.needed;
    if (pcReturned) *pcReturned = 0;
    *result = inj.result;
    SetLastError(inj.error);
    return true;
}

// Reports the call to the observer (outside the lock) and leaves `error` as the last error
// of a failed call.
BOOL Spooler::Finish(const char* function, const std::string& args, BOOL result, DWORD error, unsigned printer)
{
    SpoolerObserver observer;
    {
        Lock lock(cs_);
        observer = observer_;
    }
    if (observer)
        observer({NextSequence(), function, args, result, result ? 0 : error, GetCurrentThreadId(), printer});
    if (!result) SetLastError(error);
    return result;
}

BOOL Spooler::OpenPrinterA(LPSTR name, LPHANDLE phPrinter, LPPRINTER_DEFAULTSA)
{
    std::string args = Quote(name);
    BOOL result = FALSE;
    DWORD error = 0;
    {
        Lock lock(cs_);
        if (Injected("OpenPrinterA", nullptr, nullptr, &result)) {
            error = GetLastError();
        } else if (!phPrinter) {
            error = ERROR_INVALID_PARAMETER;
        } else if (!name || !*name || !FindPrinter(name)) {
            error = ERROR_INVALID_PRINTER_NAME;
        } else {
            UINT_PTR value = kHandleBase + kHandleStep * nextHandle_++;
            handles_[value] = FindPrinter(name)->id;
            *phPrinter = reinterpret_cast<HANDLE>(value);
            args += " -> " + HandleText(*phPrinter);
            result = TRUE;
        }
    }
    return Finish("OpenPrinterA", args, result, error);
}

BOOL Spooler::ClosePrinter(HANDLE h)
{
    BOOL result = FALSE;
    DWORD error = 0;
    {
        Lock lock(cs_);
        if (Injected("ClosePrinter", nullptr, nullptr, &result)) {
            error = GetLastError();
        } else if (handles_.erase(reinterpret_cast<UINT_PTR>(h)) == 0) {
            error = ERROR_INVALID_HANDLE;
        } else {
            result = TRUE;
        }
    }
    return Finish("ClosePrinter", HandleText(h), result, error);
}

BOOL Spooler::GetPrinterA(HANDLE h, DWORD level, LPBYTE buf, DWORD cbBuf, LPDWORD pcbNeeded)
{
    std::string args = HandleText(h) + ", level " + Num(level) + ", cbBuf " + Num(cbBuf);
    BOOL result = FALSE;
    DWORD error = 0;
    {
        Lock lock(cs_);
        Printer* p = FromHandle(h);
        if (Injected("GetPrinterA", pcbNeeded, nullptr, &result)) {
            error = GetLastError();
        } else if (!pcbNeeded) {
            error = ERROR_INVALID_PARAMETER;
        } else if (!p) {
            error = ERROR_INVALID_HANDLE;
        } else if (level != 2) {
            error = kErrorInvalidLevel;
        } else {
            Answer a(sizeof(PRINTER_INFO_2A));
            auto* r = reinterpret_cast<PRINTER_INFO_2A*>(a.Add());
            r->Attributes = kPrinterAttributeLocal;
            r->Priority = 1;
            r->DefaultPriority = 1;
            r->Status = p->status;
            if (deletedHandles_ == DeletedHandles::Pending && !FindById(p->id))
                r->Status |= PRINTER_STATUS_PENDING_DELETION;
            r->cJobs = static_cast<DWORD>(p->jobs.size());
            a.String(offsetof(PRINTER_INFO_2A, pPrinterName), p->name);
            a.String(offsetof(PRINTER_INFO_2A, pShareName), std::string());
            a.String(offsetof(PRINTER_INFO_2A, pPortName), p->port);
            a.String(offsetof(PRINTER_INFO_2A, pDriverName), p->driver);
            a.String(offsetof(PRINTER_INFO_2A, pComment), std::string());
            a.String(offsetof(PRINTER_INFO_2A, pLocation), std::string());
            a.String(offsetof(PRINTER_INFO_2A, pSepFile), std::string());
            a.String(offsetof(PRINTER_INFO_2A, pPrintProcessor), std::string("WinPrint"));
            a.String(offsetof(PRINTER_INFO_2A, pDatatype), std::string(kDatatype));
            a.String(offsetof(PRINTER_INFO_2A, pParameters), std::string());
            result = Deliver(a, buf, cbBuf, pcbNeeded, nullptr, &error);
        }
        if (pcbNeeded) args += " -> needed " + Num(*pcbNeeded);
    }
    return Finish("GetPrinterA", args, result, error);
}

BOOL Spooler::GetPrinterDriverA(HANDLE h, LPSTR environment, DWORD level, LPBYTE buf, DWORD cbBuf,
                               LPDWORD pcbNeeded)
{
    std::string args =
        HandleText(h) + ", " + Quote(environment) + ", level " + Num(level) + ", cbBuf " + Num(cbBuf);
    BOOL result = FALSE;
    DWORD error = 0;
    {
        Lock lock(cs_);
        Printer* p = FromHandle(h);
        if (Injected("GetPrinterDriverA", pcbNeeded, nullptr, &result)) {
            error = GetLastError();
        } else if (!pcbNeeded) {
            error = ERROR_INVALID_PARAMETER;
        } else if (!p) {
            error = ERROR_INVALID_HANDLE;
        } else if (level != 3) {
            error = kErrorInvalidLevel;
        } else {
            const std::string base = "C:\\WINDOWS\\SYSTEM\\";
            Answer a(sizeof(DRIVER_INFO_3A));
            auto* r = reinterpret_cast<DRIVER_INFO_3A*>(a.Add());
            r->cVersion = 0;
            a.String(offsetof(DRIVER_INFO_3A, pName), p->driver);
            a.String(offsetof(DRIVER_INFO_3A, pEnvironment), std::string(kEnvironment));
            a.String(offsetof(DRIVER_INFO_3A, pDriverPath), base + "KVDRV.DRV");
            a.String(offsetof(DRIVER_INFO_3A, pDataFile), base + "KVDRV.DRV");
            a.String(offsetof(DRIVER_INFO_3A, pConfigFile), base + "KVDRV.DRV");
            a.String(offsetof(DRIVER_INFO_3A, pHelpFile), std::nullopt);
            a.String(offsetof(DRIVER_INFO_3A, pDependentFiles), std::nullopt);
            a.String(offsetof(DRIVER_INFO_3A, pMonitorName), p->monitor);
            a.String(offsetof(DRIVER_INFO_3A, pDefaultDataType), std::string(kDatatype));
            result = Deliver(a, buf, cbBuf, pcbNeeded, nullptr, &error);
        }
        if (pcbNeeded) args += " -> needed " + Num(*pcbNeeded);
    }
    return Finish("GetPrinterDriverA", args, result, error);
}

BOOL Spooler::SetPrinterA(HANDLE h, DWORD level, LPBYTE data, DWORD command)
{
    DWORD status = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(data));
    std::string args = HandleText(h) + ", level " + Num(level) + ", command " + Num(command);
    if (level == 0 && command == PRINTER_CONTROL_SET_STATUS) args += ", status " + Hex(status);
    BOOL result = FALSE;
    DWORD error = 0;
    unsigned printer = 0;
    {
        Lock lock(cs_);
        Printer* p = FromHandle(h);
        if (p) printer = p->id;
        if (Injected("SetPrinterA", nullptr, nullptr, &result)) {
            error = GetLastError();
        } else if (!p) {
            error = ERROR_INVALID_HANDLE;
        } else if (level != 0) {
            error = kErrorInvalidLevel;
        } else if (command != PRINTER_CONTROL_SET_STATUS) {
            error = ERROR_INVALID_PARAMETER;
        } else {
            p->status = status;
            statusHistory_.push_back({NextSequence(), p->name, status});
            args += " on \"" + p->name + "\"";
            result = TRUE;
        }
    }
    return Finish("SetPrinterA", args, result, error, printer);
}

BOOL Spooler::SetJobA(HANDLE h, DWORD jobId, DWORD level, LPBYTE, DWORD command)
{
    std::string args = HandleText(h) + ", job " + Num(jobId) + ", level " + Num(level) + ", command " + Num(command);
    BOOL result = FALSE;
    DWORD error = 0;
    {
        Lock lock(cs_);
        Printer* p = FromHandle(h);
        if (Injected("SetJobA", nullptr, nullptr, &result)) {
            error = GetLastError();
        } else if (!p) {
            error = ERROR_INVALID_HANDLE;
        } else if (level != 0) {
            error = kErrorInvalidLevel;
        } else if (command < JOB_CONTROL_PAUSE || command > JOB_CONTROL_DELETE) {
            error = ERROR_INVALID_PARAMETER;
        } else {
            auto it = p->jobs.begin();
            while (it != p->jobs.end() && it->id != jobId) ++it;
            bool found = it != p->jobs.end();
            jobCommands_.push_back({NextSequence(), p->name, jobId, command, found});
            if (!found) {
                error = ERROR_INVALID_PARAMETER;
            } else {
                if (command == JOB_CONTROL_CANCEL || command == JOB_CONTROL_DELETE) p->jobs.erase(it);
                result = TRUE;
            }
            args += " on \"" + p->name + "\"";
        }
    }
    return Finish("SetJobA", args, result, error);
}

}  // namespace sim
