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

// Sets the code's status bits on the printer when they or the code changed, and tells the
// companion application about codes that do not mark the printer offline. The compare and
// the SetPrinterA run under csPort, as does the reset in ClearWriteError, so the printer
// always ends up showing the status the context holds.
BOOL ApplyStatusCode(WORD code, PortContext* ctx, LPCSTR modelText)
{
    const StatusCodeRow* row = FindStatusCode(code);
    DWORD status = row != NULL ? row->printerStatus : 0;
    BOOL offline = row != NULL ? (row->markOffline != 0) : TRUE;
    BOOL notify = FALSE;

    if (offline)
        status |= PRINTER_STATUS_OFFLINE;

    EnterCriticalSection(&ctx->csPort);
    if (code != ctx->lastCode || status != ctx->printerStatus) {
        if (TRACE_WANTED(TRACE_DECISIONS))
            TraceCode(ctx, TRACE_DECISIONS, code, row, status,
                      offline ? "SetPrinterA called; offline, the companion is not told"
                                                      : "SetPrinterA called; the companion is told");
        SetPrinterA(ctx->hPrinter, 0, (LPBYTE)(ULONG_PTR)status, PRINTER_CONTROL_SET_STATUS);
        notify = !offline;
    } else {
        if (TRACE_WANTED(TRACE_QUERIES))
            TraceCode(ctx, TRACE_QUERIES, code, row, status, "unchanged, SetPrinterA skipped");
    }
    InterlockedExchange((LONG volatile*)&ctx->printerStatus, (LONG)status);
    ctx->lastCode = code;
    LeaveCriticalSection(&ctx->csPort);

    if (notify)
        NotifyStatusApp(ctx, modelText);
    return offline;
}
