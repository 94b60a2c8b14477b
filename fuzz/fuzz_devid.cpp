// One device-ID answer of the port monitor, end to end through ProcessDeviceId: parsing,
// decoding, the status block published into the port's shared mapping, the status code
// applied to the simulated spooler's printer and the companion application notified.
//
// Input: two bytes (little-endian) of the count the port monitor reports, then up to 1024
// bytes of reply. The reply lands in the query's zero-filled 1024-byte buffer; the count is
// clamped as QueryDeviceStatus clamps it, and a count of 0 is a query without an answer.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "kvmon.h"
#include "kvplatform.h"
#include "spooler.h"

namespace {

const char kPort[] = "USB001";
const char kPrinter[] = "Fuzz Printer";
const char kRoot[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Kestravon Language Monitor";
const unsigned kLogResetPeriod = 4096;  // runs between resets of the platform's logs

PortContext* g_ctx = NULL;
std::string g_folder;
unsigned g_runs = 0;

void Fail(const char* what)
{
    fprintf(stderr, "fuzz_devid: %s\n", what);
    abort();
}

// The companion application's folder, so that status changes write vuelog.err and post.
void RegisterCompanion()
{
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestravon\\Statovue", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        Fail("companion key");
    RegSetValueExA(key, "Installed Folder", 0, REG_SZ, (const BYTE*)g_folder.c_str(), (DWORD)g_folder.size() + 1);
    RegCloseKey(key);
}

// At exit: the companion folder and the status blocks of this process go with it, so a run
// leaves nothing in /tmp or /dev/shm.
void Cleanup()
{
    std::error_code ignored;
    std::filesystem::remove_all(g_folder, ignored);
    std::string prefix = kvplat::MappingNamespace() + ".";
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ignored)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            std::filesystem::remove(entry.path(), ignored);
    }
}

void Setup()
{
    MONITOR table;
    char dir[] = "/tmp/kvmon-fuzz-XXXXXX";

    if (!DllMain((HINSTANCE)0x10000000, DLL_PROCESS_ATTACH, NULL))
        Fail("DllMain");
    kvplat::SetMappingNamespace("kvfuzz" + std::to_string(getpid()));
    if (!InitializeMonitorEx((LPSTR)kRoot, &table))
        Fail("InitializeMonitorEx");
    if (mkdtemp(dir) == NULL)
        Fail("mkdtemp");
    g_folder = dir;
    atexit(Cleanup);
    RegisterCompanion();

    sim::TheSpooler().AddPort(kPort, std::string("Virtual printer port for USB"));
    sim::TheSpooler().AddPrinter(kPrinter, kPort);
    EnterCriticalSection(&g_csPorts);
    g_ctx = CreatePortContext(kPort, kPrinter);
    LeaveCriticalSection(&g_csPorts);
    if (g_ctx == NULL || g_ctx->hPrinter == NULL || g_ctx->monitorName == NULL)
        Fail("port context");
}

// The length field of a block just published into a new mapping.
void CheckPublishedBlock(HANDLE hMapping)
{
    const BYTE* view = (const BYTE*)MapViewOfFile(hMapping, FILE_MAP_READ, 0, 0, 2);
    if (view == NULL)
        Fail("no view of the status block");
    unsigned length = view[0] * 256u + view[1];
    UnmapViewOfFile(view);
    if (length < 2 || length > DEVID_BUFFER_SIZE + 1)
        Fail("status block length out of range");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2 || size > 2 + DEVID_BUFFER_SIZE)
        return 0;
    DWORD count = data[0] | (DWORD)data[1] << 8;
    data += 2;
    size -= 2;

    // Exactly the query's buffer, so that any read or write past it is reported.
    char* reply = (char*)malloc(DEVID_BUFFER_SIZE);
    memset(reply, 0, DEVID_BUFFER_SIZE);
    memcpy(reply, data, size);
    if (count > DEVID_BUFFER_SIZE)
        count = DEVID_BUFFER_SIZE;

    long allocations = kvplat::LiveAllocations();
    long keys = kvplat::LiveRegistryKeys();
    HANDLE mappingBefore = ReadHandle(&g_ctx->hMapping);
    BOOL result = ProcessDeviceId(g_ctx, count != 0 ? reply : NULL, (WORD)count);
    free(reply);

    if (kvplat::LiveAllocations() != allocations)
        Fail("LocalAlloc blocks leaked");
    if (kvplat::LiveRegistryKeys() != keys)
        Fail("registry key left open");
    if (kvplat::LiveViews() != 0)
        Fail("view left mapped");
    // The printer shows the status the context holds.
    if (sim::TheSpooler().PrinterStatus(kPrinter) != ReadPrinterStatus(g_ctx))
        Fail("printer status differs from the context's");
    if (count == 0 && (result || ReadHandle(&g_ctx->hMapping) != NULL))
        Fail("no answer must close the status block");
    if (count != 0) {
        BOOL recognised = TestFlags(g_ctx, PCF_MAKER_OK) && TestFlags(g_ctx, PCF_MODEL_OK);
        if (recognised == TestFlags(g_ctx, PCF_UNRECOGNISED))
            Fail("recognition flags disagree");
        if (!recognised && (result || ReadHandle(&g_ctx->hMapping) != NULL))
            Fail("an unrecognised device must not hold a status block");
    }
    HANDLE mappingAfter = ReadHandle(&g_ctx->hMapping);
    if (mappingAfter != NULL && mappingAfter != mappingBefore)
        CheckPublishedBlock(mappingAfter);

    sim::TheSpooler().ClearHistory();
    if (++g_runs % kLogResetPeriod == 0) {
        kvplat::ResetForTest();  // the logs of posted messages grow otherwise
        RegisterCompanion();
    }
    return 0;
}
