// The trace file: switched on by values under the monitor's registry root, read at
// InitializeMonitorEx and again by the polling threads at most once per poll cycle, so that
// a running spooler can be traced without a restart. Each event is one whole line, written
// with one call under a lock; at the size cap the file becomes "<file>.1" and a new one
// starts. Bad settings leave the trace off, and an I/O error stops it until the settings
// change: nothing in the print path fails because of the trace.
#include <string.h>

#include "kvmon.h"

#ifdef _WIN32
#define TRACE_LINE_END "\r\n"
#else
#define TRACE_LINE_END "\n"
#endif

// The settings as read from the registry; two reads are compared whole.
typedef struct _TraceSettings {
    CHAR path[NAME_BUFFER_SIZE];  // TraceFile value, "" when tracing is off
    DWORD level;                  // TRACE_* level, TRACE_OFF when tracing is off
    DWORD maxBytes;               // size cap of the file
} TraceSettings;

static CRITICAL_SECTION s_csTrace;        // guards everything below and every write
static BOOL s_fInitialized = FALSE;       // s_csTrace exists
static CHAR s_szRoot[NAME_BUFFER_SIZE];   // registry root given to InitializeMonitorEx
static TraceSettings s_settings;          // settings last read
static CHAR s_szRolled[NAME_BUFFER_SIZE + 2];  // s_settings.path followed by ".1"
static HANDLE s_hFile = INVALID_HANDLE_VALUE;  // open trace file, or INVALID_HANDLE_VALUE
static BOOL s_fDebugger = FALSE;          // lines go to OutputDebugStringA
static DWORD s_cbFile = 0;                // bytes in the open file
static DWORD volatile s_dwFileLevel = TRACE_OFF;  // level written now; TRACE_OFF after an error
static LONG volatile s_lLastRead = 0;     // tick count of the last settings read

DWORD TraceFileLevel(void)
{
    return __atomic_load_n(&s_dwFileLevel, __ATOMIC_ACQUIRE);
}

void InitializeTrace(void)
{
    if (!s_fInitialized) {
        InitializeCriticalSection(&s_csTrace);
        s_fInitialized = TRUE;
    }
}

// Closes the file and writes nothing more. Under s_csTrace.
static void CloseTraceLocked(void)
{
    if (s_hFile != INVALID_HANDLE_VALUE)
        CloseHandle(s_hFile);
    s_hFile = INVALID_HANDLE_VALUE;
    s_fDebugger = FALSE;
    s_cbFile = 0;
    __atomic_store_n(&s_dwFileLevel, TRACE_OFF, __ATOMIC_RELEASE);
}

void StopTrace(void)
{
    if (!s_fInitialized)
        return;
    EnterCriticalSection(&s_csTrace);
    CloseTraceLocked();
    LeaveCriticalSection(&s_csTrace);
    UpdateTraceLevel();
}

// Opens the trace file for appending. Under s_csTrace.
static BOOL OpenTraceFileLocked(DWORD disposition)
{
    DWORD size;

    s_hFile = CreateFileA(s_settings.path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, disposition,
                          FILE_ATTRIBUTE_NORMAL, NULL);
    if (s_hFile == INVALID_HANDLE_VALUE)
        return FALSE;
    size = SetFilePointer(s_hFile, 0, NULL, FILE_END);
    if (size == INVALID_SET_FILE_POINTER) {
        CloseHandle(s_hFile);
        s_hFile = INVALID_HANDLE_VALUE;
        return FALSE;
    }
    s_cbFile = size;
    return TRUE;
}

// The full file becomes "<file>.1", replacing the one before, and an empty file takes its
// place. When the rename fails the file is emptied instead: it stays within its cap.
// Under s_csTrace.
static BOOL RollTraceFileLocked(void)
{
    CloseHandle(s_hFile);
    s_hFile = INVALID_HANDLE_VALUE;
    DeleteFileA(s_szRolled);
    MoveFileA(s_settings.path, s_szRolled);
    return OpenTraceFileLocked(CREATE_ALWAYS);
}

// Reads one DWORD value: TRUE with *value when it is a REG_DWORD, TRUE with the default
// when it is absent, FALSE when it has another type or size.
static BOOL ReadDwordSetting(HKEY hKey, LPCSTR name, DWORD dwDefault, DWORD* value)
{
    DWORD type = REG_NONE;
    DWORD cb = sizeof(*value);
    LONG status = RegQueryValueExA(hKey, name, NULL, &type, (LPBYTE)value, &cb);

    if (status == ERROR_FILE_NOT_FOUND) {
        *value = dwDefault;
        return TRUE;
    }
    return status == ERROR_SUCCESS && type == REG_DWORD && cb == sizeof(*value);
}

