// The DLL's entry points and the state that lives as long as the module is loaded.
#include "kvmon.h"

CRITICAL_SECTION g_csPorts;
PortContext* g_pPortList = NULL;
DWORD g_dwReadCycle = 0;
HINSTANCE g_hInstance = NULL;
CHAR g_szMessage[MESSAGE_BUFFER_SIZE];

static const char c_szReadCycle[] = "ReadCycle";

BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpReserved)
{
    if (fdwReason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&g_csPorts);
        InitializeTrace();
        DisableThreadLibraryCalls((HMODULE)hinstDLL);
        g_hInstance = hinstDLL;
    } else if (fdwReason == DLL_PROCESS_DETACH && lpReserved == NULL) {
        // Unloaded by FreeLibrary: close the trace file. At process exit the other threads
        // are gone, possibly inside the trace's lock, and the system closes the file.
        StopTrace();
    }
    return TRUE;
}

// Reads "ReadCycle" below HKLM\root, creating it with dwDefault when it cannot be read.
DWORD ReadPollInterval(LPCSTR root, DWORD dwDefault)
{
    HKEY hKey = NULL;
    DWORD value = 0;
    DWORD cb = sizeof(value);
    DWORD result = dwDefault;

    if (root == NULL || root[0] == '\0')
        return dwDefault;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, root, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, NULL,
                        &hKey, NULL) != ERROR_SUCCESS)
        return dwDefault;

    if (RegQueryValueExA(hKey, c_szReadCycle, NULL, NULL, (LPBYTE)&value, &cb) == ERROR_SUCCESS) {
        result = value;
    } else {
        // Absent or unreadable (for example a string longer than 4 bytes): store the default.
        RegSetValueExA(hKey, c_szReadCycle, 0, REG_DWORD, (const BYTE*)&dwDefault, sizeof(dwDefault));
        result = dwDefault;
    }
    RegCloseKey(hKey);
    return result;
}

BOOL WINAPI InitializeMonitorEx(LPSTR pRegistryRoot, MONITOR* pMonitor)
{
    DWORD cycle;

    if (pRegistryRoot == NULL || pRegistryRoot[0] == '\0' || pMonitor == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    cycle = ReadPollInterval(pRegistryRoot, DEFAULT_READ_CYCLE);
    g_dwReadCycle = cycle < DEFAULT_READ_CYCLE ? DEFAULT_READ_CYCLE : cycle;
    ReadTraceSettings(pRegistryRoot);

    pMonitor->pfnEnumPorts = NULL;                               // pfnEnumPorts
    pMonitor->pfnOpenPort = NULL;                                // pfnOpenPort
    pMonitor->pfnOpenPortEx = OpenPortEx;                        // pfnOpenPortEx
    pMonitor->pfnStartDocPort = StartDocPort;                    // pfnStartDocPort
    pMonitor->pfnWritePort = WritePort;                          // pfnWritePort
    pMonitor->pfnReadPort = ReadPort;                            // pfnReadPort
    pMonitor->pfnEndDocPort = EndDocPort;                        // pfnEndDocPort
    pMonitor->pfnClosePort = ClosePort;                          // pfnClosePort
    pMonitor->pfnAddPort = NULL;                                 // pfnAddPort
    pMonitor->pfnConfigurePort = NULL;                           // pfnConfigurePort
    pMonitor->pfnDeletePort = NULL;                              // pfnDeletePort
    pMonitor->pfnGetPrinterDataFromPort = GetPrinterDataFromPort;  // pfnGetPrinterDataFromPort
    pMonitor->pfnSetPortTimeOuts = NULL;                         // pfnSetPortTimeOuts
    return TRUE;
}
