// The simulated print spooler: printers, ports and job queues behind the spooler API
// that the monitor imports (OpenPrinterA ... EnumJobsA, exported from spooler.cpp with
// the signatures of <winspool.h>).
//
// The exported calls behave as the spooler's do where the monitor can tell:
//  - size probes: no buffer or too small a buffer fails with ERROR_INSUFFICIENT_BUFFER
//    and the needed size in *pcbNeeded; a large enough buffer receives the records at its
//    start and their strings packed against its end, every string pointer pointing into
//    the caller's buffer. Enumerations with nothing to return succeed with 0 needed and
//    0 returned (EnumJobsA with an empty queue too).
//  - printer handles refer to the printer object: a rename keeps them working; after a
//    delete, by default, every call through them fails with ERROR_INVALID_HANDLE, except
//    ClosePrinter (SetDeletedHandles chooses what they do instead).
//  - printer names compare without case.
//  - SetPrinterA(h, 0, (LPBYTE)status, PRINTER_CONTROL_SET_STATUS) sets the status bits
//    and is recorded; SetJobA(h, id, 0, NULL, command) is recorded even when the job is
//    unknown (then FALSE, ERROR_INVALID_PARAMETER); CANCEL and DELETE remove the job.
//
// Simplifications: OpenPrinterA does not open the print server (a NULL or empty name is
// refused like an unknown one); only levels 2 (printers, ports), 3 (drivers) and 1 (jobs)
// exist; other levels fail with ERROR_INVALID_LEVEL.
//
// Every method is thread-safe. The instance lives for the whole process.
//
// With the SDK's <winspool.h> (Windows build) AddPrinter and AddPort are A/W macros, so
// the methods below are really named AddPrinterA and AddPortA there. That is harmless
// as long as every user includes this header, which includes <winspool.h> first.
#ifndef KVMON_SIM_SPOOLER_H
#define KVMON_SIM_SPOOLER_H

#include <windows.h>
#include <winspool.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Values the exported calls use that <windows.h> of the POSIX build leaves out.
constexpr DWORD kErrorInvalidLevel = 124;       // ERROR_INVALID_LEVEL
constexpr DWORD kErrorInvalidUserBuffer = 1784; // ERROR_INVALID_USER_BUFFER

// Defaults of a printer added without them.
extern const char* const kDefaultDriver;   // "Kestravon Printer"
extern const char* const kDefaultMonitor;  // "Kestravon Language Monitor"

struct StatusRecord {
    DWORD seq;            // shared sequence (simcommon.h)
    std::string printer;  // printer name at the time of the call
    DWORD status;         // the status bits passed
};

struct JobCommand {
    DWORD seq;
    std::string printer;
    DWORD jobId;
    DWORD command;  // JOB_CONTROL_*
    bool found;     // false: no such job on that printer, the call failed
};

// One exported call as the observer sees it, after it returned.
struct SpoolerCall {
    DWORD seq;
    std::string function;  // "OpenPrinterA", ...
    std::string args;      // readable arguments, e.g. "\"P1\", level 2, cbBuf 0"
    BOOL result;
    DWORD error;  // last error set by the call (0 when it succeeded)
    DWORD thread; // GetCurrentThreadId of the caller
    unsigned printer = 0;  // id of the printer object a handle call reached (0: none)
};
using SpoolerObserver = std::function<void(const SpoolerCall&)>;

// What the handles of a deleted printer do.
enum class DeletedHandles {
    Fail,     // every call but ClosePrinter fails with ERROR_INVALID_HANDLE
    Pending,  // they answer for the old record, GetPrinterA flagged PRINTER_STATUS_PENDING_DELETION
    Answer,   // they answer for the old record, unflagged
};

struct JobInfo {
    DWORD id;
    std::string document;
};

class Spooler {
public:
    Spooler();
    Spooler(const Spooler&) = delete;
    Spooler& operator=(const Spooler&) = delete;

    // Removes printers, ports, jobs, histories, handles, injected faults, call counts and
    // the observer. Handles handed out before become invalid.
    void Reset();

    // ---- printers ----
    // false when a printer of that name (any case) exists. monitor: the driver's
    // language monitor; std::nullopt makes DRIVER_INFO_3.pMonitorName NULL.
    bool AddPrinter(const std::string& name, const std::string& port,
                    const std::string& driver = kDefaultDriver,
                    const std::optional<std::string>& monitor = std::string(kDefaultMonitor));
    bool DeletePrinter(const std::string& name);  // its jobs go with it
    bool RenamePrinter(const std::string& name, const std::string& newName);
    bool SetPrinterPort(const std::string& name, const std::string& port);
    bool SetPrinterDriver(const std::string& name, const std::string& driver,
                          const std::optional<std::string>& monitor);
    bool HasPrinter(const std::string& name) const;
    std::vector<std::string> Printers() const;  // in order of creation
    DWORD PrinterStatus(const std::string& name) const;  // 0 for an unknown printer
    // Applies to every handle of a deleted printer from now on, those of printers deleted
    // before included. Reset returns to Fail.
    void SetDeletedHandles(DeletedHandles mode);
    // Whether printer object `id` was called `name` (any case) at some moment after the
    // event numbered `from` and up to the one numbered `to` (simcommon.h). *deleted tells
    // whether it was deleted by then. A rename or delete is stamped with the last number
    // handed out before it.
    bool CarriedName(unsigned id, const std::string& name, DWORD from, DWORD to, bool* deleted) const;
    void SetPrinterStatus(const std::string& name, DWORD status);  // not recorded

