// The simulated port monitor below the language monitor, and the printers on its ports.
//
// Table() is the port monitor's MONITOR table (13 slots): OpenPort, StartDocPort,
// WritePort, ReadPort, EndDocPort, ClosePort and GetPrinterDataFromPort are filled, the
// other slots are NULL. Tests make variants by copying the table and clearing slots.
//
// Ports are known by name (any case) from their first mention; nothing has to be declared.
// Each OpenPort hands out a new handle (never reused in a run). One document at a time
// per port: StartDocPort while one is open fails with ERROR_BUSY, EndDocPort without one
// fails with ERROR_INVALID_PARAMETER, and ClosePort drops a document its handle left
// open. WritePort, ReadPort and GetPrinterDataFromPort need a document open on the port
// (otherwise FALSE, ERROR_INVALID_HANDLE), as on a port whose device is opened at the
// start of a document. Calls through an unknown or closed handle fail with
// ERROR_INVALID_HANDLE. Every call, refused ones included, is logged.
//
// Every method is thread-safe. The instance lives for the whole process.
#ifndef KVMON_SIM_PORTMON_H
#define KVMON_SIM_PORTMON_H

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bytelog.h"
#include "montable.h"

namespace sim {

constexpr DWORD kErrorNotReady = 21;  // ERROR_NOT_READY: the default failure of the device

// How the printer answers one device-ID query (GetPrinterDataFromPort).
struct DeviceAnswer {
    enum class Kind { Bytes, Fail, Empty, Count };
    Kind kind = Kind::Fail;
    std::string bytes;  // Bytes, Count: the reply (any bytes, NUL included)
    DWORD count = 0;    // Count: the count reported
    DWORD error = kErrorNotReady;  // Fail: the last error

    // TRUE; the bytes are copied, the count is their length, both cut to the buffer size.
    static DeviceAnswer Text(const std::string& bytes);
    // FALSE with `error`.
    static DeviceAnswer Failure(DWORD error = kErrorNotReady);
    // TRUE with a count of 0.
    static DeviceAnswer Empty();
    // TRUE; the bytes are copied as far as they fit, the count reported is `count`
    // whatever the buffer size.
    static DeviceAnswer ExactCount(const std::string& bytes, DWORD count);
};

// How the port takes one WritePort.
struct WriteAnswer {
    enum class Kind { Accept, Fail, Zero, AtMost, Reports };
    Kind kind = Kind::Accept;
    DWORD limit = 0;               // AtMost: bytes taken at most; Reports: the count reported
    DWORD error = kErrorNotReady;  // Fail: the last error

    static WriteAnswer Accept();                            // TRUE, everything written
    static WriteAnswer Failure(DWORD error = kErrorNotReady);  // FALSE, 0 written
    static WriteAnswer Zero();                              // TRUE, 0 written
    static WriteAnswer AtMost(DWORD limit);                 // TRUE, min(cbBuf, limit) written
    static WriteAnswer Reports(DWORD count);                // TRUE, all taken, `count` reported
};

// One call into the table, logged when it returns.
struct PortCall {
    DWORD seq = 0;          // shared sequence (simcommon.h), taken on return
    std::string function;   // "OpenPort", "StartDocPort", ..., "GetPrinterDataFromPort"
    std::string port;       // port the handle belongs to ("" for an unknown handle)
    HANDLE handle = NULL;   // handle passed in (OpenPort: the handle returned)
    std::string printer;    // StartDocPort: printer name ("" when NULL)
    std::string document;   // StartDocPort: DOC_INFO_1.pDocName, when given
    DWORD jobId = 0;        // StartDocPort
    DWORD level = 0;        // StartDocPort
    DWORD controlId = 0;    // GetPrinterDataFromPort
    bool hasValueName = false;  // GetPrinterDataFromPort: pValueName not NULL
    std::string valueName;      // GetPrinterDataFromPort
    DWORD cbIn = 0;         // GetPrinterDataFromPort: cbInBuffer
    DWORD cbBuffer = 0;     // WritePort/ReadPort: cbBuf; GetPrinterDataFromPort: cbOutBuffer
    DWORD bytes = 0;        // bytes written, read, or the count returned
    DWORD taken = 0;        // WritePort: bytes the port took (not `bytes` for Reports)
    BOOL result = FALSE;
    DWORD error = 0;        // last error of a failed call
    DWORD thread = 0;       // GetCurrentThreadId of the caller
};
using PortObserver = std::function<void(const PortCall&)>;

class PortMonitor {
public:
    PortMonitor();
    PortMonitor(const PortMonitor&) = delete;
    PortMonitor& operator=(const PortMonitor&) = delete;

    const MONITOR* Table() const;

    // Forgets ports, scripts, documents, handles, the log and the observer. Handles
    // handed out before become invalid. logCalls: calls are logged (SetLogging). With
    // lastDocumentOnly, each document's StartDocPort forgets the bytes accepted before it,
    // and Written holds at most the first keepAtMost bytes of the last document
    // (WrittenLog has the length and hash of the rest), so that a long run holds no more.
    void Reset(bool logCalls = true, bool lastDocumentOnly = false, size_t keepAtMost = SIZE_MAX);

