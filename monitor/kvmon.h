// kvmon internals: the port context, global state and every procedure of the monitor.
// One header for the whole DLL: the monitor is small and its parts call each other freely.
#ifndef KVMON_MONITOR_KVMON_H
#define KVMON_MONITOR_KVMON_H

#include <windows.h>
#include <winspool.h>

#include "montable.h"
#include "trace.h"

// ---- sizes ----
#define DEVID_BUFFER_SIZE 1024    // device ID reply, its parse copy and the decoded record
#define NAME_BUFFER_SIZE 260      // names and paths
#define MESSAGE_BUFFER_SIZE 500   // g_szMessage, in characters
#define STATUS_BLOCK_SIZE 1028    // largest block a 1024-byte reply gives is 1025 bytes
#define DEFAULT_READ_CYCLE 2000   // "ReadCycle" default and minimum, ms
#define ECP_BACKOFF_MS 5000       // sleep while an ECP port has queued jobs
#define STATUS_THREAD_STACK 0x4000
#define STATUS_NO_RESPONSE 901    // code applied when the device does not answer

#define PORT_CONTEXT_SIGNATURE 0x004B564E  // 'KVN'

// Control codes of the device ID query.
#define CONTROL_QUERY_DEVICE_ID_USB 0x0016000C  // IOCTL_PAR_QUERY_DEVICE_ID
#define CONTROL_QUERY_DEVICE_ID_LPT 17

#include "../resources/strings.h"

// ---- port context flags ----
#define PCF_JOB_ACTIVE 0x001      // the spooler is between StartDocPort and EndDocPort
#define PCF_DOC_STARTED 0x002     // a document is open at the port monitor; its EndDocPort is owed
#define PCF_THREAD_RUN 0x004      // the polling thread runs or is to run
#define PCF_FIRST_QUERY 0x010     // StartDocPort owes the immediate status query
#define PCF_WRITE_ERROR 0x020     // the last write did not get through
#define PCF_MODEL_OK 0x040        // the device ID carried an accepted model
#define PCF_UNRECOGNISED 0x080    // the last device ID was not recognised
#define PCF_MAKER_OK 0x100        // the device ID carried the accepted manufacturer
#define PCF_STATUS_REQUEST 0x200  // a client asked for a refresh
#define PCF_THREAD_ALIVE 0x400    // a polling thread exists: set before it is created, cleared as
                                  // the last step of its exit cleanup (under g_csPorts)
#define PCF_THREAD_NEXT 0x800     // a document opened while the thread was ending: its exit
                                  // starts the next thread (under g_csPorts)

typedef struct _PortContext PortContext;

struct _PortContext {
    DWORD signature;           // PORT_CONTEXT_SIGNATURE while the context is valid
    PortContext* next;         // next open port, NULL at the tail
    LPSTR portName;            // owned copy of the port name given to OpenPortEx
    LPSTR printerName;         // owned copy of the printer name; replaced by UpdatePrinterName, and
                               // by the name hPrinter gives when the spooler lists it (a renamed
                               // printer, followed at every poll and status change)
    LPSTR monitorName;         // owned DRIVER_INFO_3.pMonitorName, or NULL; first half of the mapping name
    LPSTR driverName;          // owned PRINTER_INFO_2.pDriverName, or NULL; reported to the companion
    LONG volatile flags;       // PCF_* bits, changed only with interlocked operations
    HANDLE hMonitorPort;       // the port monitor's own handle for this port
    HANDLE hPrinter;           // spooler printer handle for printerName, or NULL; opened again by
                               // name when its printer was deleted and that name is listed
    HANDLE hWakeEvent;         // auto-reset: wakes the polling thread; NULL when no thread holds it
    HANDLE hIdleEvent;         // manual-reset: unsignalled while a thread-driven query runs
    HANDLE hMapping;           // mapping of the shared status block, or NULL
    DWORD volatile printerStatus;  // PRINTER_STATUS_* bits last set on the printer by ApplyStatusCode
    DWORD lastCode;            // device status code last applied; 0 after StartDocPort
    DWORD docSerial;           // number of the last document opened at the port monitor;
                               // changed with PCF_DOC_STARTED under g_csPorts
    MONITOR portMonitor;       // copy of the port monitor's table
    CRITICAL_SECTION csPort;   // guards printerName, hPrinter, driverName, monitorName,
                               // printerStatus and lastCode between the spooler's threads and
                               // the polling thread; taken after g_csPorts, never before it.
                               // Held across these spooler calls: OpenPrinterA, ClosePrinter,
                               // GetPrinterA and GetPrinterDriverA (name and handle changes,
                               // the printer look-up), EnumPrintersA (the look-up), EnumPortsA
                               // and EnumJobsA (the ECP test), SetPrinterA (status changes).
                               // The spooler never calls back into its language monitor from
                               // these: they read or change its printer and job records only,
                               // and none of them opens a port or starts a document. The
                               // port monitor is never called under csPort.
    CRITICAL_SECTION csQuery;  // one status query at a time per port (recognition flags,
                               // hMapping and the block are the query's working state).
                               // Waits for a device query to come back, so it is never taken
                               // while g_csPorts is held: one port's slow device would stall
                               // every port's OpenPortEx, EndDocPort and ClosePort.
};

