#include "spooler.h"

#include <cstddef>
#include <cstring>

#include "simcommon.h"

#ifndef _WIN32
#include "kvplatform.h"
#endif

namespace sim {

const char* const kDefaultDriver = "Kestravon Printer";
const char* const kDefaultMonitor = "Kestravon Language Monitor";

namespace {

const char* const kPortMonitorName = "Local Port";
const char* const kEnvironment = "Windows 4.0";
const char* const kDatatype = "RAW";
const char* const kMachine = "\\\\SIMHOST";
const char* const kUser = "user";
const DWORD kPrinterAttributeLocal = 0x00000040;
const DWORD kPortTypeReadWrite = 0x3;  // PORT_TYPE_WRITE | PORT_TYPE_READ

// Handle values are tagged so that a stray pointer is never taken for one; they are never
// reused within a run.
const UINT_PTR kHandleBase = 0x5B000000u;
const UINT_PTR kHandleStep = 0x10;

// Records of one answer: the fixed part (an array of records with their string pointers
// still empty) and the strings to place, each with the offset of the pointer field that
// receives it. Strings go to the end of the caller's buffer, packed downwards, as the
// spooler lays them out.
class Answer {
public:
    explicit Answer(size_t recordSize) : recordSize_(recordSize) {}

    BYTE* Add()
    {
        fixed_.resize(fixed_.size() + recordSize_, 0);
        return fixed_.data() + fixed_.size() - recordSize_;
    }
    // `field` is the offset of an LPSTR member within the last record added.
    void String(size_t field, const std::optional<std::string>& text)
    {
        strings_.push_back({fixed_.size() - recordSize_ + field, text});
    }
    DWORD Count() const { return static_cast<DWORD>(fixed_.size() / recordSize_); }
    DWORD Needed() const
    {
        size_t n = fixed_.size();
        for (const auto& s : strings_)
            if (s.text) n += s.text->size() + 1;
        return static_cast<DWORD>(n);
    }
    void Write(LPBYTE buf, DWORD cbBuf) const
    {
        std::memcpy(buf, fixed_.data(), fixed_.size());
        LPBYTE end = buf + cbBuf;
        for (const auto& s : strings_) {
            char* where = nullptr;
            if (s.text) {
                end -= s.text->size() + 1;
                std::memcpy(end, s.text->c_str(), s.text->size() + 1);
                where = reinterpret_cast<char*>(end);
            }
            std::memcpy(buf + s.offset, &where, sizeof where);
        }
    }

private:
    struct Placed {
        size_t offset;
        std::optional<std::string> text;
    };
    size_t recordSize_;
    std::vector<BYTE> fixed_;
    std::vector<Placed> strings_;
};

// The size-probe contract shared by every Get/Enum call.
BOOL Deliver(const Answer& answer, LPBYTE buf, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned, DWORD* error)
{
    DWORD needed = answer.Needed();
    *pcbNeeded = needed;
    if (pcReturned) *pcReturned = 0;
    if (!buf && cbBuf) {
        *error = kErrorInvalidUserBuffer;
        return FALSE;
    }
    if (needed > cbBuf || (!buf && needed)) {
        *error = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    if (needed) answer.Write(buf, cbBuf);
    if (pcReturned) *pcReturned = answer.Count();
    return TRUE;
}

std::string Num(DWORD v) { return std::to_string(v); }

}  // namespace

Spooler::Spooler() { InitializeCriticalSection(&cs_); }

void Spooler::Reset()
{
    Lock lock(cs_);
    printers_.clear();
    ports_.clear();
    handles_.clear();
    statusHistory_.clear();
    jobCommands_.clear();
    injections_.clear();
    callCounts_.clear();
    observer_ = nullptr;
}

// ---- control API ----

Spooler::Printer* Spooler::FindPrinter(const std::string& name)
{
    for (auto& p : printers_)
        if (SameName(p.name, name)) return &p;
    return nullptr;
}

const Spooler::Printer* Spooler::FindPrinter(const std::string& name) const
{
    return const_cast<Spooler*>(this)->FindPrinter(name);
}

Spooler::Printer* Spooler::FindById(unsigned id)
{
    for (auto& p : printers_)
        if (p.id == id) return &p;
    return nullptr;
}

Spooler::Printer* Spooler::FromHandle(HANDLE h)
{
    auto it = handles_.find(reinterpret_cast<UINT_PTR>(h));
    return it == handles_.end() ? nullptr : FindById(it->second);
}

bool Spooler::AddPrinter(const std::string& name, const std::string& port, const std::string& driver,
                         const std::optional<std::string>& monitor)
{
    Lock lock(cs_);
    if (FindPrinter(name)) return false;
    Printer p;
    p.id = nextPrinterId_++;
    p.name = name;
    p.port = port;
    p.driver = driver;
    p.monitor = monitor;
    printers_.push_back(p);
    return true;
}

bool Spooler::DeletePrinter(const std::string& name)
{
    Lock lock(cs_);
    for (auto it = printers_.begin(); it != printers_.end(); ++it) {
        if (SameName(it->name, name)) {
            printers_.erase(it);
            return true;
        }
    }
    return false;
}

bool Spooler::RenamePrinter(const std::string& name, const std::string& newName)
{
    Lock lock(cs_);
    Printer* p = FindPrinter(name);
    if (!p) return false;
    Printer* other = FindPrinter(newName);
    if (other && other != p) return false;
    p->name = newName;
    return true;
}

bool Spooler::SetPrinterPort(const std::string& name, const std::string& port)
{
    Lock lock(cs_);
    Printer* p = FindPrinter(name);
    if (!p) return false;
    p->port = port;
    return true;
}

bool Spooler::SetPrinterDriver(const std::string& name, const std::string& driver,
                               const std::optional<std::string>& monitor)
{
    Lock lock(cs_);
    Printer* p = FindPrinter(name);
    if (!p) return false;
    p->driver = driver;
    p->monitor = monitor;
    return true;
}

bool Spooler::HasPrinter(const std::string& name) const
{
    Lock lock(cs_);
    return FindPrinter(name) != nullptr;
}

std::vector<std::string> Spooler::Printers() const
{
    Lock lock(cs_);
    std::vector<std::string> names;
    for (const auto& p : printers_) names.push_back(p.name);
    return names;
}

DWORD Spooler::PrinterStatus(const std::string& name) const
{
    Lock lock(cs_);
    const Printer* p = FindPrinter(name);
    return p ? p->status : 0;
}

void Spooler::SetPrinterStatus(const std::string& name, DWORD status)
{
    Lock lock(cs_);
    if (Printer* p = FindPrinter(name)) p->status = status;
}

void Spooler::AddPort(const std::string& name, const std::optional<std::string>& description)
{
    Lock lock(cs_);
    for (auto& port : ports_) {
        if (SameName(port.name, name)) {
            port.description = description;
            return;
        }
    }
    ports_.push_back({name, description});
}

bool Spooler::RemovePort(const std::string& name)
{
    Lock lock(cs_);
    for (auto it = ports_.begin(); it != ports_.end(); ++it) {
        if (SameName(it->name, name)) {
            ports_.erase(it);
            return true;
        }
    }
    return false;
}

DWORD Spooler::QueueJob(const std::string& printer, const std::string& document)
{
    Lock lock(cs_);
    Printer* p = FindPrinter(printer);
    if (!p) return 0;
    DWORD id = nextJobId_++;
    p->jobs.push_back({id, document});
    return id;
}

bool Spooler::RemoveJob(DWORD jobId)
{
    Lock lock(cs_);
    for (auto& p : printers_) {
        for (auto it = p.jobs.begin(); it != p.jobs.end(); ++it) {
            if (it->id == jobId) {
                p.jobs.erase(it);
                return true;
            }
        }
    }
    return false;
}

void Spooler::ClearJobs(const std::string& printer)
{
    Lock lock(cs_);
    if (Printer* p = FindPrinter(printer)) p->jobs.clear();
}

std::vector<JobInfo> Spooler::Jobs(const std::string& printer) const
{
    Lock lock(cs_);
    const Printer* p = FindPrinter(printer);
    return p ? p->jobs : std::vector<JobInfo>();
}

std::vector<StatusRecord> Spooler::StatusHistory() const
{
    Lock lock(cs_);
    return statusHistory_;
}

std::vector<StatusRecord> Spooler::StatusHistory(const std::string& printer) const
{
    Lock lock(cs_);
    std::vector<StatusRecord> out;
    for (const auto& r : statusHistory_)
        if (SameName(r.printer, printer)) out.push_back(r);
    return out;
}

std::vector<JobCommand> Spooler::JobCommands() const
{
    Lock lock(cs_);
    return jobCommands_;
}

void Spooler::ClearHistory()
{
    Lock lock(cs_);
    statusHistory_.clear();
    jobCommands_.clear();
}

long Spooler::OpenHandleCount() const
{
    Lock lock(cs_);
    return static_cast<long>(handles_.size());
}

DWORD Spooler::LockOwner() const
{
#ifdef _WIN32
    return 0;  // no deterministic mode on Windows
#else
    return kvplat::SectionOwner(&cs_);
#endif
}

std::optional<std::string> Spooler::HandlePrinter(HANDLE h) const
{
    Lock lock(cs_);
    const Printer* p = const_cast<Spooler*>(this)->FromHandle(h);
    if (!p) return std::nullopt;
    return p->name;
}

unsigned Spooler::CallCount(const std::string& function) const
{
    Lock lock(cs_);
    auto it = callCounts_.find(function);
    return it == callCounts_.end() ? 0 : it->second;
}

void Spooler::FailNext(const std::string& function, unsigned count, DWORD error, DWORD needed)
{
    Lock lock(cs_);
    injections_[function] = {count, FALSE, error, needed};
}

void Spooler::SucceedNext(const std::string& function, unsigned count, DWORD needed)
{
    Lock lock(cs_);
    injections_[function] = {count, TRUE, 0, needed};
}

void Spooler::SetObserver(SpoolerObserver observer)
{
    Lock lock(cs_);
    observer_ = std::move(observer);
}

// ---- exported calls ----

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
BOOL Spooler::Finish(const char* function, const std::string& args, BOOL result, DWORD error)
{
    SpoolerObserver observer;
    {
        Lock lock(cs_);
        observer = observer_;
    }
    if (observer) observer({NextSequence(), function, args, result, result ? 0 : error, GetCurrentThreadId()});
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
    {
        Lock lock(cs_);
        Printer* p = FromHandle(h);
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
    return Finish("SetPrinterA", args, result, error);
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

Spooler& TheSpooler()
{
    // Never destroyed: polling threads of the monitor may still call in at process exit.
    static Spooler* instance = new Spooler;
    return *instance;
}

}  // namespace sim

// ---- the spooler API, as <winspool.h> declares it ----

extern "C" {

BOOL WINAPI OpenPrinterA(LPSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSA pDefault)
{
    return sim::TheSpooler().OpenPrinterA(pPrinterName, phPrinter, pDefault);
}

BOOL WINAPI ClosePrinter(HANDLE hPrinter) { return sim::TheSpooler().ClosePrinter(hPrinter); }

BOOL WINAPI GetPrinterA(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf, LPDWORD pcbNeeded)
{
    return sim::TheSpooler().GetPrinterA(hPrinter, Level, pPrinter, cbBuf, pcbNeeded);
}

BOOL WINAPI GetPrinterDriverA(HANDLE hPrinter, LPSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo, DWORD cbBuf,
                              LPDWORD pcbNeeded)
{
    return sim::TheSpooler().GetPrinterDriverA(hPrinter, pEnvironment, Level, pDriverInfo, cbBuf, pcbNeeded);
}

BOOL WINAPI SetPrinterA(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD Command)
{
    return sim::TheSpooler().SetPrinterA(hPrinter, Level, pPrinter, Command);
}

BOOL WINAPI SetJobA(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD Command)
{
    return sim::TheSpooler().SetJobA(hPrinter, JobId, Level, pJob, Command);
}

BOOL WINAPI EnumPrintersA(DWORD Flags, LPSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf, LPDWORD pcbNeeded,
                          LPDWORD pcReturned)
{
    return sim::TheSpooler().EnumPrintersA(Flags, Name, Level, pPrinterEnum, cbBuf, pcbNeeded, pcReturned);
}

BOOL WINAPI EnumPortsA(LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned)
{
    return sim::TheSpooler().EnumPortsA(pName, Level, pPorts, cbBuf, pcbNeeded, pcReturned);
}

BOOL WINAPI EnumJobsA(HANDLE hPrinter, DWORD FirstJob, DWORD NoJobs, DWORD Level, LPBYTE pJob, DWORD cbBuf,
                      LPDWORD pcbNeeded, LPDWORD pcReturned)
{
    return sim::TheSpooler().EnumJobsA(hPrinter, FirstJob, NoJobs, Level, pJob, cbBuf, pcbNeeded, pcReturned);
}

}  // extern "C"
