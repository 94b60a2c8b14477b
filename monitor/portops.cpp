// The seven operations of the monitor table: print data passes through to the port monitor,
// and around it the port's context follows the spooler's job and hands over to the polling thread.
#include <string.h>

#include "kvmon.h"

static const char c_szPrinterStatus[] = "Printer Status";

// The handle is ours when it is not NULL and starts with our signature.
static PortContext* ValidatePort(HANDLE hPort)
{
    PortContext* ctx = (PortContext*)hPort;

    if (ctx == NULL || ctx->signature != PORT_CONTEXT_SIGNATURE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    return ctx;
}

// Calls the port monitor's EndDocPort for the document that was open; a table without that
// slot is never called through it.
void EndMonitorDocument(PortContext* ctx)
{
    if (ctx->portMonitor.pfnEndDocPort != NULL)
        ctx->portMonitor.pfnEndDocPort(ctx->hMonitorPort);
}

// Wakes the polling thread, if one holds its events. Under g_csPorts: the thread closes
// its events only while it holds that lock, so the handle used here is never one that was
// just closed.
void WakeStatusThread(PortContext* ctx)
{
    EnterCriticalSection(&g_csPorts);
    if (ctx->hWakeEvent != NULL)
        SetEvent(ctx->hWakeEvent);
    LeaveCriticalSection(&g_csPorts);
}

void MarkWriteError(PortContext* ctx)
{
    SetFlags(ctx, PCF_WRITE_ERROR);
    if (TestFlags(ctx, PCF_THREAD_RUN))
        WakeStatusThread(ctx);
}

// After a write that got through: the printer shows no status any more. The status is
// reset under csPort, the lock ApplyStatusCode holds for its compare-and-set, so the printer
// never keeps a status that the context no longer holds.
void ClearWriteError(PortContext* ctx)
{
    if (TestFlags(ctx, PCF_WRITE_ERROR))
        ClearFlags(ctx, PCF_WRITE_ERROR);
    if (ReadPrinterStatus(ctx) == 0)
        return;  // the common case takes no lock
    EnterCriticalSection(&ctx->csPort);
    if (ctx->printerStatus != 0) {
        TRACE(TRACE_DECISIONS, ctx->portName, "status-cleared", "a write got through: status 0x%08X cleared",
              (unsigned)ctx->printerStatus);
        InterlockedExchange((LONG volatile*)&ctx->printerStatus, 0);
        SetPrinterA(ctx->hPrinter, 0, NULL, PRINTER_CONTROL_SET_STATUS);
    }
    LeaveCriticalSection(&ctx->csPort);
}

BOOL WINAPI OpenPortEx(LPSTR pPortName, LPSTR pPrinterName, PHANDLE pHandle, MONITOR* pMonitor)
{
    PortContext* ctx = NULL;
    BOOL result = FALSE;

    if (pMonitor == NULL || pMonitor->pfnOpenPort == NULL || pMonitor->pfnStartDocPort == NULL ||
        pMonitor->pfnWritePort == NULL || pMonitor->pfnReadPort == NULL || pMonitor->pfnClosePort == NULL) {
        SetLastError(ERROR_INVALID_PRINT_MONITOR);
        return FALSE;
    }
    if (pHandle == NULL || pPortName == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    EnterCriticalSection(&g_csPorts);
    if (FindPortContext(pPortName) != NULL) {
        SetLastError(ERROR_BUSY);
        goto done;
    }
    ctx = CreatePortContext(pPortName, pPrinterName);
    if (ctx == NULL)
        goto done;
    if (!pMonitor->pfnOpenPort(pPortName, &ctx->hMonitorPort)) {
        DeletePortContext(ctx);
        goto done;
    }
    memcpy(&ctx->portMonitor, pMonitor, sizeof(MONITOR));
    *pHandle = (HANDLE)ctx;
    result = TRUE;
done:
    LeaveCriticalSection(&g_csPorts);
    return result;
}

// Ends the document held open for polling before a new one starts, and lets a query in
// flight finish. A thread that found its printer gone clears PCF_THREAD_RUN just before its
// exit cleanup; the new document first waits for that cleanup (by the tick count, at most
// g_dwReadCycle ms), so that it can start a thread of its own. A thread that ends later
// than that hands the port over to the next one itself (StartStatusThread). The
// held document is taken under g_csPorts, where the exit cleanup decides whether it ends
// the document it saw open: exactly one of the two ends it, and a document opened after
// this never by the thread, even when the wait ran out.
static void EndHeldDocument(PortContext* ctx)
{
    DWORD start = GetTickCount();
    HANDLE hIdle = NULL;
    BOOL held;

    while (!TestFlags(ctx, PCF_THREAD_RUN) && TestFlags(ctx, PCF_THREAD_ALIVE) &&
           GetTickCount() - start < g_dwReadCycle)
        Sleep(10);

    EnterCriticalSection(&g_csPorts);
    held = TakeFlag(ctx, PCF_DOC_STARTED);
    if (held && TestFlags(ctx, PCF_THREAD_RUN))
        hIdle = ctx->hIdleEvent;
    if (held)
        TRACE(TRACE_DECISIONS, ctx->portName, "doc-end", "document %u, held open for polling, ended by StartDocPort",
              (unsigned)ctx->docSerial);
    LeaveCriticalSection(&g_csPorts);
    if (held) {
        EndMonitorDocument(ctx);
        if (hIdle != NULL)
            WaitForSingleObject(hIdle, g_dwReadCycle);
    }
}

// Marks the port monitor's document open, as a new document: the thread's exit cleanup tells
// it from the one it saw open by its number.
static void MarkDocumentOpen(PortContext* ctx)
{
    EnterCriticalSection(&g_csPorts);
    ctx->docSerial++;
    SetFlags(ctx, PCF_DOC_STARTED);
    LeaveCriticalSection(&g_csPorts);
}

// The connection-failure prompt: Retry restarts the job, Cancel cancels it.
static void PromptConnectionFailure(LPCSTR portName, LPSTR pPrinterName, DWORD JobId, LPBYTE pDocInfo)
{
    DOC_INFO_1A* docInfo = (DOC_INFO_1A*)pDocInfo;
    CHAR text[MESSAGE_BUFFER_SIZE];
    HANDLE hPrinter = NULL;
    int answer;

    // g_szMessage is shared by every port: load and copy it under the lock, show the copy.
    EnterCriticalSection(&g_csPorts);
    LoadStringA(g_hInstance, IDS_CONNECT_FAILED, g_szMessage, MESSAGE_BUFFER_SIZE);
    memcpy(text, g_szMessage, sizeof(text));
    LeaveCriticalSection(&g_csPorts);

    if (docInfo->pDocName == NULL || docInfo->pDocName[0] == '\0' || docInfo->pDatatype == NULL) {
        TRACE(TRACE_DECISIONS, portName, "prompt", "not shown: job %u has no document name or data type",
              (unsigned)JobId);
        return;
    }
    answer = MessageBoxA(NULL, text, pPrinterName, MB_SYSTEMMODAL | MB_RETRYCANCEL);
    TRACE(TRACE_DECISIONS, portName, "prompt", "shown for job %u: answer %s", (unsigned)JobId,
          answer == IDRETRY ? "Retry, the job is restarted" : "Cancel, the job is cancelled");
    if (OpenPrinterA(pPrinterName, &hPrinter, NULL)) {
        SetJobA(hPrinter, JobId, 0, NULL, answer == IDRETRY ? JOB_CONTROL_RESTART : JOB_CONTROL_CANCEL);
        ClosePrinter(hPrinter);
    } else {
        TRACE(TRACE_DECISIONS, portName, "prompt", "the answer is lost: OpenPrinterA failed (error %u)",
              (unsigned)GetLastError());
    }
}

BOOL WINAPI StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo)
{
    PortContext* ctx = ValidatePort(hPort);
    DWORD error;

    if (ctx == NULL)
        return FALSE;
    if (pDocInfo == NULL || pPrinterName == NULL || pPrinterName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Test and set in one step: two documents cannot both become active.
    if (InterlockedOr(&ctx->flags, PCF_JOB_ACTIVE) & PCF_JOB_ACTIVE) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    ClearFlags(ctx, PCF_WRITE_ERROR);
    EnterCriticalSection(&ctx->csPort);
    ctx->lastCode = 0;
    LeaveCriticalSection(&ctx->csPort);

    EndHeldDocument(ctx);

    if (ctx->portMonitor.pfnStartDocPort(ctx->hMonitorPort, pPrinterName, JobId, Level, pDocInfo)) {
        // The name is current before a new thread can look the printer up.
        UpdatePrinterName(ctx, pPrinterName);
        MarkDocumentOpen(ctx);
        TRACE(TRACE_DECISIONS, ctx->portName, "doc-start", "job %u is document %u at the port monitor", (unsigned)JobId,
              (unsigned)ctx->docSerial);
        if (!TestFlags(ctx, PCF_THREAD_RUN))
            StartStatusThread(ctx);
        if (TestFlags(ctx, PCF_FIRST_QUERY)) {
            QueryDeviceStatus(ctx, FALSE);
            ClearFlags(ctx, PCF_FIRST_QUERY);
        }
        return TRUE;
    }

    // The spooler reads the port monitor's reason, not what the prompt left behind.
    error = GetLastError();
    TRACE(TRACE_DECISIONS, ctx->portName, "doc-refused", "the port monitor did not start job %u (error %u)",
          (unsigned)JobId, (unsigned)error);
    PromptConnectionFailure(ctx->portName, pPrinterName, JobId, pDocInfo);
    ClearFlags(ctx, PCF_JOB_ACTIVE);
    SetLastError(error);
    return FALSE;
}

BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten)
{
    PortContext* ctx = ValidatePort(hPort);
    BOOL result;

    if (ctx == NULL)
        return FALSE;
    if (pcbWritten == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!TestFlags(ctx, PCF_DOC_STARTED)) {
        *pcbWritten = 0;
        return FALSE;
    }
    result = ctx->portMonitor.pfnWritePort(ctx->hMonitorPort, pBuffer, cbBuf, pcbWritten);
    if (!result || *pcbWritten == 0) {
        TRACE(TRACE_DECISIONS, ctx->portName, "write-failed", "%u bytes: %s (error %u), %u written: status query",
              (unsigned)cbBuf, result ? "TRUE" : "FALSE", result ? 0u : (unsigned)GetLastError(),
              (unsigned)*pcbWritten);
        MarkWriteError(ctx);
    } else if (TestFlags(ctx, PCF_WRITE_ERROR) || ReadPrinterStatus(ctx) != 0) {
        // Tested here, so that the common write (no error, no status shown) makes no call.
        ClearWriteError(ctx);
    }
    return result;
}

BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    PortContext* ctx = ValidatePort(hPort);

    if (ctx == NULL)
        return FALSE;
    if (pcbRead == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!TestFlags(ctx, PCF_DOC_STARTED)) {
        *pcbRead = 0;
        return FALSE;
    }
    if (IsEcpPortBusy(ctx, NULL))
        return FALSE;
    return ctx->portMonitor.pfnReadPort(ctx->hMonitorPort, pBuffer, cbBuffer, pcbRead);
}

