// Loads kvmon as the spooler loads it (DllMain, then InitializeMonitorEx) against the
// simulated spooler and port monitor, and builds the device-ID replies the programs use.
#ifndef KVBENCH_HARNESS_H
#define KVBENCH_HARNESS_H

#include <string>
#include <vector>

#include "base64.h"
#include "kvmon.h"
#include "kvplatform.h"
#include "portmon.h"
#include "spooler.h"

namespace kvbench {

// The monitor, loaded once per process. Load() resets the platform, the spooler and the
// port monitor (call logging off), sets the clock scale and fills kvmon's table.
struct Monitor {
    MONITOR table{};
    DOC_INFO_1A doc{};

    static Monitor& Load(unsigned timeScale = 1);

    // A printer on a port in the simulated spooler (USB ports described as USB ports).
    void AddPrinter(const char* printer, const char* port);
    // OpenPortEx through kvmon's table with a copy of portMonitor (the simulated port
    // monitor's table by default). NULL on failure.
    HANDLE Open(const char* port, const char* printer, const MONITOR* portMonitor = nullptr);
    BOOL StartDoc(HANDLE h, const char* printer, DWORD jobId = 1);
    BOOL EndDoc(HANDLE h) { return table.pfnEndDocPort(h); }
    BOOL Close(HANDLE h) { return table.pfnClosePort(h); }
};

inline PortContext* Context(HANDLE h) { return static_cast<PortContext*>(h); }

// A port monitor whose slots do nothing but answer: OpenPort hands out a handle,
// StartDocPort/EndDocPort/ClosePort succeed, WritePort takes every byte, ReadPort reads
// nothing. No GetPrinterDataFromPort slot, so kvmon starts no polling thread on it. It
// shows what kvmon itself adds to a write, with no simulator cost on either side.
const MONITOR* NullPortMonitor();

using sim::Base64Encode;

// A status record of n bytes whose bytes 21 and 22 carry code (big-endian); the other
// bytes are a fixed pattern without NULs.
std::string StatusRecord(WORD code, size_t n);

// Device-ID replies of a Kestravon printer.
//  Typical(true):  ~300 bytes, "FL1;" and a 96-byte record in Base64 (128 characters).
//  Typical(false): ~300 bytes, the raw record (without "FL1;").
//  Short():        the minimum a device sends (~80 bytes).
//  Long():         ~900 bytes with many keys before the status field.
std::string TypicalReply(bool base64);
std::string ShortReply();
std::string LongReply();

// Random Base64 text of exactly n characters (n a multiple of 4), no padding, fixed seed.
std::string Base64Text(size_t n);

}  // namespace kvbench

#endif
