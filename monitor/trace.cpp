// Trace events: the reason is formatted once, cleaned of control characters (a device's
// model text may carry any byte) and handed to the in-process sink and the trace file.
#include <stdarg.h>

#include "kvmon.h"

DWORD volatile g_dwTraceLevel = TRACE_OFF;

static PFN_TRACE_SINK volatile s_pfnSink = NULL;  // in-process sink, or NULL
static DWORD volatile s_dwSinkLevel = TRACE_OFF;  // level the sink takes

void UpdateTraceLevel(void)
{
    DWORD sinkLevel = __atomic_load_n(&s_dwSinkLevel, __ATOMIC_ACQUIRE);
    DWORD fileLevel = TraceFileLevel();

    __atomic_store_n(&g_dwTraceLevel, sinkLevel > fileLevel ? sinkLevel : fileLevel, __ATOMIC_RELEASE);
}

void SetTraceSink(PFN_TRACE_SINK sink, DWORD level)
{
    if (sink == NULL || level > TRACE_LEVEL_MAX)
        level = TRACE_OFF;
    __atomic_store_n(&s_pfnSink, sink, __ATOMIC_RELEASE);
    __atomic_store_n(&s_dwSinkLevel, level, __ATOMIC_RELEASE);
    UpdateTraceLevel();
}

// Control characters (line breaks above all) would let a device start a line of its own.
static void CleanTraceText(char* text)
{
    for (; *text != '\0'; text++) {
        if ((BYTE)*text < 0x20 || (BYTE)*text == 0x7F)
            *text = '?';
    }
}

void TraceEvent(DWORD level, LPCSTR portName, LPCSTR eventName, LPCSTR format, ...)
{
    CHAR reason[WSPRINTF_BUFFER_SIZE];
    DWORD error = GetLastError();
    PFN_TRACE_SINK sink;
    va_list args;

    va_start(args, format);
    wvsprintfA(reason, format, args);
    va_end(args);
    // The system's formatter stops at its own limit and may leave a cut text unterminated;
    // the reason is cut shorter still.
    reason[TRACE_REASON_SIZE - 2] = '\0';
    CleanTraceText(reason);
    if (portName == NULL || portName[0] == '\0')
        portName = "-";

    sink = __atomic_load_n(&s_pfnSink, __ATOMIC_ACQUIRE);
    if (sink != NULL && level <= __atomic_load_n(&s_dwSinkLevel, __ATOMIC_ACQUIRE))
        sink(portName, eventName, reason);
    if (level <= TraceFileLevel())
        WriteTraceLine(level, portName, eventName, reason);
    SetLastError(error);
}
