// Port contexts, the open-port list, and the port-name tests that decide which ports are polled.
#include "kvmon.h"

static BOOL PortNameHasPrefix(LPCSTR portName, LPCSTR prefix)
{
    // The first three characters of the name against the whole prefix, with case.
    if (portName == NULL)
        return FALSE;
    return CompareStringA(LOCALE_SYSTEM_DEFAULT, 0, portName, 3, prefix, -1) == CSTR_EQUAL;
}

BOOL IsUsbPort(LPCSTR portName)
{
    return PortNameHasPrefix(portName, "USB");
}

BOOL IsLptPort(LPCSTR portName)
{
    return PortNameHasPrefix(portName, "LPT");
}

// Replaces an owned string field with a copy of value (NULL stays NULL).
static void ReplaceOwnedString(LPSTR* field, LPCSTR value)
{
    FreeLocal(*field);
    *field = StrDupLocal(value);
}

// Fills monitorName from the driver's DRIVER_INFO_3 and driverName from PRINTER_INFO_2.
// Callers that share the context hold ctx->csPort.
void FetchPrinterInfo(PortContext* ctx)
{
    DWORD cb = 0;
    LPBYTE buffer = NULL;

    if (ctx->hPrinter == NULL)
        return;

    // Only the reported size counts for the driver query.
    GetPrinterDriverA(ctx->hPrinter, NULL, 3, NULL, 0, &cb);
    if (cb != 0) {
        buffer = (LPBYTE)LocalAlloc(LMEM_ZEROINIT, cb);
        if (buffer != NULL) {
            GetPrinterDriverA(ctx->hPrinter, NULL, 3, buffer, cb, &cb);
            if (((DRIVER_INFO_3A*)buffer)->pMonitorName != NULL)
                ReplaceOwnedString(&ctx->monitorName, ((DRIVER_INFO_3A*)buffer)->pMonitorName);
            LocalFree(buffer);
            buffer = NULL;
        }
    }

    cb = 0;
    if (GetPrinterA(ctx->hPrinter, 2, NULL, 0, &cb))
        return;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return;
    buffer = (LPBYTE)LocalAlloc(LMEM_ZEROINIT, cb);
    if (buffer == NULL)
        return;
    // A failed call leaves the zeroed buffer, whose fields read as NULL.
    GetPrinterA(ctx->hPrinter, 2, buffer, cb, &cb);
    if (((PRINTER_INFO_2A*)buffer)->pDriverName != NULL)
        ReplaceOwnedString(&ctx->driverName, ((PRINTER_INFO_2A*)buffer)->pDriverName);
    LocalFree(buffer);
}

// The caller holds g_csPorts.
PortContext* CreatePortContext(LPCSTR portName, LPCSTR printerName)
{
    PortContext* ctx = (PortContext*)LocalAlloc(LMEM_ZEROINIT, sizeof(PortContext));
    PortContext** tail = &g_pPortList;

    if (ctx == NULL)
        return NULL;

    ctx->signature = PORT_CONTEXT_SIGNATURE;
    ctx->portName = StrDupLocal(portName);
    ctx->printerName = StrDupLocal(printerName);
    // A context without its names could not be found as busy nor polled: refuse it.
    if ((portName != NULL && ctx->portName == NULL) || (printerName != NULL && ctx->printerName == NULL)) {
        FreeLocal(ctx->portName);
        FreeLocal(ctx->printerName);
        LocalFree(ctx);
        return NULL;
    }
    ctx->next = NULL;
    ctx->hPrinter = NULL;
    InitializeCriticalSection(&ctx->csPort);
    InitializeCriticalSection(&ctx->csQuery);

    if (ctx->printerName != NULL && !OpenPrinterA(ctx->printerName, &ctx->hPrinter, NULL))
        ctx->hPrinter = NULL;
    FetchPrinterInfo(ctx);

    while (*tail != NULL)
        tail = &(*tail)->next;
    *tail = ctx;
    return ctx;
}

// The caller holds g_csPorts.
PortContext* FindPortContext(LPCSTR portName)
{
    PortContext* ctx;

    if (portName == NULL || portName[0] == '\0')
        return NULL;
    for (ctx = g_pPortList; ctx != NULL; ctx = ctx->next) {
        if (ctx->portName != NULL && lstrcmpiA(ctx->portName, portName) == 0)
            return ctx;
    }
    return NULL;
}

// Unlinks and frees the context. Its events and mapping were released before.
// The caller holds g_csPorts.
BOOL DeletePortContext(PortContext* ctx)
{
    PortContext** link = &g_pPortList;

    while (*link != NULL && *link != ctx)
        link = &(*link)->next;
    if (*link == NULL)
        return FALSE;
    *link = ctx->next;

    if (ctx->hPrinter != NULL) {
        ClosePrinter(ctx->hPrinter);
        ctx->hPrinter = NULL;
    }
    FreeLocal(ctx->portName);
    FreeLocal(ctx->printerName);
    FreeLocal(ctx->monitorName);
    FreeLocal(ctx->driverName);
    DeleteCriticalSection(&ctx->csPort);
    DeleteCriticalSection(&ctx->csQuery);
    ctx->signature = 0;
    LocalFree(ctx);
    return TRUE;
}

// Follows a printer name that differs (with case) from the stored one, and for the same
// name makes sure the handle still serves the printer of that name. The polling thread
// uses printerName and hPrinter only under ctx->csPort, so it never sees a freed name or a
// closed handle while they are replaced here. A failed copy keeps the previous name and
// handle: a port without a name would look like one whose printer was deleted.
void UpdatePrinterName(PortContext* ctx, LPCSTR printerName)
{
    LPSTR copy = NULL;
    BOOL wasOpen;

    EnterCriticalSection(&g_csPorts);
    EnterCriticalSection(&ctx->csPort);
    if (ctx->printerName == NULL || lstrcmpA(printerName, ctx->printerName) != 0) {
        copy = StrDupLocal(printerName);
        if (copy == NULL)
            goto done;
        FreeLocal(ctx->printerName);
        ctx->printerName = copy;
        wasOpen = ctx->hPrinter != NULL;
        if (wasOpen) {
            // The port leaves this printer: it keeps no status bits the port set on it, which
            // nothing would clear once its handle is gone.
            if (ctx->printerStatus != 0)
                SetPrinterA(ctx->hPrinter, 0, NULL, PRINTER_CONTROL_SET_STATUS);
            ClosePrinter(ctx->hPrinter);
        }
        InterlockedExchange((LONG volatile*)&ctx->printerStatus, 0);
        if (!OpenPrinterA(ctx->printerName, &ctx->hPrinter, NULL))
            ctx->hPrinter = NULL;
        if (!wasOpen)
            FetchPrinterInfo(ctx);
    } else if (ctx->hPrinter == NULL) {
        if (!OpenPrinterA(ctx->printerName, &ctx->hPrinter, NULL))
            ctx->hPrinter = NULL;
        FetchPrinterInfo(ctx);
    } else {
        // The same name, but its printer may be another object than the handle's: the
        // printer was deleted and added again, or renamed and its name given to another.
        ConfirmPrinterHandle(ctx);
    }
done:
    LeaveCriticalSection(&ctx->csPort);
    LeaveCriticalSection(&g_csPorts);
}