    // ---- the log ----
    std::vector<PortCall> Calls() const;
    std::vector<PortCall> Calls(const std::string& function) const;  // only that function
    unsigned CallCount(const std::string& function) const;
    void Clear();              // empties the log and the written bytes
    void SetLogging(bool on);  // off: calls are not logged (long benchmark runs)
    void SetObserver(PortObserver observer);  // called on return, outside the lock

    // ---- state ----
    std::string Written(const std::string& port) const;  // bytes accepted and still kept
    ByteLog WrittenLog(const std::string& port) const;   // the same, with length and hash of all
    bool DocumentOpen(const std::string& port) const;
    size_t WriteAnswersLeft(const std::string& port) const;  // queued, not yet used
    unsigned StartDocFailuresLeft(const std::string& port) const;
    long OpenHandleCount() const;
    long OpenHandleCount(const std::string& port) const;

    // ---- scripted behaviour, per port ----
    void FailOpenPort(const std::string& port, bool fail, DWORD error = ERROR_ACCESS_DENIED);
    void FailStartDoc(const std::string& port, unsigned count, DWORD error = kErrorNotReady);
    // Writes use the queued answers one per call, then the persistent one (Accept
    // unless set).
    void QueueWriteAnswers(const std::string& port, const std::vector<WriteAnswer>& answers);
    void SetWriteAnswer(const std::string& port, const WriteAnswer& answer);
    // ReadPort hands out the queued bytes, as many as fit per call; TRUE with 0 when none.
    void QueueReadData(const std::string& port, const std::string& bytes);
    // Device-ID queries consume the script one answer per query; the last one repeats.
    // Without a script a query fails (Failure()).
    void ScriptDeviceAnswers(const std::string& port, const std::vector<DeviceAnswer>& answers);
    void SetDeviceAnswer(const std::string& port, const DeviceAnswer& answer);
    // A query on the port waits on `gate` (an event the test owns) before it answers,
    // after setting `entered` (optional) and counting itself in QueriesWaiting(). The
    // answer is taken from the script after the gate opens. NULL gate: no waiting.
    void HoldDeviceQueries(const std::string& port, HANDLE gate, HANDLE entered = NULL);
    long QueriesWaiting(const std::string& port) const;
    // A query on the port takes `ms` (Sleep, outside the lock) before it answers; 0: at once.
    void DelayDeviceQueries(const std::string& port, DWORD ms);

    // ---- the table's slots dispatch here ----
    BOOL OpenPort(LPSTR name, PHANDLE pHandle);
    BOOL StartDocPort(HANDLE h, LPSTR printer, DWORD jobId, DWORD level, LPBYTE docInfo);
    BOOL WritePort(HANDLE h, LPBYTE buf, DWORD cbBuf, LPDWORD pcbWritten);
    BOOL ReadPort(HANDLE h, LPBYTE buf, DWORD cbBuf, LPDWORD pcbRead);
    BOOL EndDocPort(HANDLE h);
    BOOL ClosePort(HANDLE h);
    BOOL GetPrinterDataFromPort(HANDLE h, DWORD controlId, LPSTR valueName, LPSTR inBuf, DWORD cbIn, LPSTR outBuf,
                                DWORD cbOut, LPDWORD pcbReturned);

private:
    struct Port {
        std::string name;
        bool failOpen = false;
        DWORD openError = 0;
        unsigned startDocFailures = 0;
        DWORD startDocError = 0;
        UINT_PTR docHandle = 0;  // handle whose document is open, 0 when none
        std::vector<WriteAnswer> writeQueue;
        WriteAnswer writeAnswer;
        std::string readData;
        std::vector<DeviceAnswer> deviceScript;
        HANDLE gate = NULL;
        HANDLE entered = NULL;
        long waiting = 0;
        DWORD queryDelay = 0;  // ms a query takes (DelayDeviceQueries)
        ByteLog written;  // bytes accepted
    };

    Port& PortOf(const std::string& name);  // creates it on first mention
    const Port* FindPort(const std::string& name) const;
    Port* PortOfHandle(HANDLE h);
    BOOL Finish(PortCall call, BOOL result, DWORD error);

    mutable CRITICAL_SECTION cs_;
    std::map<std::string, Port> ports_;         // by folded name
    std::map<UINT_PTR, std::string> handles_;   // live handle -> folded port name
    std::vector<PortCall> log_;
    bool logging_ = true;
    bool lastDocumentOnly_ = false;  // Reset: each StartDocPort forgets the bytes before it
    size_t keepAtMost_ = SIZE_MAX;   // Reset: bytes of a document kept
    PortObserver observer_;
    UINT_PTR nextHandle_ = 1;
};

PortMonitor& ThePortMonitor();

}  // namespace sim

#endif  // KVMON_SIM_PORTMON_H
