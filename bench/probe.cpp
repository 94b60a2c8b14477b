// Counts and footprint of kvmon, printed as text and written as JSON (first argument):
//   write      per-write heap allocations, LocalAlloc calls, locks (EnterCriticalSection)
//              and interlocked operations, kvmon's WritePort beside the port monitor's own
//   port       what one open port holds (context and strings) and what its first document
//              adds (events, polling thread)
//   query      per-query allocations, locks and mapped views, and what stays allocated
//   parked     a polling thread parked during a job, 10 s of real time: its CPU time,
//              context switches and the queries made; an idle polling thread beside it
//   cycles     10,000 open/print/close cycles: heap and platform objects at the end
//              against the start
// Options: --parked-seconds=N (default 10), --cycles=N (default 10000).
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "allocs.h"
#include "harness.h"
#include "wraps.h"

namespace {

using kvbench::Heap;
using kvbench::HeapCount;
using kvbench::Platform;
using kvbench::PlatformCount;

// ---- results ----

std::map<std::string, std::string> g_results;  // key -> JSON value

void Put(const std::string& key, double v)
{
    char text[64];
    snprintf(text, sizeof text, "%.6g", v);
    g_results[key] = text;
}

void PutText(const std::string& key, const std::string& v) { g_results[key] = "\"" + v + "\""; }

std::string Sizes(const std::vector<size_t>& v)
{
    std::string s;
    for (size_t x : v)
        s += (s.empty() ? "" : " ") + std::to_string(x);
    return s;
}

size_t Sum(const std::vector<size_t>& v)
{
    size_t s = 0;
    for (size_t x : v)
        s += x;
    return s;
}

void WriteJson(const char* path)
{
    std::ofstream out(path);
    out << "{\n";
    size_t i = 0;
    for (const auto& kv : g_results)
        out << "  \"" << kv.first << "\": " << kv.second << (++i < g_results.size() ? ",\n" : "\n");
    out << "}\n";
}

// Everything counted over one stretch of work.
struct Counts {
    HeapCount heap;
    PlatformCount platform;
    long liveLocal;
    static Counts Now() { return Counts{Heap(), Platform(), kvplat::LiveAllocations()}; }
    Counts operator-(const Counts& o) const { return Counts{heap - o.heap, platform - o.platform, liveLocal - o.liveLocal}; }
    Counts& operator+=(const Counts& o)
    {
        heap.calls += o.heap.calls;
        heap.bytes += o.heap.bytes;
        heap.frees += o.heap.frees;
        heap.liveBlocks += o.heap.liveBlocks;
        heap.liveBytes += o.heap.liveBytes;
        platform.locks += o.platform.locks;
        platform.localAllocs += o.platform.localAllocs;
        platform.localBytes += o.platform.localBytes;
        platform.localFrees += o.platform.localFrees;
        platform.interlocked += o.platform.interlocked;
        platform.views += o.platform.views;
        liveLocal += o.liveLocal;
        return *this;
    }
};

void PutPerCall(const std::string& key, const Counts& c, double n)
{
    Put(key + ".heap_allocs", c.heap.calls / n);
    Put(key + ".heap_bytes", c.heap.bytes / n);
    Put(key + ".local_allocs", c.platform.localAllocs / n);
    Put(key + ".local_bytes", c.platform.localBytes / n);
    Put(key + ".locks", c.platform.locks / n);
    Put(key + ".interlocked", c.platform.interlocked / n);
    Put(key + ".views", c.platform.views / n);
}

// ---- per-thread CPU time and wake-ups from /proc ----

std::set<long> Tasks()
{
    std::set<long> tids;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return tids;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.')
            tids.insert(atol(e->d_name));
    }
    closedir(dir);
    return tids;
}

struct ThreadStat {
    double cpuNs = 0;        // from schedstat: time on the CPU
    double ticks = 0;        // utime + stime, clock ticks
    double switches = 0;     // voluntary + involuntary context switches
};

