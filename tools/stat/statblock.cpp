// Reading a port's status block as a separate process does.
//
// Live or gone: on Windows a named mapping exists only while some process holds a handle
// to it, and the monitor closes its handle as soon as it stops publishing; a block that can
// be opened is therefore held, by the monitor or by another reader that still has it open.
// On POSIX a mapping is a shared memory object that survives a holder that was killed; every
// holder keeps a shared lock on it, so an object without a lock has lost its publisher.
#include "statblock.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#ifndef _WIN32
#include "kvplatform.h"
#endif

namespace kvtools {

namespace {

const char kWhyAbsent[] =
    "the monitor keeps a port's block only while it polls a recognised printer whose reply has a "
    "\"VSTATUS:\" field; it closes it when the printer does not answer, its reply is not recognised or has no "
    "status field, and when polling ends (the port is closed). Check the port name and --monitor (the language "
    "monitor the printer's driver names)";

std::string InNamespace(const BlockReading& r)
{
    return r.ns.empty() ? "" : " in namespace \"" + r.ns + "\"";
}

const char* StateName(BlockState s)
{
    switch (s) {
    case BlockState::Absent:
        return "absent";
    case BlockState::Live:
        return "live";
    case BlockState::PublisherGone:
        return "publisher-gone";
    case BlockState::Failed:
        return "failed";
    }
    return "failed";
}

// The block's bytes, length field included.
bool MapBlock(HANDLE h, std::string* bytes, std::string* error)
{
    const BYTE* head = static_cast<const BYTE*>(MapViewOfFile(h, FILE_MAP_READ, 0, 0, 2));
    if (head == NULL) {
        *error = "cannot map it (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    DWORD length = static_cast<DWORD>(head[0]) << 8 | head[1];
    UnmapViewOfFile(head);
    if (length < 2)
        length = 2;
    const char* view = static_cast<const char*>(MapViewOfFile(h, FILE_MAP_READ, 0, 0, length));
    if (view == NULL) {
        *error = "its length field says " + std::to_string(length) + " bytes, more than the mapping holds";
        return false;
    }
    bytes->assign(view, length);
    UnmapViewOfFile(view);
    return true;
}

}  // namespace

BlockReading ReadStatusBlock(const std::string& monitor, const std::string& port)
{
    BlockReading r;
    // Exactly the name the monitor builds, cut as it cuts it.
    char name[NAME_BUFFER_SIZE];
    JoinMappingName(monitor.c_str(), port.c_str(), name);
    r.name = name;
#ifndef _WIN32
    r.ns = kvplat::MappingNamespace();
    // Asked before this process opens the block, since its own handle would hold it.
    kvplat::MappingPresence presence = kvplat::ProbeMapping(r.name);
#endif
    HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, r.name.c_str());
    if (h == NULL) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            r.state = BlockState::Absent;
            r.reason = std::string("no status block \"") + r.name + "\"" + InNamespace(r) + ": " + kWhyAbsent;
        } else {
            r.state = BlockState::Failed;
            r.reason = "cannot open status block \"" + r.name + "\"" + InNamespace(r) + " (error " +
                       std::to_string(error) + ")";
        }
        return r;
    }
    std::string error;
    r.read = MapBlock(h, &r.bytes, &error);
    CloseHandle(h);
    if (!r.read) {
        r.state = BlockState::Failed;
        r.reason = "status block \"" + r.name + "\": " + error;
        return r;
    }
    r.analysis = AnalyseBlock(r.bytes);
#ifndef _WIN32
    if (presence == kvplat::MappingPresence::Unheld) {
        r.state = BlockState::PublisherGone;
        r.reason = "publisher gone: no process holds the block; it was left by a process that ended without "
                   "closing it, and is removed now that this reader has let it go";
        return r;
    }
    r.state = BlockState::Live;
    r.reason = "live: a process holds the block (the monitor while it polls, or another reader)";
#else
    r.state = BlockState::Live;
    r.reason = "live: Windows keeps a named block only while a process holds it (the monitor while it polls, or "
               "another reader)";
#endif
    return r;
}

bool SameReading(const BlockReading& a, const BlockReading& b)
{
    return a.state == b.state && a.bytes == b.bytes && a.reason == b.reason;
}

void PrintReading(std::ostream& out, const BlockReading& r, const std::string& time)
{
    if (!time.empty())
        out << "-- " << time << '\n';
    out << "block         \"" << DisplayText(r.name) << "\"\n";
    if (!r.ns.empty())
        out << "namespace     " << DisplayText(r.ns) << '\n';
    out << "state         " << r.reason << '\n';
    if (r.read)
        PrintBlockAnalysis(out, r.analysis);
}

std::string ReadingJson(const BlockReading& r, const std::string& time)
{
    JsonObject o;
    o.String("time", time);
    o.Ansi("block", r.name);
    if (r.ns.empty())
        o.Null("namespace");
    else
        o.Ansi("namespace", r.ns);
    o.String("state", StateName(r.state));
    o.String("state_reason", r.reason);
    o.Bool("readable", r.read && r.analysis.valid);
    if (r.read && !r.analysis.valid)
        o.String("error", r.analysis.error);
    else
        o.Null("error");
    AddBlockFields(o, r.read ? &r.analysis : nullptr);
    return o.Text();
}

std::string TimeStamp()
{
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm = *std::gmtime(&seconds);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return buf;
}

}  // namespace kvtools