BOOL WINAPI EndDocPort(HANDLE hPort)
{
    PortContext* ctx = ValidatePort(hPort);

    if (ctx == NULL)
        return FALSE;

    EnterCriticalSection(&g_csPorts);
    ClearFlags(ctx, PCF_JOB_ACTIVE);
    if (TestFlags(ctx, PCF_THREAD_RUN | PCF_THREAD_NEXT)) {
        // The document stays open at the port monitor for the thread's queries (a thread
        // owed by an ending one starts on it when that one has gone).
        TRACE(TRACE_DECISIONS, ctx->portName, "doc-held", "document %u stays open for the polling thread's queries",
              (unsigned)ctx->docSerial);
        WakeStatusThread(ctx);
    } else {
        ReleaseStatusResources(ctx);
        if (TakeFlag(ctx, PCF_DOC_STARTED)) {
            TRACE(TRACE_DECISIONS, ctx->portName, "doc-end", "document %u ended by EndDocPort", (unsigned)ctx->docSerial);
            EndMonitorDocument(ctx);
        }
    }
    LeaveCriticalSection(&g_csPorts);
    return TRUE;
}

BOOL WINAPI ClosePort(HANDLE hPort)
{
    PortContext* ctx = ValidatePort(hPort);

    if (ctx == NULL)
        return FALSE;

    // A running thread and one owed by an ending thread are stopped in one step: the
    // ending thread's exit starts no thread after this.
    if (InterlockedAnd(&ctx->flags, ~(LONG)(PCF_THREAD_RUN | PCF_THREAD_NEXT)) &
        (PCF_THREAD_RUN | PCF_THREAD_NEXT)) {
        if (TakeFlag(ctx, PCF_DOC_STARTED)) {
            TRACE(TRACE_DECISIONS, ctx->portName, "doc-end", "document %u ended by ClosePort", (unsigned)ctx->docSerial);
            EndMonitorDocument(ctx);
        }
        WakeStatusThread(ctx);
    }
    // Wait for the thread's exit cleanup, also when the thread is ending by itself because
    // its printer vanished: the context must outlive every use the thread makes of it.
    while (TestFlags(ctx, PCF_THREAD_ALIVE))
        Sleep(500);

    ctx->portMonitor.pfnClosePort(ctx->hMonitorPort);

    EnterCriticalSection(&g_csPorts);
    DeletePortContext(ctx);
    LeaveCriticalSection(&g_csPorts);
    return TRUE;
}