ThreadStat ReadThread(long tid)
{
    ThreadStat s;
    std::string base = "/proc/self/task/" + std::to_string(tid);
    {
        std::ifstream in(base + "/schedstat");
        in >> s.cpuNs;
    }
    {
        std::ifstream in(base + "/stat");
        std::string line;
        std::getline(in, line);
        // Fields after the command name "(...)": state is field 3; utime 14, stime 15.
        size_t close = line.rfind(')');
        std::istringstream rest(close == std::string::npos ? "" : line.substr(close + 2));
        std::string field;
        double utime = 0, stime = 0;
        for (int i = 3; rest >> field; i++) {
            if (i == 14)
                utime = atof(field.c_str());
            if (i == 15) {
                stime = atof(field.c_str());
                break;
            }
        }
        s.ticks = utime + stime;
    }
    {
        std::ifstream in(base + "/status");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                s.switches += atof(line.substr(line.find(':') + 1).c_str());
        }
    }
    return s;
}

// Device-ID queries seen by the port monitor, by port.
std::mutex g_queryMutex;
std::map<std::string, unsigned> g_queries;

unsigned QueriesOf(const std::string& port)
{
    std::lock_guard<std::mutex> lock(g_queryMutex);
    return g_queries[port];
}

// ---- sections ----

void WriteSection(kvbench::Monitor& m)
{
    sim::PortMonitor& pm = sim::ThePortMonitor();
    m.AddPrinter("P1", "USB001");
    m.AddPrinter("P2", "USB002");
    pm.SetDeviceAnswer("USB001", sim::DeviceAnswer::Text(kvbench::TypicalReply(true)));
    HANDLE simPort = m.Open("USB001", "P1");
    HANDLE nullPort = m.Open("USB002", "P2", kvbench::NullPortMonitor());
    if (!m.StartDoc(simPort, "P1", 1) || !m.StartDoc(nullPort, "P2", 2))
        abort();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the thread parks

    printf("== write path: per WritePort call (%s)\n", "kvmon - direct = what kvmon adds");
    printf("%-22s %10s %10s %10s %10s %12s\n", "", "heap", "LocalAlloc", "locks", "interlock", "bytes ok");
    const unsigned total = 20000;
    for (HANDLE h : {simPort, nullPort}) {
        const bool sim = h == simPort;
        PortContext* ctx = kvbench::Context(h);
        for (size_t size : {64u, 4096u, 65536u}) {
            std::vector<BYTE> buffer(size, 0x5A);
            const unsigned window = std::max<unsigned>(1, std::min<unsigned>(total, (1u << 20) / size));
            Counts per[2];
            unsigned done = 0;
            bool bytesOk = true;
            for (int side = 0; side < 2; side++) {
                const bool viaKvmon = side == 0;
                Counts sum{};
                // Warm-up: the simulated port monitor's buffer reaches its capacity.
                DWORD written = 0;
                for (unsigned i = 0; i < window; i++)
                    ctx->portMonitor.pfnWritePort(ctx->hMonitorPort, buffer.data(), (DWORD)size, &written);
                if (sim)
                    pm.Clear();
                for (done = 0; done < total; done += window) {
                    Counts before = Counts::Now();
                    for (unsigned i = 0; i < window; i++) {
                        if (viaKvmon)
                            m.table.pfnWritePort(h, buffer.data(), (DWORD)size, &written);
                        else
                            ctx->portMonitor.pfnWritePort(ctx->hMonitorPort, buffer.data(), (DWORD)size, &written);
                        bytesOk = bytesOk && written == size;
                    }
                    sum += Counts::Now() - before;
                    if (sim) {
                        bytesOk = bytesOk && pm.Written("USB001").size() == size_t(window) * size;
                        pm.Clear();
                    }
                }
                per[side] = sum;
            }
            const std::string key = std::string("write.") + (sim ? "sim" : "null") + "." + std::to_string(size);
            PutPerCall(key + ".kvmon", per[0], done);
            PutPerCall(key + ".direct", per[1], done);
            Put(key + ".bytes_ok", bytesOk ? 1 : 0);
            for (int side = 0; side < 2; side++) {
                const Counts& c = per[side];
                printf("%-22s %10.3f %10.3f %10.3f %10.3f %12s\n",
                       (std::string(sim ? "sim " : "null ") + std::to_string(size) + (side ? " direct" : " kvmon")).c_str(),
                       c.heap.calls / double(done), c.platform.localAllocs / double(done),
                       c.platform.locks / double(done), c.platform.interlocked / double(done),
                       bytesOk ? "yes" : "NO");
            }
        }
    }
    for (HANDLE h : {simPort, nullPort}) {
        m.EndDoc(h);
        m.Close(h);
    }
}

