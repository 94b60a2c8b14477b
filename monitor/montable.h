// The monitor table: 13 function pointers, used both for the table kvmon hands to the
// spooler and for the table of the port monitor below it. This is the Windows 9x layout:
// there is no AddPortEx slot, and the SDK's 17-slot NT MONITOR must not be used in its place.
#ifndef KVMON_MONITOR_MONTABLE_H
#define KVMON_MONITOR_MONTABLE_H

#include <windows.h>

typedef struct _MONITOR MONITOR, *LPMONITOR;

struct _MONITOR {
    BOOL(WINAPI* pfnEnumPorts)(LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                               LPDWORD pcReturned);
    BOOL(WINAPI* pfnOpenPort)(LPSTR pName, PHANDLE pHandle);
    BOOL(WINAPI* pfnOpenPortEx)(LPSTR pPortName, LPSTR pPrinterName, PHANDLE pHandle, MONITOR* pMonitor);
    BOOL(WINAPI* pfnStartDocPort)(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo);
    BOOL(WINAPI* pfnWritePort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
    BOOL(WINAPI* pfnReadPort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
    BOOL(WINAPI* pfnEndDocPort)(HANDLE hPort);
    BOOL(WINAPI* pfnClosePort)(HANDLE hPort);
    BOOL(WINAPI* pfnAddPort)(LPSTR pName, HWND hWnd, LPSTR pMonitorName);
    BOOL(WINAPI* pfnConfigurePort)(LPSTR pName, HWND hWnd, LPSTR pPortName);
    BOOL(WINAPI* pfnDeletePort)(LPSTR pName, HWND hWnd, LPSTR pPortName);
    BOOL(WINAPI* pfnGetPrinterDataFromPort)(HANDLE hPort, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer,
                                            DWORD cbInBuffer, LPSTR lpOutBuffer, DWORD cbOutBuffer,
                                            LPDWORD lpcbReturned);
    BOOL(WINAPI* pfnSetPortTimeOuts)(HANDLE hPort, LPCOMMTIMEOUTS lpCTO, DWORD reserved);
};

#define MONITOR_SLOT_COUNT 13

#ifdef __cplusplus
static_assert(sizeof(MONITOR) == MONITOR_SLOT_COUNT * sizeof(void*), "the monitor table is 13 pointers");
#endif

typedef BOOL(WINAPI* PFN_INITIALIZEMONITOREX)(LPSTR pRegistryRoot, MONITOR* pMonitor);

#endif  // KVMON_MONITOR_MONTABLE_H