BOOL WINAPI GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer,
                                   DWORD cbInBuffer, LPSTR lpOutBuffer, DWORD cbOutBuffer, LPDWORD lpcbReturned)
{
    PortContext* ctx = ValidatePort(hPort);
    BOOL refresh = FALSE;

    if (ctx == NULL)
        return FALSE;
    if (!TestFlags(ctx, PCF_DOC_STARTED)) {
        TRACE(TRACE_DECISIONS, ctx->portName, "request-refused", "no document is open at the port monitor");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    if (ControlID != 0) {
        // A device request for the port monitor.
        if (ctx->portMonitor.pfnGetPrinterDataFromPort == NULL || IsEcpPortBusy(ctx, NULL)) {
            TRACE(TRACE_DECISIONS, ctx->portName, "request-refused", "device request 0x%08X: %s", (unsigned)ControlID,
                  ctx->portMonitor.pfnGetPrinterDataFromPort == NULL ? "the port monitor has no GetPrinterDataFromPort"
                                                                     : "an ECP port with jobs queued");
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return ctx->portMonitor.pfnGetPrinterDataFromPort(ctx->hMonitorPort, ControlID, pValueName, lpInBuffer,
                                                          cbInBuffer, lpOutBuffer, cbOutBuffer, lpcbReturned);
    }

    // A "Printer Status" request: wake the thread for a fresh query and wait for it. The
    // request itself never returns data; its effect is what the query publishes.
    if (pValueName != NULL && lstrcmpiA(pValueName, c_szPrinterStatus) == 0 && TestFlags(ctx, PCF_THREAD_RUN) &&
        ReadHandle(&ctx->hMapping) == NULL) {
        HANDLE hIdle = NULL;
        EnterCriticalSection(&g_csPorts);
        if (TestFlags(ctx, PCF_THREAD_RUN) && ctx->hIdleEvent != NULL && ctx->hWakeEvent != NULL) {
            // The request flag goes up before the wake-up: a thread parked during a job
            // that woke without seeing it would park again and never query.
            hIdle = ctx->hIdleEvent;
            ResetEvent(hIdle);
            SetFlags(ctx, PCF_STATUS_REQUEST);
            SetEvent(ctx->hWakeEvent);
            refresh = TRUE;
        }
        LeaveCriticalSection(&g_csPorts);
        if (refresh) {
            TRACE(TRACE_DECISIONS, ctx->portName, "status-request", "the polling thread is asked for a query");
            WaitForSingleObject(hIdle, g_dwReadCycle);
            ClearFlags(ctx, PCF_STATUS_REQUEST);
        }
    }
    if (!refresh)
        TRACE(TRACE_DECISIONS, ctx->portName, "status-request", "not refreshed: %s",
              pValueName == NULL || lstrcmpiA(pValueName, c_szPrinterStatus) != 0 ? "not a \"Printer Status\" request"
              : !TestFlags(ctx, PCF_THREAD_RUN)                                     ? "no polling thread"
              : ReadHandle(&ctx->hMapping) != NULL                                  ? "a status block is published"
                                                                                    : "the polling thread is ending");
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
