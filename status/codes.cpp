// Applying a device status code to the spooler's printer.
#include "kvmon.h"

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
        TRACE(TRACE_DECISIONS, ctx->portName, "code", "%u (row %d), bits 0x%08X: SetPrinterA called; %s",
              (unsigned)code, row != NULL ? (int)(row - StatusCodeTable) + 1 : 0, (unsigned)status,
              offline ? "offline, the companion is not told" : "the companion is told");
        SetPrinterA(ctx->hPrinter, 0, (LPBYTE)(ULONG_PTR)status, PRINTER_CONTROL_SET_STATUS);
        notify = !offline;
    } else {
        TRACE(TRACE_QUERIES, ctx->portName, "code", "%u (row %d), bits 0x%08X: unchanged, SetPrinterA skipped",
              (unsigned)code, row != NULL ? (int)(row - StatusCodeTable) + 1 : 0, (unsigned)status);
    }
    InterlockedExchange((LONG volatile*)&ctx->printerStatus, (LONG)status);
    ctx->lastCode = code;
    LeaveCriticalSection(&ctx->csPort);

    if (notify)
        NotifyStatusApp(ctx, modelText);
    return offline;
}
