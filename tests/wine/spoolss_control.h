// Control interface of the Windows test double SPOOLSS.dll (sim/spoolss_exports.cpp).
// The DLL exports the nine ANSI spooler functions kvmon.dll imports, backed by the
// simulated spooler, and these plain C functions through which a test program sets the
// spooler up and reads back what the monitor did. Strings are ANSI; a NULL optional
// string stands for an absent value (no monitor name, no port description).
#ifndef KVMON_TESTS_WINE_SPOOLSS_CONTROL_H
#define KVMON_TESTS_WINE_SPOOLSS_CONTROL_H

#include <windows.h>

#ifdef KVSPOOLSS_BUILD
#define KVSPOOLSS_API extern "C" __declspec(dllexport)
#else
#define KVSPOOLSS_API extern "C" __declspec(dllimport)
#endif

struct KvSimJobCommand {
    DWORD seq;
    DWORD jobId;
    DWORD command;  // JOB_CONTROL_*
    BOOL found;     // FALSE: the job was unknown and the call failed
    char printer[64];
};

// Forgets printers, ports, jobs, histories, handles and call counts.
KVSPOOLSS_API void kvsim_Reset(void);

// monitor NULL: the driver names no language monitor (DRIVER_INFO_3.pMonitorName NULL).
KVSPOOLSS_API BOOL kvsim_AddPrinter(const char* name, const char* port, const char* driver, const char* monitor);
KVSPOOLSS_API BOOL kvsim_DeletePrinter(const char* name);
// What the handles of a deleted printer do from now on: 0 fail with ERROR_INVALID_HANDLE
// (after a reset), 1 answer with PRINTER_STATUS_PENDING_DELETION, 2 answer unflagged.
KVSPOOLSS_API void kvsim_SetDeletedHandles(DWORD mode);
KVSPOOLSS_API BOOL kvsim_RenamePrinter(const char* name, const char* newName);
KVSPOOLSS_API BOOL kvsim_SetPrinterPort(const char* name, const char* port);
KVSPOOLSS_API BOOL kvsim_SetPrinterDriver(const char* name, const char* driver, const char* monitor);
KVSPOOLSS_API DWORD kvsim_PrinterStatus(const char* name);

// description NULL: PORT_INFO_2.pDescription NULL.
KVSPOOLSS_API void kvsim_AddPort(const char* name, const char* description);

// Returns the new job's id, 0 for an unknown printer.
KVSPOOLSS_API DWORD kvsim_QueueJob(const char* printer, const char* document);
KVSPOOLSS_API DWORD kvsim_JobCount(const char* printer);

// SetPrinterA status values recorded for the printer (any case), oldest first. Copies at
// most max values; returns how many were recorded.
KVSPOOLSS_API DWORD kvsim_StatusHistory(const char* printer, DWORD* statuses, DWORD max);
// SetJobA calls recorded, oldest first; same counting.
KVSPOOLSS_API DWORD kvsim_JobCommands(KvSimJobCommand* commands, DWORD max);
KVSPOOLSS_API void kvsim_ClearHistory(void);

KVSPOOLSS_API LONG kvsim_OpenHandleCount(void);
// Calls of an exported spooler function ("OpenPrinterA", ...) since the last reset.
KVSPOOLSS_API DWORD kvsim_CallCount(const char* function);

#endif  // KVMON_TESTS_WINE_SPOOLSS_CONTROL_H
