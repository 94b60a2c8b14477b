// The simulated spooler: its printers, ports, jobs and handles, the control calls through
// which tests and scenarios set the scene and read what the monitor did, and the spooler
// API the monitor links against (kept here, so that linking the spooler links its API).
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

Spooler::Spooler() { InitializeCriticalSection(&cs_); }

void Spooler::Reset()
{
    Lock lock(cs_);
    printers_.clear();
    deleted_.clear();
    deletedHandles_ = DeletedHandles::Fail;
    names_.clear();
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
    if (it == handles_.end()) return nullptr;
    if (Printer* p = FindById(it->second)) return p;
    if (deletedHandles_ == DeletedHandles::Fail) return nullptr;
    for (auto& p : deleted_)
        if (p.id == it->second) return &p;
    return nullptr;
}

void Spooler::NoteName(unsigned id, const std::string& name)
{
    names_[id].push_back({CurrentSequence(), name});
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
    NoteName(p.id, name);
    return true;
}

bool Spooler::DeletePrinter(const std::string& name)
{
    Lock lock(cs_);
    for (auto it = printers_.begin(); it != printers_.end(); ++it) {
        if (SameName(it->name, name)) {
            NoteName(it->id, std::string());
            it->jobs.clear();
            deleted_.push_back(*it);
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
    NoteName(p->id, newName);
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

void Spooler::SetDeletedHandles(DeletedHandles mode)
{
    Lock lock(cs_);
    deletedHandles_ = mode;
}

bool Spooler::CarriedName(unsigned id, const std::string& name, DWORD from, DWORD to, bool* deleted) const
{
    Lock lock(cs_);
    bool carried = false;
    *deleted = false;
    auto it = names_.find(id);
    if (it == names_.end()) return false;
    const std::vector<NameChange>& changes = it->second;
    for (size_t i = 0; i < changes.size() && changes[i].stamp <= to; ++i) {
        // In force after `from` when it is the last change stamped before it, or a later one.
        bool last = i + 1 == changes.size() || changes[i + 1].stamp >= from;
        if (changes[i].name.empty())
            *deleted = true;
        else if (last && SameName(changes[i].name, name))
            carried = true;
    }
    return carried;
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

DWORD Spooler::TakeJobId()
{
    Lock lock(cs_);
    return nextJobId_++;
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
    auto it = handles_.find(reinterpret_cast<UINT_PTR>(h));
    const Printer* p = it == handles_.end() ? nullptr : const_cast<Spooler*>(this)->FindById(it->second);
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
