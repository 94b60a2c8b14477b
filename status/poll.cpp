// The per-port polling thread and the printer and port queries it and the port operations use.
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

// Looks printerName up among the local printers (size probe, allocation, second call).
// FALSE when the answer is unknown: the probe failed otherwise than asking for a buffer,
// the allocation failed or the second call failed. Otherwise TRUE, with *found telling
// whether the printer is listed; a probe that succeeds lists no printer at all.
static BOOL LookUpPrinter(LPCSTR printerName, BOOL* found)
{
    DWORD cb = 0;
    DWORD count = 0;
    DWORD i;
    LPBYTE buffer;

    *found = FALSE;
    if (EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 2, NULL, 0, &cb, &count))
        return TRUE;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return FALSE;
    buffer = (LPBYTE)LocalAlloc(LMEM_ZEROINIT, cb);
    if (buffer == NULL)
        return FALSE;
    if (!EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 2, buffer, cb, &cb, &count)) {
        LocalFree(buffer);
        return FALSE;
    }
    for (i = 0; i < count && !*found; i++) {
        LPCSTR name = ((PRINTER_INFO_2A*)buffer)[i].pPrinterName;
        *found = name != NULL && printerName != NULL && lstrcmpiA(name, printerName) == 0;
    }
    LocalFree(buffer);
    return TRUE;
}

BOOL PrinterExists(LPCSTR printerName)
{
    BOOL found = FALSE;

    return LookUpPrinter(printerName, &found) && found;
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
// printer's queue. Under csPort, so hPrinter stays open for the whole test.
BOOL IsEcpPortBusy(PortContext* ctx)
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

// Closes the thread's events, the wake event first, and sets their fields to NULL.
// Called under g_csPorts.
static void CloseStatusEvents(PortContext* ctx)
{
    HANDLE hEvent;

    hEvent = InterlockedExchangePointer((PVOID volatile*)&ctx->hWakeEvent, NULL);
    if (hEvent != NULL)
        CloseHandle(hEvent);
    hEvent = InterlockedExchangePointer((PVOID volatile*)&ctx->hIdleEvent, NULL);
    if (hEvent != NULL)
        CloseHandle(hEvent);
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

void StartStatusThread(PortContext* ctx)
{
    HANDLE hThread = NULL;
    DWORD threadId = 0;

    if ((!IsUsbPort(ctx->portName) && !IsLptPort(ctx->portName)) || ctx->portMonitor.pfnGetPrinterDataFromPort == NULL)
        return;

    EnterCriticalSection(&g_csPorts);
    // A thread that is still ending holds the events; never start a second one beside it.
    if (TestFlags(ctx, PCF_THREAD_ALIVE))
        goto done;

    SetFlags(ctx, PCF_THREAD_RUN);
    ctx->hIdleEvent = CreateEventA(NULL, TRUE, TRUE, NULL);
    ctx->hWakeEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (ctx->hIdleEvent != NULL && ctx->hWakeEvent != NULL) {
        SetFlags(ctx, PCF_THREAD_ALIVE);
        hThread = CreateThread(NULL, STATUS_THREAD_STACK, StatusThreadProc, ctx, 0, &threadId);
    }
    if (hThread != NULL) {
        SetFlags(ctx, PCF_FIRST_QUERY);
        SetThreadPriority(hThread, THREAD_PRIORITY_LOWEST);
        CloseHandle(hThread);
    } else {
        // No thread without both events: nothing of the attempt is left behind.
        ClearFlags(ctx, PCF_THREAD_RUN | PCF_THREAD_ALIVE);
        CloseStatusEvents(ctx);
    }
done:
    LeaveCriticalSection(&g_csPorts);
}

// The thread ends only when the spooler listed its printers and this one was not among
// them. A failed enumeration (a transient spooler or memory failure) proves nothing, and
// ending the thread on it would end the document of the job that is printing.
static BOOL StatusPrinterVanished(PortContext* ctx)
{
    BOOL found = FALSE;
    BOOL listed;

    EnterCriticalSection(&ctx->csPort);
    listed = LookUpPrinter(ctx->printerName, &found);
    LeaveCriticalSection(&ctx->csPort);
    return listed && !found;
}

DWORD WINAPI StatusThreadProc(LPVOID param)
{
    PortContext* ctx = (PortContext*)param;

    while (TestFlags(ctx, PCF_THREAD_RUN)) {
        if (StatusPrinterVanished(ctx)) {
            // The printer was deleted or renamed: pause once more, then end.
            Sleep(g_dwReadCycle);
            ClearFlags(ctx, PCF_THREAD_RUN);
            continue;
        }
        if (!TestFlags(ctx, PCF_JOB_ACTIVE) || TestFlags(ctx, PCF_WRITE_ERROR) ||
            TestFlags(ctx, PCF_STATUS_REQUEST)) {
            if (IsEcpPortBusy(ctx)) {
                Sleep(ECP_BACKOFF_MS);
            } else {
                QueryDeviceStatus(ctx, TRUE);
                WaitForSingleObject(ctx->hWakeEvent, g_dwReadCycle);
            }
        } else if (TestFlags(ctx, PCF_JOB_ACTIVE)) {
            // A job prints normally: sleep until a write fails, a client asks, the job
            // ends or the port closes.
            WaitForSingleObject(ctx->hWakeEvent, INFINITE);
        }
    }

    EnterCriticalSection(&g_csPorts);
    ReleaseStatusResources(ctx);
    if (TakeFlag(ctx, PCF_DOC_STARTED))
        EndMonitorDocument(ctx);
    EnterCriticalSection(&ctx->csQuery);
    CloseStatusMapping(ctx);
    LeaveCriticalSection(&ctx->csQuery);
    // Last use of the context: ClosePort may delete it once it has the lock.
    ClearFlags(ctx, PCF_THREAD_ALIVE);
    LeaveCriticalSection(&g_csPorts);
    return 0;
}
