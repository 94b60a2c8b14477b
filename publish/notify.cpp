// Tells the companion status application about a status change: which printer, driver, port
// and model it concerns, in "vuelog.err" in its folder, then a broadcast message.
#include <string.h>

#include "kvmon.h"

static const char c_szAppKey[] = "SOFTWARE\\Kestravon\\Statovue";
static const char c_szInstalledFolder[] = "Installed Folder";
static const char c_szLogFile[] = "vuelog.err";
static const char c_szSection[] = "DEVICE";
static const char c_szMessageName[] = "QRT command message";

// Room for the separator and "vuelog.err" in the 260-byte path.
#define MAX_FOLDER_LENGTH 248

#ifdef _WIN32
#define PATH_SEPARATOR "\\"
#else
#define PATH_SEPARATOR "/"
#endif

// An owned copy of a context string taken under csPort; *failed is set when a string that
// exists could not be copied.
static LPSTR CopyPortString(PortContext* ctx, LPSTR* field, BOOL* failed)
{
    LPSTR copy;

    EnterCriticalSection(&ctx->csPort);
    copy = StrDupLocal(*field);
    if (*field != NULL && copy == NULL)
        *failed = TRUE;
    LeaveCriticalSection(&ctx->csPort);
    return copy;
}

// The model text comes from the device: a line break in it would start a new line in the
// INI file, that is, a key or a section the device made up. Line breaks become blanks.
static void CopyIniValue(char* out, LPCSTR text)
{
    int i;

    for (i = 0; i < NAME_BUFFER_SIZE - 1 && text[i] != '\0'; i++)
        out[i] = (text[i] == '\r' || text[i] == '\n') ? ' ' : text[i];
    out[i] = '\0';
}

// printerName is the name of the printer whose status changed (PRNNAME).
void NotifyStatusApp(PortContext* ctx, LPCSTR modelText, LPCSTR printerName)
{
    HKEY hKey = NULL;
    char path[NAME_BUFFER_SIZE];
    char model[NAME_BUFFER_SIZE];
    DWORD cb = sizeof(path);
    LPSTR driverName = NULL;
    BOOL failed = FALSE;
    BOOL written = TRUE;
    BOOL posted;
    UINT msg;

    memset(path, 0, sizeof(path));
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, c_szAppKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
        TRACE(TRACE_DECISIONS, ctx->portName, "notify-skipped", "the companion is not installed (no key HKLM\\%s)",
              c_szAppKey);
        return;
    }
    if (RegQueryValueExA(hKey, c_szInstalledFolder, NULL, NULL, (LPBYTE)path, &cb) != ERROR_SUCCESS) {
        TRACE(TRACE_DECISIONS, ctx->portName, "notify-skipped", "the companion's \"%s\" cannot be read",
              c_szInstalledFolder);
        RegCloseKey(hKey);
        return;
    }
    RegCloseKey(hKey);

    // A folder that is not terminated within its 248 characters would give a cut path to
    // some other folder: write nothing and post nothing.
    if (memchr(path, '\0', MAX_FOLDER_LENGTH + 1) == NULL) {
        TRACE(TRACE_DECISIONS, ctx->portName, "notify-skipped", "the companion's folder is longer than %u characters",
              (unsigned)MAX_FOLDER_LENGTH);
        return;
    }
    lstrcatA(path, PATH_SEPARATOR);
    lstrcatA(path, c_szLogFile);

    // The polling thread may notify while the spooler changes the port's printer: a copy.
    driverName = CopyPortString(ctx, &ctx->driverName, &failed);
    if (!failed) {
        // A NULL value removes its key from the file.
        if (modelText != NULL)
            CopyIniValue(model, modelText);
        written &= WritePrivateProfileStringA(c_szSection, "MODELNAME", modelText != NULL ? model : NULL, path);
        written &= WritePrivateProfileStringA(c_szSection, "DRVNAME", driverName, path);
        written &= WritePrivateProfileStringA(c_szSection, "PRNNAME", printerName, path);
        written &= WritePrivateProfileStringA(c_szSection, "PORTNAME", ctx->portName, path);

        msg = RegisterWindowMessageA(c_szMessageName);
        posted = PostMessageA(HWND_BROADCAST, msg, 0x80000000, 1);
        TRACE(TRACE_DECISIONS, ctx->portName, "notified", "\"%s\" %s, \"%s\" broadcast%s", path,
              written ? "written" : "not fully written", c_szMessageName, posted ? "" : " failed");
    } else {
        TRACE(TRACE_DECISIONS, ctx->portName, "notify-skipped", "no memory for the driver's name");
    }
    FreeLocal(driverName);
}