// Reads the three values. Any bad one leaves *settings all zero: tracing off.
static void ReadTraceValues(LPCSTR root, TraceSettings* settings)
{
    HKEY hKey = NULL;
    DWORD type = REG_NONE;
    DWORD cb = sizeof(settings->path) - 1;
    BOOL good = FALSE;

    memset(settings, 0, sizeof(*settings));
    if (root[0] == '\0' || RegOpenKeyExA(HKEY_LOCAL_MACHINE, root, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return;
    if (RegQueryValueExA(hKey, TRACE_VALUE_FILE, NULL, &type, (LPBYTE)settings->path, &cb) == ERROR_SUCCESS &&
        type == REG_SZ && settings->path[0] != '\0' &&
        ReadDwordSetting(hKey, TRACE_VALUE_LEVEL, TRACE_DECISIONS, &settings->level) &&
        settings->level <= TRACE_LEVEL_MAX &&
        ReadDwordSetting(hKey, TRACE_VALUE_MAX_BYTES, TRACE_DEFAULT_MAX_BYTES, &settings->maxBytes))
        good = settings->level != TRACE_OFF;
    RegCloseKey(hKey);
    if (!good) {
        memset(settings, 0, sizeof(*settings));
        return;
    }
    settings->path[sizeof(settings->path) - 1] = '\0';
    if (settings->maxBytes < TRACE_MIN_MAX_BYTES)
        settings->maxBytes = TRACE_MIN_MAX_BYTES;
}

// Reads the settings and, when they changed, closes the old destination and opens the new
// one. Unchanged settings leave a trace that an I/O error stopped stopped.
static void ApplyTraceSettings(void)
{
    TraceSettings fresh;
    BOOL changed;
    BOOL started = FALSE;
    BOOL debugger = FALSE;

    EnterCriticalSection(&s_csTrace);
    ReadTraceValues(s_szRoot, &fresh);
    changed = memcmp(&fresh, &s_settings, sizeof(fresh)) != 0;
    if (changed) {
        CloseTraceLocked();
        s_settings = fresh;
        lstrcpyA(s_szRolled, s_settings.path);
        lstrcatA(s_szRolled, ".1");
        if (s_settings.level != TRACE_OFF) {
            debugger = lstrcmpiA(s_settings.path, TRACE_DEBUGGER) == 0;
            s_fDebugger = debugger;
            started = debugger || OpenTraceFileLocked(OPEN_ALWAYS);
            if (started)
                __atomic_store_n(&s_dwFileLevel, s_settings.level, __ATOMIC_RELEASE);
        }
    }
    LeaveCriticalSection(&s_csTrace);
    UpdateTraceLevel();
    if (started && debugger)
        TRACE(TRACE_DECISIONS, NULL, "trace-on", "level %u, to the debugger", (unsigned)fresh.level);
    else if (started)
        TRACE(TRACE_DECISIONS, NULL, "trace-on", "level %u, cap %u bytes, then \"%s.1\"", (unsigned)fresh.level,
              (unsigned)fresh.maxBytes, fresh.path);
}

void ReadTraceSettings(LPCSTR root)
{
    if (!s_fInitialized || root == NULL)
        return;
    EnterCriticalSection(&s_csTrace);
    lstrcpynA(s_szRoot, root, NAME_BUFFER_SIZE);
    LeaveCriticalSection(&s_csTrace);
    __atomic_store_n(&s_lLastRead, (LONG)GetTickCount(), __ATOMIC_RELEASE);
    ApplyTraceSettings();
}

void RefreshTraceSettings(DWORD interval)
{
    LONG last = __atomic_load_n(&s_lLastRead, __ATOMIC_ACQUIRE);
    DWORD now = GetTickCount();

    if (!s_fInitialized || now - (DWORD)last < interval)
        return;
    // One thread of all the ports reads; the others find the tick count moved on.
    if (InterlockedCompareExchange(&s_lLastRead, (LONG)now, last) != last)
        return;
    ApplyTraceSettings();
}

void WriteTraceLine(DWORD level, LPCSTR portName, LPCSTR eventName, LPCSTR reason)
{
    CHAR line[TRACE_LINE_SIZE];
    SYSTEMTIME t;
    DWORD written = 0;
    int length;
    BOOL failed = FALSE;

    GetLocalTime(&t);
    // The prefix is at most 23 + 2 + 10 + 2 + 64 + 2 + 32 + 2 characters, well within the
    // line and the formatter's limit; the reason fills what is left.
    length = wsprintfA(line, "%04u-%02u-%02u %02u:%02u:%02u.%03u  %5u  %.64s  %.32s  ", (unsigned)t.wYear,
                       (unsigned)t.wMonth, (unsigned)t.wDay, (unsigned)t.wHour, (unsigned)t.wMinute,
                       (unsigned)t.wSecond, (unsigned)t.wMilliseconds, (unsigned)GetCurrentThreadId(), portName,
                       eventName);
    lstrcpynA(line + length, reason, (int)(sizeof(line) - sizeof(TRACE_LINE_END)) - length);
    length += lstrlenA(line + length);
    lstrcpyA(line + length, TRACE_LINE_END);
    length += (int)sizeof(TRACE_LINE_END) - 1;

    EnterCriticalSection(&s_csTrace);
    if (level > s_dwFileLevel) {
        // Switched off or stopped since the caller looked.
    } else if (s_fDebugger) {
        OutputDebugStringA(line);
    } else {
        if (s_cbFile + (DWORD)length > s_settings.maxBytes && s_cbFile != 0)
            failed = !RollTraceFileLocked();
        if (!failed)
            failed = !WriteFile(s_hFile, line, (DWORD)length, &written, NULL) || written != (DWORD)length;
        s_cbFile += written;
        if (failed)
            CloseTraceLocked();
    }
    LeaveCriticalSection(&s_csTrace);
    if (failed)
        UpdateTraceLevel();
}
