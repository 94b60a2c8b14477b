// What the trace costs: the write path and the status query with tracing off, side by side
// with the port monitor called directly, and the cost of one event with tracing on. Built
// twice by bench/CMakeLists.txt: kvmon_trace_bench (the monitor as shipped) and
// kvmon_trace_baseline (the monitor with every trace call compiled out), which
// scripts/bench-trace runs alternately so that both see the same machine.
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// ns per call of f over a batch of n calls.
template <class F>
double Batch(size_t n, F&& f)
{
    auto start = Clock::now();
    for (size_t i = 0; i < n; i++)
        f();
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / static_cast<double>(n);
}

struct Paired {
    double a, b, ratio, extra;  // medians: ns of a, ns of b, per-round a / b and a - b
};

// Rounds of one batch of each side, the order alternating; medians over the rounds.
template <class A, class B>
Paired Pair(unsigned rounds, size_t n, A&& a, B&& b)
{
    std::vector<double> ta, tb, r, d;
    for (unsigned i = 0; i < rounds; i++) {
        double x, y;
        if (i % 2 == 0) {
            x = Batch(n, a);
            y = Batch(n, b);
        } else {
            y = Batch(n, b);
            x = Batch(n, a);
        }
        ta.push_back(x);
        tb.push_back(y);
        r.push_back(x / y);
        d.push_back(x - y);
    }
    return Paired{Median(ta), Median(tb), Median(r), Median(d)};
}

template <class F>
double Single(unsigned rounds, size_t n, F&& f)
{
    std::vector<double> t;
    for (unsigned i = 0; i < rounds; i++)
        t.push_back(Batch(n, f));
    return Median(t);
}

void WriteRows(kvbench::Monitor& m, HANDLE h, const char* what, unsigned rounds)
{
    PortContext* ctx = kvbench::Context(h);
    auto pmWrite = ctx->portMonitor.pfnWritePort;
    HANDLE hMon = ctx->hMonitorPort;
    for (size_t size : {64u, 4096u}) {
        std::vector<BYTE> buffer(size, 0x5A);
        DWORD written = 0;
        size_t n = size == 64 ? 20000 : 2000;
        // The simulated port monitor keeps what it is given: emptied every 1 MiB, on both sides.
        const size_t clearEvery = (1u << 20) / size;
        size_t sinceClear = 0;
        auto clear = [&] {
            if (++sinceClear == clearEvery) {
                sinceClear = 0;
                sim::ThePortMonitor().Clear();
            }
        };
        Paired p = Pair(
            rounds, n,
            [&] {
                m.table.pfnWritePort(h, buffer.data(), (DWORD)size, &written);
                clear();
            },
            [&] {
                pmWrite(hMon, buffer.data(), (DWORD)size, &written);
                clear();
            });
        std::printf("write %-5zu B %-24s kvmon %8.1f ns  direct %8.1f ns  kvmon/direct %.3f  kvmon-direct %5.1f ns\n",
                    size, what, p.a, p.b, p.ratio, p.extra);
    }
}

#ifndef KVMON_TRACE_COMPILED_OUT
void NullSink(LPCSTR, LPCSTR, LPCSTR) {}

void SetTraceValues(const std::string& file, DWORD level)
{
    HKEY key = NULL;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Print\\Monitors\\Kestravon Language Monitor",
                    0, NULL, 0, KEY_WRITE, NULL, &key, NULL);
    RegSetValueExA(key, TRACE_VALUE_FILE, 0, REG_SZ, (const BYTE*)file.c_str(), (DWORD)file.size() + 1);
    RegSetValueExA(key, TRACE_VALUE_LEVEL, 0, REG_DWORD, (const BYTE*)&level, sizeof level);
    DWORD cap = 64u << 20;
    RegSetValueExA(key, TRACE_VALUE_MAX_BYTES, 0, REG_DWORD, (const BYTE*)&cap, sizeof cap);
    RegCloseKey(key);
}
#endif

}  // namespace

