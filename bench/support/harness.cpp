#include "harness.h"

#include <unistd.h>

#include <cstring>
#include <random>

namespace kvbench {

namespace {

const char kRegistryRoot[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Kestravon Language Monitor";

UINT_PTR g_nextNullHandle = 0x1000;

BOOL WINAPI NullOpenPort(LPSTR, PHANDLE pHandle)
{
    *pHandle = reinterpret_cast<HANDLE>(g_nextNullHandle++);
    return TRUE;
}
BOOL WINAPI NullStartDocPort(HANDLE, LPSTR, DWORD, DWORD, LPBYTE) { return TRUE; }
BOOL WINAPI NullWritePort(HANDLE, LPBYTE, DWORD cbBuf, LPDWORD pcbWritten)
{
    *pcbWritten = cbBuf;
    return TRUE;
}
BOOL WINAPI NullReadPort(HANDLE, LPBYTE, DWORD, LPDWORD pcbRead)
{
    *pcbRead = 0;
    return TRUE;
}
BOOL WINAPI NullEndDocPort(HANDLE) { return TRUE; }
BOOL WINAPI NullClosePort(HANDLE) { return TRUE; }

MONITOR MakeNullTable()
{
    MONITOR t;
    std::memset(&t, 0, sizeof t);
    t.pfnOpenPort = NullOpenPort;
    t.pfnStartDocPort = NullStartDocPort;
    t.pfnWritePort = NullWritePort;
    t.pfnReadPort = NullReadPort;
    t.pfnEndDocPort = NullEndDocPort;
    t.pfnClosePort = NullClosePort;
    return t;
}

}  // namespace

Monitor& Monitor::Load(unsigned timeScale)
{
    static Monitor monitor;
    static bool attached = DllMain((HINSTANCE)0x10000000, DLL_PROCESS_ATTACH, NULL) != FALSE;
    if (!attached)
        abort();
    kvplat::ResetForTest();
    kvplat::SetTimeScale(timeScale);
    kvplat::SetMappingNamespace("kvmonbench" + std::to_string(getpid()));
    sim::TheSpooler().Reset();
    sim::ThePortMonitor().Reset();
    sim::ThePortMonitor().SetLogging(false);
    monitor.doc.pDocName = (LPSTR) "Document";
    monitor.doc.pOutputFile = NULL;
    monitor.doc.pDatatype = (LPSTR) "RAW";
    if (!InitializeMonitorEx((LPSTR)kRegistryRoot, &monitor.table))
        abort();
    return monitor;
}

void Monitor::AddPrinter(const char* printer, const char* port)
{
    sim::TheSpooler().AddPort(port, std::string(port).rfind("USB", 0) == 0 ? "Virtual printer port for USB"
                                                                           : "Local port");
    sim::TheSpooler().AddPrinter(printer, port);
}

HANDLE Monitor::Open(const char* port, const char* printer, const MONITOR* portMonitor)
{
    MONITOR copy = portMonitor != nullptr ? *portMonitor : *sim::ThePortMonitor().Table();
    HANDLE h = NULL;
    if (!table.pfnOpenPortEx((LPSTR)port, (LPSTR)printer, &h, &copy))
        return NULL;
    return h;
}

BOOL Monitor::StartDoc(HANDLE h, const char* printer, DWORD jobId)
{
    return table.pfnStartDocPort(h, (LPSTR)printer, jobId, 1, (LPBYTE)&doc);
}

const MONITOR* NullPortMonitor()
{
    static const MONITOR table = MakeNullTable();
    return &table;
}

std::string StatusRecord(WORD code, size_t n)
{
    std::string record(n, '\0');
    for (size_t i = 0; i < n; i++)
        record[i] = static_cast<char>(0x20 + (i * 7) % 0x5F);  // printable, never ';' at 21/22
    record[21] = (char)(code >> 8);
    record[22] = (char)(code & 0xFF);
    return record;
}

static const char kHead[] =
    "MFG:Kestravon;MDL:ZR-QM4471;CMD:PJL,PCL,PCLXL,POSTSCRIPT,PDF;CLS:PRINTER;"
    "DES:Kestravon ZR-QM4471 Mono Laser;CID:KVN_ZRQM;SN:KV4471A0031;";

std::string TypicalReply(bool base64)
{
    // 63400 (0xF7A8): a code of the table; the record bytes hold no NUL.
    if (base64)
        return std::string(kHead) + "FL1;VSTATUS:" + Base64Encode(StatusRecord(63400, 96));
    return std::string(kHead) + "VSTATUS:" + StatusRecord(63400, 144);
}

std::string ShortReply()
{
    return "MFG:Kestravon;MDL:ZR-QM4471;CMD:PJL;FL1;VSTATUS:" + Base64Encode(StatusRecord(63400, 24));
}

std::string LongReply()
{
    std::string s = kHead;
    s += "FWVER:4.17.2026.0311;ENG:KV-ENG-9;OPT:DUPLEX,TRAY2,TRAY3,STAPLER,HDD;";
    for (int i = 0; s.size() < 700; i++)
        s += "X" + std::to_string(i) + "-PROP:" + std::string(20 + i % 7, 'a' + i % 26) + ";";
    s += "FL1;VSTATUS:" + Base64Encode(StatusRecord(63400, 144));
    return s;
}

std::string Base64Text(size_t n)
{
    std::mt19937 rng(12345);
    std::string bytes(n / 4 * 3, '\0');
    for (auto& c : bytes)
        c = static_cast<char>(rng() & 0xFF);
    return Base64Encode(bytes);
}

}  // namespace kvbench
