// Counting the kinds of the monitor's trace events, per seed, in explore's workers. The
// sink only notes a kind: it adds no scheduling point, so a seed plays the same schedule
// with and without it.
#include "reach.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

namespace kvtools {

const char* const kReachKinds[] = {
    "block-created: \"...\", N bytes",
    "block-created: \"...\", N bytes, without a security descriptor (no object security here)",
    "code: N (row N), bits 0xN: SetPrinterA called; the companion is told",
    "code: N (row N), bits 0xN: SetPrinterA called; offline, the companion is not told",
    "code: N (row N), bits 0xN: unchanged, SetPrinterA skipped",
    "code: N (not in the table), bits 0xN: SetPrinterA called; offline, the companion is not told",
    "code: N (not in the table), bits 0xN: unchanged, SetPrinterA skipped",
    "doc-end: document N, held open for polling, ended by StartDocPort",
    "doc-end: document N ended by EndDocPort",
    "doc-end: document N ended by ClosePort",
    "doc-end: document N ended by the polling thread: its printer was deleted",
    "doc-held: document N stays open for the polling thread's queries",
    "doc-refused: the port monitor did not start job N (error N)",
    "doc-start: job N is document N at the port monitor",
    "no-answer: the device did not answer: code N, printer offline",
    "not-polled: not a USB or LPT port",
    "not-polled: the port monitor has no GetPrinterDataFromPort",
    "not-polled: no polling thread: CreateThread failed (error N)",
    "not-polled: no polling thread: CreateEventA failed (error N)",
    "not-published: recognised, but no \"...\" field: status left as it was, block withdrawn",
    "not-published: a reply of N byte(s) cannot hold the length field",
    "not-published: CreateFileMappingA \"...\" failed (error N)",
    "not-published: the security descriptor for \"...\" failed (error N)",
    "not-published: LocalAlloc of the security descriptor for \"...\" failed (error N)",
    "not-published: no view of N bytes in the block (error N)",
    "not-queried: no document is open at the port monitor",
    "not-queried: the polling thread has ended: nothing would close a block published now",
    "not-queried: the document was ended during the query: no answer, but the printer is not marked offline",
    "not-recognised: no MFG: or MANUFACTURER: value beginning \"...\"; status left as it was, block withdrawn",
    "not-recognised: no MDL: or MODEL: value beginning with an accepted model; status left as it was, block "
    "withdrawn",
    "notified: \"...\" written, \"...\" broadcast",
    "notified: \"...\" not fully written, \"...\" broadcast",
    "notified: \"...\" written, \"...\" broadcast failed",
    "notified: \"...\" not fully written, \"...\" broadcast failed",
    "notify-skipped: the companion is not installed (no key HKLM\\SOFTWARE\\Kestravon\\Statovue)",
    "notify-skipped: the companion's \"...\" cannot be read",
    "notify-skipped: the companion's folder is longer than N characters",
    "notify-skipped: no memory for the printer's name",
    "notify-skipped: no memory for the driver's name",
    "printer-back: a new document started while looking: polling goes on",
    "printer-gone: the printer is no longer listed: looking again in N ms",
    "printer-renamed: \"...\" is now \"...\": the port's printer handle names it (poll)",
    "printer-renamed: \"...\" is now \"...\": the port's printer handle names it (status update)",
    "printer-reopened: StartDocPort: the printer handle names \"...\", not \"...\": reopened by name",
    "printer-reopened: StartDocPort: the printer handle fails (error N) while \"...\" is listed: reopened by name",
    "printer-reopened: StartDocPort: the printer handle's printer is being deleted while \"...\" is listed: "
    "reopened by name",
    "printer-reopened: status update: the printer handle fails (error N) while \"...\" is listed: reopened by name",
    "printer-reopened: status update: the printer handle's printer is being deleted while \"...\" is listed: "
    "reopened by name",
    "prompt: not shown: job N has no document name or data type",
    "prompt: shown for job N: answer Retry, the job is restarted",
    "prompt: shown for job N: answer Cancel, the job is cancelled",
    "prompt: the answer is lost: OpenPrinterA failed (error N)",
    "published: N bytes",
    "query: control 0xN: TRUE, error N, N bytes",
    "query: control 0xN: FALSE, error N, N bytes",
    "recognised: maker and model accepted",
    "record: decoded from Base64: N bytes, code N from bytes N-N",
    "record: raw (no \"...\" before \"...\", or not whole Base64 groups): code N from bytes N-N",
    "request-refused: no document is open at the port monitor",
    "request-refused: device request 0xN: the port monitor has no GetPrinterDataFromPort",
    "request-refused: device request 0xN: an ECP port with jobs queued",
    "status-cleared: a write got through: status 0xN cleared",
    "status-request: the polling thread is asked for a query",
    "status-request: not refreshed: not a \"...\" request",
    "status-request: not refreshed: no polling thread",
    "status-request: not refreshed: a status block is published",
    "status-request: not refreshed: the polling thread is ending",
    "thread-backoff: ECP port, N job(s) queued: no query for N ms",
    "thread-end: the printer was deleted",
    "thread-end: the port was closed",
    "thread-handover: document N gets the polling thread it was owed",
    "thread-owed: the previous polling thread is still ending: it starts the next one as it ends",
    "thread-park: a job prints: no queries until a write fails, a client asks, the document ends or the port closes",
    "thread-start: thread N polls every N ms",
    "thread-wake: timeout after N ms",
    "thread-wake: woken by ClosePort",
    "thread-wake: woken by a status request",
    "thread-wake: woken by a write error",
    "thread-wake: woken by the end of the document",
    "thread-wake: woken by a new document",
    "trace-on: level N, to the debugger",
    "trace-on: level N, cap N bytes, then \"...\"",
    "write-failed: N bytes: FALSE (error N), N written: status query",
    "write-failed: N bytes: TRUE (error N), N written: status query",
};
const size_t kReachKindCount = sizeof kReachKinds / sizeof kReachKinds[0];
static_assert(sizeof kReachKinds / sizeof kReachKinds[0] <= ReachTally::kMaxKinds, "ReachTally too small");

const Unreachable kUnreachable[] = {
    {"not-polled: the port monitor has no GetPrinterDataFromPort", "the simulated port monitor always has it"},
    {"not-polled: no polling thread: CreateThread failed (error N)", "thread creation never fails in the simulation"},
    {"not-polled: no polling thread: CreateEventA failed (error N)", "event creation never fails in the simulation"},
    {"not-published: CreateFileMappingA \"...\" failed (error N)", "mappings never fail in the simulation"},
    {"not-published: no view of N bytes in the block (error N)", "views never fail in the simulation"},
    {"not-published: the security descriptor for \"...\" failed (error N)",
     "the security calls fail in the simulation only as on Windows 98, where the block goes without one"},
    {"not-published: LocalAlloc of the security descriptor for \"...\" failed (error N)",
     "allocations never fail in the simulation"},
    {"block-created: \"...\", N bytes, without a security descriptor (no object security here)",
     "only as Windows 98 (--os win98)"},
    {"notified: \"...\" written, \"...\" broadcast failed", "the simulated broadcast never fails"},
    {"notified: \"...\" not fully written, \"...\" broadcast failed", "the simulated broadcast never fails"},
    {"notify-skipped: the companion is not installed (no key HKLM\\SOFTWARE\\Kestravon\\Statovue)",
     "the simulator keeps the companion's key: statovue off removes its folder value"},
    {"not-published: a reply of N byte(s) cannot hold the length field",
     "a recognised reply is longer than 2 bytes, and the simulated port monitor reports the count it wrote"},
    {"notify-skipped: the companion's folder is longer than N characters",
     "the simulator's companion folder is a short temporary path"},
    {"notify-skipped: no memory for the printer's name", "allocations never fail in the simulation"},
    {"notify-skipped: no memory for the driver's name", "allocations never fail in the simulation"},
    {"prompt: not shown: job N has no document name or data type",
     "the simulated spooler always names the document and its data type"},
    {"request-refused: device request 0xN: the port monitor has no GetPrinterDataFromPort",
     "the simulated port monitor always has it, and the spooler sends no device requests"},
    {"request-refused: device request 0xN: an ECP port with jobs queued", "the simulated spooler sends no device requests"},
    {"status-request: not refreshed: not a \"...\" request", "the simulated spooler asks only for \"Printer Status\""},
    {"status-request: not refreshed: the polling thread is ending",
     "the polling thread would have to end and another start between the request's two looks at it, and only "
     "a document started by a second spooler thread starts one; the simulated spooler makes one call at a time"},
    {"trace-on: level N, to the debugger", "the simulation keeps no trace file settings in the registry"},
    {"trace-on: level N, cap N bytes, then \"...\"", "the simulation keeps no trace file settings in the registry"},
};
const size_t kUnreachableCount = sizeof kUnreachable / sizeof kUnreachable[0];

std::string ReachKind(const char* event, const char* reason)
{
    std::string kind = std::string(event) + ": ";
    for (const char* p = reason; *p != '\0';) {
        if (*p == '"') {
            const char* end = std::strchr(p + 1, '"');
            kind += "\"...\"";
            p = end == nullptr ? p + std::strlen(p) : end + 1;
        } else if (p[0] == '0' && p[1] == 'x' && std::isxdigit(static_cast<unsigned char>(p[2]))) {
            kind += "0xN";
            for (p += 2; std::isxdigit(static_cast<unsigned char>(*p));)
                p++;
        } else if (std::isdigit(static_cast<unsigned char>(*p))) {
            // A number, unless it is part of a word ("Base64").
            bool word = p != reason && std::isalpha(static_cast<unsigned char>(p[-1]));
            for (kind += word ? "" : "N"; std::isdigit(static_cast<unsigned char>(*p)); p++) {
                if (word)
                    kind += *p;
            }
        } else {
            kind += *p++;
        }
    }
    return kind;
}

namespace {

// The kinds of the seed being played: by index in the list, others by name. Threads of a
// deterministic run take turns, so one runs the sink at a time.
std::vector<bool> g_seen(kReachKindCount, false);
std::set<std::string> g_others;

const std::map<std::string, size_t>& KindIndex()
{
    static const std::map<std::string, size_t> index = [] {
        std::map<std::string, size_t> m;
        for (size_t i = 0; i < kReachKindCount; i++)
            m[kReachKinds[i]] = i;
        return m;
    }();
    return index;
}

}  // namespace

void ReachSink(const char*, const char* event, const char* reason)
{
    std::string kind = ReachKind(event, reason);
    auto it = KindIndex().find(kind);
    if (it != KindIndex().end())
        g_seen[it->second] = true;
    else
        g_others.insert(kind);
}

void ReachSeedDone(ReachTally* tally)
{
    for (size_t i = 0; i < kReachKindCount; i++) {
        if (g_seen[i])
            tally->counts[i]++;
        g_seen[i] = false;
    }
    for (const std::string& name : g_others) {
        for (size_t k = 0; k < ReachTally::kMaxOthers; k++) {
            char* slot = tally->otherNames[k];
            if (slot[0] == '\0')
                std::snprintf(slot, ReachTally::kNameSize, "%s", name.c_str());
            if (name.compare(0, ReachTally::kNameSize - 1, slot) == 0) {
                tally->otherCounts[k]++;
                break;
            }
        }
    }
    g_others.clear();
}

void CollectReach(ReachTally* tally, ReachCounts* counts)
{
    for (size_t i = 0; i < kReachKindCount; i++)
        (*counts)[kReachKinds[i]] += tally->counts[i];
    for (size_t k = 0; k < ReachTally::kMaxOthers && tally->otherNames[k][0] != '\0'; k++)
        (*counts)[tally->otherNames[k]] += tally->otherCounts[k];
    std::memset(tally, 0, sizeof *tally);
}

void PrintReach(const ReachCounts& counts, uint64_t seeds, std::ostream& out)
{
    std::map<std::string, const char*> cannot;
    for (size_t i = 0; i < kUnreachableCount; i++)
        cannot[kUnreachable[i].kind] = kUnreachable[i].why;
    std::set<std::string> listed(kReachKinds, kReachKinds + kReachKindCount);
    size_t reached = 0;
    std::vector<std::string> missed;
    std::vector<std::string> others;
    for (const auto& entry : counts) {
        if (listed.count(entry.first) == 0) {
            if (entry.second != 0)
                others.push_back(entry.first);
            continue;
        }
        if (entry.second != 0)
            reached++;
        else if (cannot.count(entry.first) == 0)
            missed.push_back(entry.first);
    }
    out << "reach: " << reached << " of " << kReachKindCount << " kinds of the monitor's decisions in " << seeds
        << " seeds; " << missed.size() << " never reached that the simulation can cause\n";
    for (const std::string& kind : missed)
        out << "  never reached: " << kind << '\n';
    for (const std::string& kind : others)
        out << "  reached, not in the list: " << kind << " (" << counts.at(kind) << " seeds)\n";
    for (const auto& entry : cannot) {
        auto it = counts.find(entry.first);
        if (it == counts.end() || it->second == 0)
            out << "  cannot be caused: " << entry.first << " (" << entry.second << ")\n";
    }
}

}  // namespace kvtools