void PortSection(kvbench::Monitor& m)
{
    const int ports = 32;
    std::vector<HANDLE> handles;
    Counts open{}, start{};
    kvbench::LocalLog firstOpen, firstStart;
    size_t threads = 0;
    long events = 0;
    sim::PortMonitor& pm = sim::ThePortMonitor();
    for (int i = 0; i < ports; i++) {
        std::string port = "USB1" + std::to_string(10 + i);
        std::string printer = "Printer on " + port;
        m.AddPrinter(printer.c_str(), port.c_str());
        pm.SetDeviceAnswer(port, sim::DeviceAnswer::Text(kvbench::TypicalReply(true)));

        kvbench::StartLocalLog();
        Counts before = Counts::Now();
        HANDLE h = m.Open(port.c_str(), printer.c_str());
        open += Counts::Now() - before;
        kvbench::LocalLog log = kvbench::StopLocalLog();
        if (i == 0)
            firstOpen = log;
        if (h == NULL)
            abort();
        handles.push_back(h);

        size_t threadsBefore = kvplat::CreatedThreads().size();
        long eventsBefore = kvplat::LiveEvents();
        kvbench::StartLocalLog();
        before = Counts::Now();
        if (!m.StartDoc(h, printer.c_str(), 100 + i))
            abort();
        start += Counts::Now() - before;
        log = kvbench::StopLocalLog();
        if (i == 0)
            firstStart = log;
        threads += kvplat::CreatedThreads().size() - threadsBefore;
        events += kvplat::LiveEvents() - eventsBefore;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    long liveThreads = kvplat::LiveThreads();

    printf("\n== per open port (average of %d USB ports)\n", ports);
    printf("sizeof(PortContext) = %zu bytes\n", sizeof(PortContext));
    printf("OpenPortEx: LocalAlloc blocks asked [%s] bytes; kept [%s] = %zu bytes in %zu blocks\n",
           Sizes(firstOpen.allocated).c_str(), Sizes(firstOpen.retained).c_str(), Sum(firstOpen.retained),
           firstOpen.retained.size());
    printf("OpenPortEx: per port %.1f LocalAlloc calls (%.0f bytes asked), %.1f live LocalAlloc blocks; "
           "heap (all layers) %.1f allocations, %.0f bytes asked, %+.0f bytes live\n",
           open.platform.localAllocs / double(ports), open.platform.localBytes / double(ports),
           open.liveLocal / double(ports), open.heap.calls / double(ports), open.heap.bytes / double(ports),
           open.heap.liveBytes / double(ports));
    printf("first StartDocPort (thread, events, first query): LocalAlloc asked [%s]; kept [%s]\n",
           Sizes(firstStart.allocated).c_str(), Sizes(firstStart.retained).c_str());
    printf("first StartDocPort: per port %.1f LocalAlloc calls, %.1f live LocalAlloc blocks, heap %+.0f bytes "
           "live; threads created per port %.2f, live events per port %.2f, live polling threads %ld\n",
           start.platform.localAllocs / double(ports), start.liveLocal / double(ports),
           start.heap.liveBytes / double(ports), threads / double(ports), events / double(ports), liveThreads);

    Put("port.context_size", sizeof(PortContext));
    PutText("port.open_local_sizes", Sizes(firstOpen.allocated));
    PutText("port.open_kept_sizes", Sizes(firstOpen.retained));
    Put("port.open_kept_bytes", Sum(firstOpen.retained));
    Put("port.open_kept_blocks", firstOpen.retained.size());
    Put("port.open_local_allocs", open.platform.localAllocs / double(ports));
    Put("port.open_local_bytes", open.platform.localBytes / double(ports));
    Put("port.open_live_local", open.liveLocal / double(ports));
    Put("port.open_heap_allocs", open.heap.calls / double(ports));
    Put("port.open_heap_live_bytes", open.heap.liveBytes / double(ports));
    PutText("port.start_kept_sizes", Sizes(firstStart.retained));
    Put("port.start_local_allocs", start.platform.localAllocs / double(ports));
    Put("port.start_live_local", start.liveLocal / double(ports));
    Put("port.start_heap_live_bytes", start.heap.liveBytes / double(ports));
    Put("port.threads_per_port", threads / double(ports));
    Put("port.events_per_port", events / double(ports));
    Put("port.live_threads", liveThreads);
    Put("port.ports", ports);

    kvplat::SetTimeScale(1000);  // ClosePort waits for the thread in 500 ms steps
    for (HANDLE h : handles) {
        m.EndDoc(h);
        m.Close(h);
    }
    kvplat::WaitForThreads(10000);
    kvplat::SetTimeScale(1);
}

void QuerySection(kvbench::Monitor& m)
{
    const unsigned n = 2000;
    printf("\n== per status query (%u queries each)\n", n);
    printf("%-26s %8s %10s %8s %10s %8s %8s %8s %12s\n", "", "heap", "heap B", "Local", "Local B", "locks",
           "views", "intlk", "live after");

    auto run = [&](const char* name, const std::function<void()>& query) {
        query();  // the first publication creates the mapping
        Counts before = Counts::Now();
        for (unsigned i = 0; i < n; i++)
            query();
        Counts c = Counts::Now() - before;
        PutPerCall(std::string("query.") + name, c, n);
        Put(std::string("query.") + name + ".live_local_after", c.liveLocal);
        Put(std::string("query.") + name + ".live_heap_blocks_after", c.heap.liveBlocks);
        printf("%-26s %8.2f %10.1f %8.2f %10.1f %8.2f %8.2f %8.2f %6ld/%-5lld\n", name, c.heap.calls / double(n),
               c.heap.bytes / double(n), c.platform.localAllocs / double(n), c.platform.localBytes / double(n),
               c.platform.locks / double(n), c.platform.views / double(n), c.platform.interlocked / double(n),
               c.liveLocal, (long long)c.heap.liveBlocks);
    };

    m.AddPrinter("P200", "USB200");
    m.AddPrinter("P201", "USB201");
    EnterCriticalSection(&g_csPorts);
    PortContext* decoded = CreatePortContext("USB200", "P200");
    PortContext* raw = CreatePortContext("USB201", "P201");
    LeaveCriticalSection(&g_csPorts);

    for (int form = 0; form < 2; form++) {
        const std::string text = kvbench::TypicalReply(form == 0);
        PortContext* ctx = form == 0 ? decoded : raw;
        static char reply[DEVID_BUFFER_SIZE];
        run(form == 0 ? "ProcessDeviceId.decoded" : "ProcessDeviceId.raw", [&] {
            std::memset(reply, 0, sizeof reply);
            std::memcpy(reply, text.data(), text.size());
            ProcessDeviceId(ctx, reply, (WORD)text.size());
        });
    }

    m.AddPrinter("P202", "USB202");
    sim::ThePortMonitor().SetDeviceAnswer("USB202", sim::DeviceAnswer::Text(kvbench::TypicalReply(true)));
    HANDLE h = m.Open("USB202", "P202");
    if (h == NULL || !m.StartDoc(h, "P202", 202))
        abort();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    PortContext* ctx = kvbench::Context(h);
    run("QueryDeviceStatus", [&] { QueryDeviceStatus(ctx, FALSE); });
    static char buffer[DEVID_BUFFER_SIZE];
    run("port-monitor-alone", [&] {
        DWORD count = 0;
        ctx->portMonitor.pfnGetPrinterDataFromPort(ctx->hMonitorPort, CONTROL_QUERY_DEVICE_ID_USB, NULL, NULL, 0,
                                                   buffer, sizeof buffer, &count);
    });

    kvplat::SetTimeScale(1000);
    m.EndDoc(h);
    m.Close(h);
    kvplat::WaitForThreads(10000);
    kvplat::SetTimeScale(1);
    for (PortContext* c : {decoded, raw}) {
        CloseStatusMapping(c);
        EnterCriticalSection(&g_csPorts);
        DeletePortContext(c);
        LeaveCriticalSection(&g_csPorts);
    }
}

// One polling thread over `seconds` of real time, parked during a job or polling between jobs.
void MeasureThread(const char* key, long tid, const std::string& port, int seconds)
{
    ThreadStat s0 = ReadThread(tid);
    unsigned q0 = QueriesOf(port);
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ThreadStat s1 = ReadThread(tid);
    unsigned queries = QueriesOf(port) - q0;
    double cpuUs = (s1.cpuNs - s0.cpuNs) / 1000.0;
    double ticks = s1.ticks - s0.ticks;
    double switches = s1.switches - s0.switches;
    printf("%-28s real %.2f s: CPU %.1f us (schedstat), %.0f clock ticks, %.0f context switches, %u queries\n", key,
           real, cpuUs, ticks, switches, queries);
    Put(std::string("thread.") + key + ".real_s", real);
    Put(std::string("thread.") + key + ".cpu_us", cpuUs);
    Put(std::string("thread.") + key + ".ticks", ticks);
    Put(std::string("thread.") + key + ".switches", switches);
    Put(std::string("thread.") + key + ".queries", queries);
}

void ParkedSection(kvbench::Monitor& m, int seconds)
{
    printf("\n== polling thread, %d s of real time each (time scale 1)\n", seconds);
    kvplat::SetTimeScale(1);
    sim::PortMonitor& pm = sim::ThePortMonitor();
    m.AddPrinter("P300", "USB300");
    pm.SetDeviceAnswer("USB300", sim::DeviceAnswer::Text(kvbench::TypicalReply(true)));
    HANDLE h = m.Open("USB300", "P300");
    std::set<long> before = Tasks();
    if (h == NULL || !m.StartDoc(h, "P300", 300))
        abort();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    long tid = 0;
    for (long t : Tasks())
        if (!before.count(t))
            tid = t;
    if (tid == 0) {
        printf("polling thread not found\n");
        return;
    }
    MeasureThread("parked_during_job", tid, "USB300", seconds);
    // Between jobs the same thread polls every ReadCycle (2000 ms): the method sees it.
    m.EndDoc(h);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    MeasureThread("polling_between_jobs", tid, "USB300", seconds);
    kvplat::SetTimeScale(1000);
    m.Close(h);
    kvplat::WaitForThreads(10000);
    kvplat::SetTimeScale(1);
}

struct Objects {
    long local, events, threads, threadHandles, mappings, views, printerHandles, portHandles;
    HeapCount heap;
    static Objects Now()
    {
        return Objects{kvplat::LiveAllocations(),
                       kvplat::LiveEvents(),
                       kvplat::LiveThreads(),
                       kvplat::LiveThreadHandles(),
                       kvplat::LiveMappings(),
                       kvplat::LiveViews(),
                       sim::TheSpooler().OpenHandleCount(),
                       sim::ThePortMonitor().OpenHandleCount(),
                       Heap()};
    }
};

void CyclesSection(kvbench::Monitor& m, unsigned cycles)
{
    printf("\n== %u open/print/close cycles on a USB port (polling thread each time; time scale 1000)\n", cycles);
    kvplat::SetTimeScale(1000);
    sim::PortMonitor& pm = sim::ThePortMonitor();
    sim::Spooler& spooler = sim::TheSpooler();
    m.AddPrinter("P400", "USB400");
    pm.SetDeviceAnswer("USB400", sim::DeviceAnswer::Text(kvbench::TypicalReply(true)));
    std::vector<BYTE> data(4096, 0x5A);
    unsigned failures = 0;

    auto cycle = [&](unsigned i) {
        DWORD written = 0;
        HANDLE h = m.Open("USB400", "P400");
        if (h == NULL) {
            failures++;
            return;
        }
        if (!m.StartDoc(h, "P400", 1000 + i))
            failures++;
        if (!m.table.pfnWritePort(h, data.data(), (DWORD)data.size(), &written) || written != data.size())
            failures++;
        m.EndDoc(h);
        m.Close(h);
        // The simulation's own records, emptied every cycle so that they do not grow.
        pm.Clear();
        spooler.ClearHistory();
        kvplat::ClearThreadRecords();
    };

    kvplat::WaitForThreads(10000);
    Objects start = Objects::Now();
    const unsigned warmup = 10;
    for (unsigned i = 0; i < warmup; i++)
        cycle(i);
    kvplat::WaitForThreads(10000);
    Objects warm = Objects::Now();
    auto t0 = std::chrono::steady_clock::now();
    for (unsigned i = 0; i < cycles; i++)
        cycle(warmup + i);
    kvplat::WaitForThreads(10000);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    Objects end = Objects::Now();

    printf("%u cycles in %.1f s, %u failed calls\n", cycles, secs, failures);
    printf("%-24s %12s %12s %12s\n", "", "start", "after warm-up", "end");
    auto row = [&](const char* name, const char* key, long a, long b, long c) {
        printf("%-24s %12ld %12ld %12ld\n", name, a, b, c);
        Put(std::string("cycles.") + key + ".start", a);
        Put(std::string("cycles.") + key + ".warm", b);
        Put(std::string("cycles.") + key + ".end", c);
    };
    row("LocalAlloc blocks live", "local", start.local, warm.local, end.local);
    row("heap blocks live", "heap_blocks", start.heap.liveBlocks, warm.heap.liveBlocks, end.heap.liveBlocks);
    row("heap bytes live", "heap_bytes", start.heap.liveBytes, warm.heap.liveBytes, end.heap.liveBytes);
    row("events", "events", start.events, warm.events, end.events);
    row("threads running", "threads", start.threads, warm.threads, end.threads);
    row("thread handles", "thread_handles", start.threadHandles, warm.threadHandles, end.threadHandles);
    row("mappings", "mappings", start.mappings, warm.mappings, end.mappings);
    row("views", "views", start.views, warm.views, end.views);
    row("printer handles", "printer_handles", start.printerHandles, warm.printerHandles, end.printerHandles);
    row("port monitor handles", "port_handles", start.portHandles, warm.portHandles, end.portHandles);
    Put("cycles.count", cycles);
    Put("cycles.failures", failures);
    Put("cycles.seconds", secs);
    Put("cycles.heap_allocs_per_cycle", (end.heap.calls - warm.heap.calls) / double(cycles));
    kvplat::SetTimeScale(1);
}

}  // namespace

int main(int argc, char** argv)
{
    const char* jsonPath = nullptr;
    int parkedSeconds = 10;
    unsigned cycles = 10000;
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "--parked-seconds=", 17) == 0)
            parkedSeconds = atoi(argv[i] + 17);
        else if (strncmp(argv[i], "--cycles=", 9) == 0)
            cycles = (unsigned)atoi(argv[i] + 9);
        else
            jsonPath = argv[i];
    }

    kvbench::Monitor& m = kvbench::Monitor::Load(1);
    sim::ThePortMonitor().SetObserver([](const sim::PortCall& call) {
        if (call.function == "GetPrinterDataFromPort") {
            std::lock_guard<std::mutex> lock(g_queryMutex);
            g_queries[call.port]++;
        }
    });

    WriteSection(m);
    PortSection(m);
    QuerySection(m);
    // The observer is left on: it runs on both sides of every comparison above and the
    // sections below count queries with it.
    ParkedSection(m, parkedSeconds);
    CyclesSection(m, cycles);

    if (g_pPortList != nullptr)
        printf("\nWARNING: ports left open\n");
    if (jsonPath != nullptr)
        WriteJson(jsonPath);
    return 0;
}
