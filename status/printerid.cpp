// Which printer a port carries. The port's printer handle refers to the printer object and
// follows it through renames, so while it answers, the name it gives is the port's printer
// name. The spooler's list of local printers tells a renamed printer from a deleted one: a
// name it does not list is never followed. A handle that fails, or answers for a printer
// being deleted, while a printer of the port's name is listed (a reinstalled printer) is
// replaced by a handle opened by that name.
#include "kvmon.h"

// What the port's printer handle says about its printer.
#define HANDLE_NAMES 0    // it answers: the printer's current name
#define HANDLE_GONE 1     // none, it fails, or its printer is being deleted
#define HANDLE_UNKNOWN 2  // no memory: nothing learnt

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

// Asks the port's printer handle for its printer's current name. Called under csPort.
// HANDLE_NAMES gives an owned copy of the name in *name; *error is the handle's failure
// (0 for none, or a printer being deleted).
static int AskPrinterHandle(PortContext* ctx, LPSTR* name, DWORD* error)
{
    DWORD cb = 0;
    LPBYTE buffer = NULL;
    PRINTER_INFO_2A* info;
    int state = HANDLE_GONE;
    int tries;

    *name = NULL;
    *error = 0;
    if (ctx->hPrinter == NULL) {
        *error = ERROR_INVALID_HANDLE;  // none was ever opened, or its open failed
        return HANDLE_GONE;
    }
    if (GetPrinterA(ctx->hPrinter, 2, NULL, 0, &cb) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        *error = GetLastError();
        return HANDLE_GONE;
    }
    // A rename between the size probe and the fetch can make the record longer: the fetch
    // then asks for the larger buffer, which says nothing against the handle. It is asked
    // again with that size; a record that keeps growing teaches nothing.
    for (tries = 0;; tries++) {
        buffer = (LPBYTE)LocalAlloc(LMEM_ZEROINIT, cb);
        if (buffer == NULL)
            return HANDLE_UNKNOWN;
        if (GetPrinterA(ctx->hPrinter, 2, buffer, cb, &cb))
            break;
        *error = GetLastError();
        if (*error != ERROR_INSUFFICIENT_BUFFER)
            goto done;
        LocalFree(buffer);
        buffer = NULL;
        if (tries == 2) {
            *error = 0;
            return HANDLE_UNKNOWN;
        }
    }
    info = (PRINTER_INFO_2A*)buffer;
    if (info->pPrinterName == NULL || info->pPrinterName[0] == '\0' ||
        (info->Status & PRINTER_STATUS_PENDING_DELETION) != 0)
        goto done;
    *name = StrDupLocal(info->pPrinterName);
    state = *name != NULL ? HANDLE_NAMES : HANDLE_UNKNOWN;
done:
    LocalFree(buffer);
    return state;
}

// Puts a handle opened by the port's printer name in place of the port's handle, which
// names another printer (oldAlive) or none any more. The printer it leaves keeps no status
// bits of this port. Called under csPort.
static void ReplacePrinterHandle(PortContext* ctx, HANDLE hNew, BOOL oldAlive)
{
    if (ctx->hPrinter != NULL) {
        if (oldAlive && ctx->printerStatus != 0)
            SetPrinterA(ctx->hPrinter, 0, NULL, PRINTER_CONTROL_SET_STATUS);
        ClosePrinter(ctx->hPrinter);
    }
    ctx->hPrinter = hNew;
}

// Says why the handle no longer serves the port's printer.
static void TraceReopened(PortContext* ctx, LPCSTR handleName, DWORD error, LPCSTR when)
{
    if (handleName != NULL)
        TRACE(TRACE_DECISIONS, ctx->portName, "printer-reopened",
              "%s: the printer handle names \"%s\", not \"%s\": reopened by name", when, handleName,
              ctx->printerName);
    else if (error != 0)
        TRACE(TRACE_DECISIONS, ctx->portName, "printer-reopened",
              "%s: the printer handle fails (error %u) while \"%s\" is listed: reopened by name", when,
              (unsigned)error, ctx->printerName);
    else
        TRACE(TRACE_DECISIONS, ctx->portName, "printer-reopened",
              "%s: the printer handle's printer is being deleted while \"%s\" is listed: reopened by name", when,
              ctx->printerName);
}