// ---- global state (entry.cpp) ----
extern CRITICAL_SECTION g_csPorts;  // guards the port list and the port transitions
extern PortContext* g_pPortList;    // head of the open-port list
extern DWORD g_dwReadCycle;         // poll interval, ms, at least DEFAULT_READ_CYCLE
extern HINSTANCE g_hInstance;       // this module
extern CHAR g_szMessage[MESSAGE_BUFFER_SIZE];  // connection-failure text

// ---- flags: every change is one indivisible operation ----
static inline void SetFlags(PortContext* ctx, DWORD bits) { InterlockedOr(&ctx->flags, (LONG)bits); }
static inline void ClearFlags(PortContext* ctx, DWORD bits) { InterlockedAnd(&ctx->flags, ~(LONG)bits); }
// Reads are plain atomic loads: a locked compare-exchange on every write of print data
// costs more than the write path may spend.
static inline BOOL TestFlags(PortContext* ctx, DWORD bits)
{
    return (__atomic_load_n(&ctx->flags, __ATOMIC_ACQUIRE) & (LONG)bits) != 0;
}
// Clears bit and tells whether it was set, so exactly one caller acts on it.
static inline BOOL TakeFlag(PortContext* ctx, DWORD bit)
{
    return (InterlockedAnd(&ctx->flags, ~(LONG)bit) & (LONG)bit) != 0;
}
static inline DWORD ReadPrinterStatus(PortContext* ctx)
{
    return __atomic_load_n(&ctx->printerStatus, __ATOMIC_ACQUIRE);
}
// Event and mapping handles are read by one thread while another may replace them.
static inline HANDLE ReadHandle(HANDLE* field)
{
    return __atomic_load_n(field, __ATOMIC_ACQUIRE);
}
static inline void WriteHandle(HANDLE* field, HANDLE value)
{
    InterlockedExchangePointer((PVOID volatile*)field, value);
}

// ---- entry.cpp ----
#ifdef __cplusplus
extern "C" {
#endif
BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpReserved);
BOOL WINAPI InitializeMonitorEx(LPSTR pRegistryRoot, MONITOR* pMonitor);
#ifdef __cplusplus
}
#endif
DWORD ReadPollInterval(LPCSTR root, DWORD dwDefault);

// ---- strutil.cpp ----
LPSTR StrDupLocal(LPCSTR s);
void FreeLocal(LPVOID p);
LPCSTR StrFindChar(LPCSTR s, CHAR c);
int StrCompareN(LPCSTR a, LPCSTR b, int n);

// ---- context.cpp ----
PortContext* CreatePortContext(LPCSTR portName, LPCSTR printerName);
PortContext* FindPortContext(LPCSTR portName);
BOOL DeletePortContext(PortContext* ctx);
void FetchPrinterInfo(PortContext* ctx);
void UpdatePrinterName(PortContext* ctx, LPCSTR printerName);
BOOL IsUsbPort(LPCSTR portName);
BOOL IsLptPort(LPCSTR portName);

