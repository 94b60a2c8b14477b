// Applying a device status code to the spooler's printer.
#include "kvmon.h"

// The code event: the code, its table row (numbered from 1), the bits and what was done.
// A changed status is a decision; an unchanged one is traced with every query.
static void TraceCode(PortContext* ctx, DWORD level, WORD code, const StatusCodeRow* row, DWORD status,
                      LPCSTR action)
{
    if (row != NULL)
        TRACE(level, ctx->portName, "code", "%u (row %d), bits 0x%08X: %s", (unsigned)code,
              (int)(row - StatusCodeTable) + 1, (unsigned)status, action);
    else
        TRACE(level, ctx->portName, "code", "%u (not in the table), bits 0x%08X: %s", (unsigned)code,
              (unsigned)status, action);
}

// Sets the code's status bits through the port's printer handle; a handle that fails, or
// whose printer is being deleted, while a printer of the port's name is listed (reinstalled)
// is replaced by one opened by that name, and the bits are set through it. Then the port's
// name is checked against the handle, so that the port follows a renamed printer. Called
// under csPort.
static void SetPortPrinterStatus(PortContext* ctx, DWORD status)
{
    SetPrinterA(ctx->hPrinter, 0, (LPBYTE)(ULONG_PTR)status, PRINTER_CONTROL_SET_STATUS);
    if (CheckPortPrinter(ctx, TRUE, "status update") == PORT_PRINTER_REOPENED) {
        SetPrinterA(ctx->hPrinter, 0, (LPBYTE)(ULONG_PTR)status, PRINTER_CONTROL_SET_STATUS);
        CheckPortPrinter(ctx, FALSE, "status update");
    }
}

// Sets the code's status bits on the printer when they or the code changed, and tells the
// companion application about codes that do not mark the printer offline. The compare and
// the SetPrinterA run under csPort, as does the reset in ClearWriteError, so the printer
// always ends up showing the status the context holds. The companion is given the name of
// the printer whose bits were set, as its handle gives it right after: a rename, or a
// StartDocPort of another printer on the port, may come before the notification.
BOOL ApplyStatusCode(WORD code, PortContext* ctx, LPCSTR modelText)
{
    const StatusCodeRow* row = FindStatusCode(code);
    DWORD status = row != NULL ? row->printerStatus : 0;
    BOOL offline = row != NULL ? (row->markOffline != 0) : TRUE;
    LPSTR printerName = NULL;
    BOOL notify = FALSE;

    if (offline)
        status |= PRINTER_STATUS_OFFLINE;

    EnterCriticalSection(&ctx->csPort);
    if (code != ctx->lastCode || status != ctx->printerStatus) {
        if (TRACE_WANTED(TRACE_DECISIONS))
            TraceCode(ctx, TRACE_DECISIONS, code, row, status,
                      offline ? "SetPrinterA called; offline, the companion is not told"
                                                      : "SetPrinterA called; the companion is told");
        // Held before the bits are set: a good write that clears the printer's status
        // without the lock while it reads 0 must not come between the two.
        InterlockedExchange((LONG volatile*)&ctx->printerStatus, (LONG)status);
        SetPortPrinterStatus(ctx, status);
        notify = !offline;
        if (notify)
            printerName = PortPrinterName(ctx);
    } else {
        if (TRACE_WANTED(TRACE_QUERIES))
            TraceCode(ctx, TRACE_QUERIES, code, row, status, "unchanged, SetPrinterA skipped");
    }
    InterlockedExchange((LONG volatile*)&ctx->printerStatus, (LONG)status);
    ctx->lastCode = code;
    LeaveCriticalSection(&ctx->csPort);

    if (notify) {
        if (printerName != NULL || ctx->printerName == NULL)
            NotifyStatusApp(ctx, modelText, printerName);
        else
            TRACE(TRACE_DECISIONS, ctx->portName, "notify-skipped", "no memory for the printer's name");
    }
    FreeLocal(printerName);
    return offline;
}