// Opens the port's printer name again for a handle that no longer serves it, while a
// printer of that name is listed. Called under csPort, by a status update, which then sets
// its bits through the new handle. TRUE when the port has a new handle.
static BOOL ReopenListedPrinter(PortContext* ctx, DWORD error, LPCSTR when)
{
    HANDLE hNew = NULL;

    if (!OpenPrinterA(ctx->printerName, &hNew, NULL) || hNew == NULL)
        return FALSE;
    TraceReopened(ctx, NULL, error, when);
    ReplacePrinterHandle(ctx, hNew, FALSE);
    return TRUE;
}

// Looks the name the handle gave up among the local printers. A name that is not listed is
// asked for again: a rename between the handle's answer and the enumeration changes it, and
// the new name is looked up instead. Still the same and not listed: the printer was deleted.
// FALSE when nothing is learnt (a failed enumeration, or a rename at every look). Called
// under csPort; *name stays owned by the caller.
static BOOL LookUpHandleName(PortContext* ctx, LPSTR* name, BOOL* found)
{
    LPSTR again = NULL;
    DWORD error = 0;
    int tries;
    int state;

    for (tries = 0; tries < 3; tries++) {
        if (!LookUpPrinter(*name, found))
            return FALSE;
        if (*found)
            return TRUE;
        // A handle gone meanwhile leaves *found FALSE: the printer was deleted.
        state = AskPrinterHandle(ctx, &again, &error);
        if (state != HANDLE_NAMES)
            return state == HANDLE_GONE;
        if (lstrcmpA(again, *name) == 0) {
            FreeLocal(again);
            return TRUE;
        }
        FreeLocal(*name);
        *name = again;
        again = NULL;
    }
    return FALSE;
}

int CheckPortPrinter(PortContext* ctx, BOOL reopen, LPCSTR when)
{
    LPSTR name = NULL;
    DWORD error = 0;
    BOOL found = FALSE;
    int result = PORT_PRINTER_KEPT;

    switch (AskPrinterHandle(ctx, &name, &error)) {
    case HANDLE_NAMES:
        // A name the spooler does not list is that of a deleted printer whose handle still
        // answers: never followed. A failed enumeration proves nothing either way.
        if (!LookUpHandleName(ctx, &name, &found))
            break;
        if (!found) {
            result = PORT_PRINTER_DELETED;
        } else if (ctx->printerName == NULL || lstrcmpA(name, ctx->printerName) != 0) {
            TRACE(TRACE_DECISIONS, ctx->portName, "printer-renamed",
                  "\"%s\" is now \"%s\": the port's printer handle names it (%s)",
                  ctx->printerName != NULL ? ctx->printerName : "", name, when);
            FreeLocal(ctx->printerName);
            ctx->printerName = name;
            name = NULL;
        }
        break;
    case HANDLE_GONE:
        // Gone with its name no longer listed: deleted. Listed: a printer of that name was
        // added again (reinstalled), or the handle could never be opened.
        if (!LookUpPrinter(ctx->printerName, &found))
            break;
        if (!found)
            result = PORT_PRINTER_DELETED;
        else if (reopen && ReopenListedPrinter(ctx, error, when))
            result = PORT_PRINTER_REOPENED;
        break;
    default:
        break;
    }
    FreeLocal(name);
    return result;
}

LPSTR PortPrinterName(PortContext* ctx)
{
    LPSTR name = NULL;
    DWORD error = 0;

    if (AskPrinterHandle(ctx, &name, &error) == HANDLE_NAMES)
        return name;
    return StrDupLocal(ctx->printerName);
}

void ConfirmPrinterHandle(PortContext* ctx)
{
    LPSTR name = NULL;
    DWORD error = 0;
    HANDLE hNew = NULL;
    int state = AskPrinterHandle(ctx, &name, &error);

    // The spooler names the printer of the job: a handle that now names another printer
    // (renamed, and this name given to another) or none is replaced when the name opens.
    if (state == HANDLE_UNKNOWN || (state == HANDLE_NAMES && lstrcmpiA(name, ctx->printerName) == 0))
        goto done;
    if (!OpenPrinterA(ctx->printerName, &hNew, NULL) || hNew == NULL)
        goto done;
    TraceReopened(ctx, name, error, "StartDocPort");
    ReplacePrinterHandle(ctx, hNew, state == HANDLE_NAMES);
    // The printer of the new handle shows nothing of this port yet.
    InterlockedExchange((LONG volatile*)&ctx->printerStatus, 0);
done:
    FreeLocal(name);
}