// ---- portops.cpp: the monitor table's operations ----
BOOL WINAPI OpenPortEx(LPSTR pPortName, LPSTR pPrinterName, PHANDLE pHandle, MONITOR* pMonitor);
BOOL WINAPI StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo);
BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
BOOL WINAPI EndDocPort(HANDLE hPort);
BOOL WINAPI ClosePort(HANDLE hPort);
BOOL WINAPI GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer,
                                   DWORD cbInBuffer, LPSTR lpOutBuffer, DWORD cbOutBuffer, LPDWORD lpcbReturned);
void MarkWriteError(PortContext* ctx);
void ClearWriteError(PortContext* ctx);
void WakeStatusThread(PortContext* ctx);
void EndMonitorDocument(PortContext* ctx);

// ---- status/devid.cpp ----
BOOL ParseDeviceId(PortContext* ctx, char* text, char* mfgOut, char* mdlOut);
char* FindVStatus(const char* text);
BOOL DecodeVStatus(char* text, const char* payload, BYTE* out, DWORD* len);
// The status code of a record that starts at offset start of a zero-filled 1024-byte
// buffer: its bytes 21 and 22, big-endian; bytes past the buffer's end read as zero.
WORD StatusCodeAt(const BYTE* buffer, DWORD start);
void Base64Decode(const char* in, DWORD* len, BYTE* out);
BYTE Base64CharValue(char c);

// ---- status/codes.cpp ----
typedef struct _StatusCodeRow {
    WORD code;            // device status code; 0 ends the table
    DWORD printerStatus;  // PRINTER_STATUS_* bits to set
    DWORD markOffline;    // non-zero: add PRINTER_STATUS_OFFLINE, do not notify
} StatusCodeRow;
extern const StatusCodeRow StatusCodeTable[];
const StatusCodeRow* FindStatusCode(WORD code);
BOOL ApplyStatusCode(WORD code, PortContext* ctx, LPCSTR modelText);

// ---- status/query.cpp ----
BOOL QueryDeviceStatus(PortContext* ctx, BOOL signalIdle);
BOOL ProcessDeviceId(PortContext* ctx, char* reply, WORD len);
void CloseStatusMapping(PortContext* ctx);

// ---- status/poll.cpp ----
DWORD WINAPI StatusThreadProc(LPVOID param);
void ReleaseStatusResources(PortContext* ctx);
BOOL IsEcpPort(LPCSTR portName);
BOOL IsEcpPortBusy(PortContext* ctx, DWORD* jobCount);

// ---- status/pollstart.cpp ----
void StartStatusThread(PortContext* ctx);
BOOL HandOverStatusThread(PortContext* ctx);
void CloseStatusEvents(PortContext* ctx);

// ---- status/printerid.cpp: which printer a port carries ----
#define PORT_PRINTER_KEPT 0      // the handle serves a listed printer, or nothing is known
#define PORT_PRINTER_DELETED 1   // the spooler listed its printers without the port's printer
#define PORT_PRINTER_REOPENED 2  // the handle was gone and the port's name opened again
BOOL PrinterExists(LPCSTR printerName);
// Under csPort: follows the port's printer handle to the name it gives, when the spooler
// lists that name; tells a deleted printer; with reopen, replaces a gone handle by one
// opened by the port's name while that name is listed. when says who asks, for the trace.
int CheckPortPrinter(PortContext* ctx, BOOL reopen, LPCSTR when);
// Under csPort: an owned copy of the name the port's handle gives, else of printerName.
LPSTR PortPrinterName(PortContext* ctx);
// Under csPort, for the printer name the spooler gave StartDocPort: replaces a handle that
// is gone or names another printer by one opened by that name.
void ConfirmPrinterHandle(PortContext* ctx);

// ---- publish/block.cpp ----
BOOL PublishStatusBlock(const BYTE* block, WORD size, PortContext* ctx);
void BuildMappingName(PortContext* ctx, char* name);
// monitorName then portName, zero-filled, cut to NAME_BUFFER_SIZE - 1 characters: the
// status block's name, for the monitor and for its readers.
void JoinMappingName(LPCSTR monitorName, LPCSTR portName, char* name);

// ---- publish/notify.cpp ----
void NotifyStatusApp(PortContext* ctx, LPCSTR modelText, LPCSTR printerName);

#endif  // KVMON_MONITOR_KVMON_H
