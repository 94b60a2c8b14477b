// The monitor's trace: one event for each decision it takes, with the port it concerns and
// the reason. Events go to a sink registered in-process (the simulator's timeline) and to
// the trace file or the debugger, as the registry asks. When tracing is off an event costs
// one load and one compare: nothing is formatted and nothing is allocated.
// Events carry port names, codes, counts and the device's identification, never print data.
#ifndef KVMON_MONITOR_TRACE_H
#define KVMON_MONITOR_TRACE_H

#include <windows.h>

// ---- levels ----
#define TRACE_OFF 0        // no events
#define TRACE_DECISIONS 1  // what the monitor decided and why
#define TRACE_QUERIES 2    // also every device query, idle poll and unchanged status
#define TRACE_LEVEL_MAX TRACE_QUERIES

// ---- trace file settings, values under the monitor's registry root ----
#define TRACE_VALUE_FILE "TraceFile"          // REG_SZ: a file path, or "debugger"
#define TRACE_VALUE_LEVEL "TraceLevel"        // REG_DWORD: 0, 1 or 2 (1 when absent)
#define TRACE_VALUE_MAX_BYTES "TraceMaxBytes" // REG_DWORD: size cap of the file
#define TRACE_DEBUGGER "debugger"             // TraceFile value for OutputDebugStringA
#define TRACE_DEFAULT_MAX_BYTES 0x100000      // 1 MiB
#define TRACE_MIN_MAX_BYTES 4096              // smaller caps are raised to this
#define TRACE_REASON_SIZE 400                 // reason text, with its NUL; longer is cut
#define TRACE_LINE_SIZE 560                   // one whole line of the file
#define WSPRINTF_BUFFER_SIZE 1025             // wvsprintfA fills at most 1024 bytes; one more for a NUL

// Receives one event on the thread that decided: the port name ("-" when the event concerns
// no port), the event's name and the reason. The texts live only for the call. The monitor
// may hold its own locks while it calls; the sink must not call back into the monitor.
typedef void (*PFN_TRACE_SINK)(LPCSTR portName, LPCSTR eventName, LPCSTR reason);

// Highest level any destination takes now; TRACE_OFF when none does.
extern DWORD volatile g_dwTraceLevel;

#ifndef KVMON_TRACE_COMPILED_OUT
#define TRACE_WANTED(level) (__atomic_load_n(&g_dwTraceLevel, __ATOMIC_RELAXED) >= (DWORD)(level))

// TRACE(level, portName, "event", "format", ...): the one way the monitor reports a
// decision. The arguments are evaluated only when the level is traced.
#define TRACE(level, port, event, ...)                             \
    do {                                                           \
        if (TRACE_WANTED(level))                                   \
            TraceEvent((level), (port), (event), __VA_ARGS__);     \
    } while (0)
#else
// The benchmarks' baseline build: every trace call is dead code the compiler removes.
#define TRACE_WANTED(level) ((void)(level), 0)
#define TRACE(level, port, event, ...)                             \
    do {                                                           \
        if (0)                                                     \
            TraceEvent((level), (port), (event), __VA_ARGS__);     \
    } while (0)
#endif

// ---- trace.cpp ----
// Formats the reason (with wvsprintfA: %s, %d, %u, %X with flags, width and precision; no
// floating point, no '*') and hands the event to every destination that takes its level. Keeps
// the caller's last error.
void TraceEvent(DWORD level, LPCSTR portName, LPCSTR eventName, LPCSTR format, ...)
    __attribute__((format(printf, 4, 5)));
// Registers the in-process sink and the level it takes (NULL or TRACE_OFF: none).
void SetTraceSink(PFN_TRACE_SINK sink, DWORD level);
// Recomputes g_dwTraceLevel from the sink's level and the file's.
void UpdateTraceLevel(void);

// ---- tracefile.cpp ----
void InitializeTrace(void);                 // once, at process attach
void ReadTraceSettings(LPCSTR root);        // at InitializeMonitorEx: remembers root, applies
void RefreshTraceSettings(DWORD interval);  // polling threads: at most once per interval, all threads
void StopTrace(void);                       // closes the file; the settings stay as read
DWORD TraceFileLevel(void);                 // level the file or debugger takes now
void WriteTraceLine(DWORD level, LPCSTR portName, LPCSTR eventName, LPCSTR reason);

#endif  // KVMON_MONITOR_TRACE_H