    // ---- ports (what EnumPortsA lists) ----
    // description std::nullopt makes PORT_INFO_2.pDescription NULL. Adding an existing
    // port replaces its description.
    void AddPort(const std::string& name, const std::optional<std::string>& description = std::nullopt);
    bool RemovePort(const std::string& name);

    // ---- jobs ----
    // Returns the new job's id (ids are unique in the process run, starting at 1), or 0
    // for an unknown printer.
    DWORD QueueJob(const std::string& printer, const std::string& document = "Document");
    // A fresh id that no queue holds: a job the spooler sends while its printer is being
    // deleted (it left the queue with the printer).
    DWORD TakeJobId();
    bool RemoveJob(DWORD jobId);
    void ClearJobs(const std::string& printer);
    std::vector<JobInfo> Jobs(const std::string& printer) const;

    // ---- what the monitor did ----
    std::vector<StatusRecord> StatusHistory() const;
    std::vector<StatusRecord> StatusHistory(const std::string& printer) const;
    std::vector<JobCommand> JobCommands() const;
    void ClearHistory();
    long OpenHandleCount() const;            // printer handles not yet closed
    std::optional<std::string> HandlePrinter(HANDLE h) const;  // name, if h is a listed printer's handle
    unsigned CallCount(const std::string& function) const;     // calls since Reset
    // Deterministic mode (POSIX): the id of the thread inside the spooler's lock, 0 when none.
    DWORD LockOwner() const;

    // ---- test controls ----
    // The next `count` calls of `function` (e.g. "EnumPortsA") fail with `error` and do
    // nothing else: *pcbNeeded and *pcReturned, where given, are set to `needed` and 0.
    void FailNext(const std::string& function, unsigned count, DWORD error, DWORD needed = 0);
    // The next `count` calls of `function` succeed without doing anything, reporting
    // `needed` and 0 records (e.g. a size probe that does not fail).
    void SucceedNext(const std::string& function, unsigned count, DWORD needed = 0);
    // Called after every exported call, outside the spooler's lock, with the last error
    // preserved around it. An empty function removes the observer.
    void SetObserver(SpoolerObserver observer);

    // ---- the exported calls dispatch here ----
    BOOL OpenPrinterA(LPSTR name, LPHANDLE phPrinter, LPPRINTER_DEFAULTSA defaults);
    BOOL ClosePrinter(HANDLE h);
    BOOL GetPrinterA(HANDLE h, DWORD level, LPBYTE buf, DWORD cbBuf, LPDWORD pcbNeeded);
    BOOL GetPrinterDriverA(HANDLE h, LPSTR environment, DWORD level, LPBYTE buf, DWORD cbBuf, LPDWORD pcbNeeded);
    BOOL SetPrinterA(HANDLE h, DWORD level, LPBYTE data, DWORD command);
    BOOL SetJobA(HANDLE h, DWORD jobId, DWORD level, LPBYTE data, DWORD command);
    BOOL EnumPrintersA(DWORD flags, LPSTR name, DWORD level, LPBYTE buf, DWORD cbBuf, LPDWORD pcbNeeded,
                      LPDWORD pcReturned);
    BOOL EnumPortsA(LPSTR name, DWORD level, LPBYTE buf, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned);
    BOOL EnumJobsA(HANDLE h, DWORD firstJob, DWORD noJobs, DWORD level, LPBYTE buf, DWORD cbBuf, LPDWORD pcbNeeded,
                  LPDWORD pcReturned);

private:
    struct Printer {
        unsigned id;
        std::string name, port, driver;
        std::optional<std::string> monitor;
        DWORD status = 0;
        std::vector<JobInfo> jobs;
    };
    struct Port {
        std::string name;
        std::optional<std::string> description;
    };
    struct NameChange {
        DWORD stamp;       // the last sequence number handed out before the change
        std::string name;  // the name from then on; "" once deleted
    };
    struct Injection {
        unsigned count;
        BOOL result;
        DWORD error;
        DWORD needed;
    };
    Printer* FindPrinter(const std::string& name);
    const Printer* FindPrinter(const std::string& name) const;
    Printer* FindById(unsigned id);
    Printer* FromHandle(HANDLE h);
    bool Injected(const char* function, LPDWORD pcbNeeded, LPDWORD pcReturned, BOOL* result);
    BOOL Finish(const char* function, const std::string& args, BOOL result, DWORD error, unsigned printer = 0);
    void NoteName(unsigned id, const std::string& name);

    mutable CRITICAL_SECTION cs_;
    std::vector<Printer> printers_;
    std::vector<Printer> deleted_;  // deleted printers, for handles that still answer
    DeletedHandles deletedHandles_ = DeletedHandles::Fail;
    std::map<unsigned, std::vector<NameChange>> names_;  // printer id -> its names, oldest first
    std::vector<Port> ports_;
    std::map<UINT_PTR, unsigned> handles_;  // live handle -> printer id (may be gone)
    std::vector<StatusRecord> statusHistory_;
    std::vector<JobCommand> jobCommands_;
    std::map<std::string, Injection> injections_;
    std::map<std::string, unsigned> callCounts_;
    SpoolerObserver observer_;
    unsigned nextPrinterId_ = 1;
    UINT_PTR nextHandle_ = 1;
    DWORD nextJobId_ = 1;
};

Spooler& TheSpooler();

}  // namespace sim

#endif  // KVMON_SIM_SPOOLER_H