int main(int argc, char** argv)
{
    unsigned rounds = argc > 1 ? (unsigned)std::atoi(argv[1]) : 101;
    // One processor for the whole run: a batch is never moved to another core half-way, and
    // both sides of a pair meet the same caches.
    int cpu = sched_getcpu();
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu < 0 ? 0 : cpu, &set);
    bool pinned = sched_setaffinity(0, sizeof set, &set) == 0;
    kvbench::Monitor& m = kvbench::Monitor::Load(1);
    m.AddPrinter("P1", "USB001");
    m.AddPrinter("P2", "USB002");
    m.AddPrinter("P3", "USB003");
    sim::ThePortMonitor().SetDeviceAnswer("USB003", sim::DeviceAnswer::Text(kvbench::TypicalReply(true)));
    HANDLE simPort = m.Open("USB001", "P1");
    HANDLE nullPort = m.Open("USB002", "P2", kvbench::NullPortMonitor());
    HANDLE queryPort = m.Open("USB003", "P3");
    if (simPort == NULL || nullPort == NULL || queryPort == NULL || !m.StartDoc(simPort, "P1") ||
        !m.StartDoc(nullPort, "P2") || !m.StartDoc(queryPort, "P3")) {
        std::fprintf(stderr, "kvmon_trace_bench: set-up failed\n");
        return 1;
    }
#ifdef KVMON_TRACE_COMPILED_OUT
    std::printf("build         baseline: every trace call compiled out\n");
#else
    std::printf("build         as shipped: trace calls in, tracing off\n");
#endif
    std::printf("rounds        %u, %s\n", rounds, pinned ? "pinned to one processor" : "not pinned");
    WriteRows(m, nullPort, "(null port monitor)", rounds);
    WriteRows(m, simPort, "(simulated port monitor)", rounds);
    PortContext* q = kvbench::Context(queryPort);
    std::printf("query         QueryDeviceStatus %8.1f ns\n",
                Single(rounds, 2000, [&] { QueryDeviceStatus(q, FALSE); }));
#ifndef KVMON_TRACE_COMPILED_OUT
    // One event, tracing on at the decisions level: to a sink that does nothing (the
    // formatting), and to a file on /tmp (formatting, local time, lock, one write).
    SetTraceSink(NullSink, TRACE_DECISIONS);
    std::printf("event         decisions, formatting only  %8.1f ns\n",
                Single(rounds, 20000, [] { TRACE(TRACE_DECISIONS, "USB001", "code", "%u (row %d), bits 0x%08X: %s",
                                                 42632u, 16, 0x00100008u, "SetPrinterA called"); }));
    SetTraceSink(NULL, TRACE_OFF);
    std::string file = "/tmp/kvmon-trace-bench-" + std::to_string(getpid()) + ".log";
    SetTraceValues(file, TRACE_DECISIONS);
    ReadTraceSettings("System\\CurrentControlSet\\Control\\Print\\Monitors\\Kestravon Language Monitor");
    std::printf("event         decisions, to a file        %8.1f ns\n",
                Single(rounds, 20000, [] { TRACE(TRACE_DECISIONS, "USB001", "code", "%u (row %d), bits 0x%08X: %s",
                                                 42632u, 16, 0x00100008u, "SetPrinterA called"); }));
    std::printf("query         QueryDeviceStatus, decisions to a file  %8.1f ns\n",
                Single(rounds, 2000, [&] { QueryDeviceStatus(q, FALSE); }));
    SetTraceValues(file, TRACE_QUERIES);
    ReadTraceSettings("System\\CurrentControlSet\\Control\\Print\\Monitors\\Kestravon Language Monitor");
    std::printf("query         QueryDeviceStatus, every query to a file (5 events)  %8.1f ns\n",
                Single(rounds, 2000, [&] { QueryDeviceStatus(q, FALSE); }));
    StopTrace();
    std::remove(file.c_str());
    std::remove((file + ".1").c_str());
#endif
    for (HANDLE h : {simPort, nullPort, queryPort}) {
        m.EndDoc(h);
        m.Close(h);
    }
    kvplat::WaitForThreads(10000);
    return 0;
}
