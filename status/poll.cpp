// The per-port polling thread, and the port and job queries it and the port operations use.
#include "kvmon.h"

// Size probe, allocation and second call of the port enumeration. Returns the zeroed
// buffer filled by the second call, or NULL when the probe did not ask for a buffer, the
// allocation failed or the second call failed. The caller frees the buffer.
static LPBYTE EnumPortsLevel2(DWORD* count)
{
    DWORD cb = 0;
    LPBYTE buffer;

    *count = 0;
    if (EnumPortsA(NULL, 2, NULL, 0, &cb, count) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return NULL;
    buffer = (LPBYTE)LocalAlloc(LMEM_ZEROINIT, cb);
    if (buffer == NULL)
        return NULL;
    if (!EnumPortsA(NULL, 2, buffer, cb, &cb, count)) {
        LocalFree(buffer);
        return NULL;
    }
    return buffer;
}

BOOL IsEcpPort(LPCSTR portName)
{
    DWORD count = 0;
    DWORD i;
    BOOL ecp = FALSE;
    LPBYTE buffer;

    if (portName == NULL)
        return FALSE;
    buffer = EnumPortsLevel2(&count);
    if (buffer == NULL)
        return FALSE;
    for (i = 0; i < count; i++) {
        PORT_INFO_2A* port = &((PORT_INFO_2A*)buffer)[i];
        if (port->pPortName != NULL &&
            CompareStringA(LOCALE_SYSTEM_DEFAULT, 0, port->pPortName, -1, portName, -1) == CSTR_EQUAL) {
            // Only the first port of that name is examined.
            LPCSTR description = port->pDescription != NULL ? port->pDescription : "";
            int length = lstrlenA(description);
            int at;
            for (at = 0; at + 3 <= length && !ecp; at++)
                ecp = CompareStringA(LOCALE_SYSTEM_DEFAULT, 0, description + at, 3, "ECP", 3) == CSTR_EQUAL;
            break;
        }
    }
    LocalFree(buffer);
    return ecp;
}

// An ECP port (the printer's configured port, by its description) with a job in the
// printer's queue. Under csPort, so hPrinter stays open for the whole test. *jobCount, when
// asked for, is the number of jobs in the printer's queue.
BOOL IsEcpPortBusy(PortContext* ctx, DWORD* jobCount)
{
    DWORD cb = 0;
    DWORD count = 0;
    LPBYTE printer = NULL;
    LPBYTE jobs = NULL;
    BOOL busy = FALSE;

    EnterCriticalSection(&ctx->csPort);
    if (ctx->hPrinter == NULL)
        goto done;
    if (GetPrinterA(ctx->hPrinter, 2, NULL, 0, &cb) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        goto done;
    printer = (LPBYTE)LocalAlloc(LMEM_ZEROINIT, cb);
    if (printer == NULL || !GetPrinterA(ctx->hPrinter, 2, printer, cb, &cb))
        goto done;
    if (!IsEcpPort(((PRINTER_INFO_2A*)printer)->pPortName))
        goto done;
    if (jobCount != NULL)
        *jobCount = ((PRINTER_INFO_2A*)printer)->cJobs;

    cb = 0;
    if (EnumJobsA(ctx->hPrinter, 0, 1, 1, NULL, 0, &cb, &count) || GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
        cb == 0)
        goto done;
    jobs = (LPBYTE)LocalAlloc(LMEM_ZEROINIT, cb);
    if (jobs == NULL)
        goto done;
    busy = EnumJobsA(ctx->hPrinter, 0, 1, 1, jobs, cb, &cb, &count) && count > 0;
done:
    LeaveCriticalSection(&ctx->csPort);
    FreeLocal(printer);
    FreeLocal(jobs);
    return busy;
}

// Clears the printer's status bits (printerStatus keeps its value) and closes both events.
// Called under g_csPorts.
void ReleaseStatusResources(PortContext* ctx)
{
    EnterCriticalSection(&ctx->csPort);
    if (ctx->hPrinter != NULL)
        SetPrinterA(ctx->hPrinter, 0, NULL, PRINTER_CONTROL_SET_STATUS);
    LeaveCriticalSection(&ctx->csPort);
    CloseStatusEvents(ctx);
}

// Whether the port's printer was deleted: the spooler listed its printers without it. On
// the way the port follows a renamed printer to the name its handle gives (printerid.cpp).
// A failed enumeration (a transient spooler or memory failure) proves nothing, and ending
// the thread on it would end the document of the job that is printing.
static BOOL StatusPrinterVanished(PortContext* ctx)
{
    BOOL gone;

    EnterCriticalSection(&ctx->csPort);
    gone = CheckPortPrinter(ctx, FALSE, "poll") == PORT_PRINTER_DELETED;
    LeaveCriticalSection(&ctx->csPort);
    return gone;
}

// After the pause that follows a vanished printer: looks once more, under the port's current
// name (a document started meanwhile may have brought a printer that exists). TRUE when the
// printer is still gone and no document started during the look-up; then PCF_THREAD_RUN is
// cleared and *heldDoc names the document that may still be open for this printer. The
// thread ends that document only; a later one belongs to a printer that exists.
static BOOL ConfirmPrinterGone(PortContext* ctx, DWORD* heldDoc)
{
    DWORD serial;
    BOOL gone = FALSE;

    EnterCriticalSection(&g_csPorts);
    serial = ctx->docSerial;
    LeaveCriticalSection(&g_csPorts);
    if (!StatusPrinterVanished(ctx))
        return FALSE;

    // Under g_csPorts, where documents are opened and EndDocPort decides whether the thread
    // holds a document: from here on every new document is ended by its own EndDocPort.
    EnterCriticalSection(&g_csPorts);
    if (ctx->docSerial == serial) {
        *heldDoc = serial;
        ClearFlags(ctx, PCF_THREAD_RUN);
        gone = TRUE;
    }
    LeaveCriticalSection(&g_csPorts);
    if (!gone)
        TRACE(TRACE_DECISIONS, ctx->portName, "printer-back", "a new document started while looking: polling goes on");
    return gone;
}

// Says what woke the thread, as its flags tell it. A timeout between idle polls is a query
// level event; every other wake-up is a decision.
static void TraceWake(PortContext* ctx, DWORD wait)
{
    LPCSTR why;

    if (wait == WAIT_TIMEOUT) {
        TRACE(TRACE_QUERIES, ctx->portName, "thread-wake", "timeout after %u ms", (unsigned)g_dwReadCycle);
        return;
    }
    if (!TestFlags(ctx, PCF_THREAD_RUN))
        why = "ClosePort";
    else if (TestFlags(ctx, PCF_STATUS_REQUEST))
        why = "a status request";
    else if (TestFlags(ctx, PCF_WRITE_ERROR))
        why = "a write error";
    else if (!TestFlags(ctx, PCF_JOB_ACTIVE))
        why = "the end of the document";
    else
        why = "a new document";
    TRACE(TRACE_DECISIONS, ctx->portName, "thread-wake", "woken by %s", why);
}

DWORD WINAPI StatusThreadProc(LPVOID param)
{
    PortContext* ctx = (PortContext*)param;
    BOOL printerGone = FALSE;
    DWORD heldDoc = 0;
    DWORD jobs = 0;
    DWORD wait;

    TRACE(TRACE_DECISIONS, ctx->portName, "thread-start", "thread %u polls every %u ms",
          (unsigned)GetCurrentThreadId(), (unsigned)g_dwReadCycle);
    while (TestFlags(ctx, PCF_THREAD_RUN)) {
        RefreshTraceSettings(g_dwReadCycle);
        if (StatusPrinterVanished(ctx)) {
            // The printer was deleted: pause once more, then end unless it is back.
            TRACE(TRACE_DECISIONS, ctx->portName, "printer-gone", "the printer is no longer listed: looking again in %u ms",
                  (unsigned)g_dwReadCycle);
            Sleep(g_dwReadCycle);
            printerGone = ConfirmPrinterGone(ctx, &heldDoc);
            continue;
        }
        if (!TestFlags(ctx, PCF_JOB_ACTIVE) || TestFlags(ctx, PCF_WRITE_ERROR) ||
            TestFlags(ctx, PCF_STATUS_REQUEST)) {
            if (IsEcpPortBusy(ctx, &jobs)) {
                TRACE(TRACE_DECISIONS, ctx->portName, "thread-backoff", "ECP port, %u job(s) queued: no query for %u ms",
                      (unsigned)jobs, (unsigned)ECP_BACKOFF_MS);
                Sleep(ECP_BACKOFF_MS);
            } else {
                QueryDeviceStatus(ctx, TRUE);
                wait = WaitForSingleObject(ctx->hWakeEvent, g_dwReadCycle);
                if (TRACE_WANTED(TRACE_DECISIONS))
                    TraceWake(ctx, wait);
            }
        } else if (TestFlags(ctx, PCF_JOB_ACTIVE)) {
            // A job prints normally: sleep until a write fails, a client asks, the job
            // ends or the port closes.
            TRACE(TRACE_DECISIONS, ctx->portName, "thread-park",
                  "a job prints: no queries until a write fails, a client asks, the document ends or the port closes");
            wait = WaitForSingleObject(ctx->hWakeEvent, INFINITE);
            if (TRACE_WANTED(TRACE_DECISIONS))
                TraceWake(ctx, wait);
        }
    }
    TRACE(TRACE_DECISIONS, ctx->portName, "thread-end", "%s",
          printerGone ? "the printer was deleted" : "the port was closed");

    // The query lock first, outside g_csPorts: it waits for a device query to come back.
    EnterCriticalSection(&ctx->csQuery);
    CloseStatusMapping(ctx);
    LeaveCriticalSection(&ctx->csQuery);

    EnterCriticalSection(&g_csPorts);
    ReleaseStatusResources(ctx);
    // Only the document that was open for the deleted printer; ClosePort ends the document
    // itself, and a later document belongs to its own job.
    if (printerGone && ctx->docSerial == heldDoc && TakeFlag(ctx, PCF_DOC_STARTED)) {
        TRACE(TRACE_DECISIONS, ctx->portName, "doc-end", "document %u ended by the polling thread: its printer was deleted",
              (unsigned)heldDoc);
        EndMonitorDocument(ctx);
    }
    // A document that opened while this thread was ending gets its own thread now, which
    // takes PCF_THREAD_ALIVE over. Otherwise this is the last use of the context: ClosePort
    // may delete it once it has the lock.
    if (!HandOverStatusThread(ctx))
        ClearFlags(ctx, PCF_THREAD_ALIVE);
    LeaveCriticalSection(&g_csPorts);
    return 0;
}
