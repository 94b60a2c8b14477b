// Timings of kvmon's data path and status work, each beside a reference measured in the
// same run:
//   write/{kvmon,direct}/N         WritePort through kvmon's table vs the simulated port
//                                  monitor's WritePort slot on the same port handle
//   write-null/{kvmon,direct}/N    the same over a port monitor that does nothing, so the
//                                  difference is what kvmon itself adds to a write
//   query/...                      one status query: ProcessDeviceId on a recognised reply
//                                  (decoded and raw), QueryDeviceStatus through the
//                                  simulated port monitor, and that port monitor alone
//   poll/...                       the spooler look-ups the polling thread makes per cycle
//   parse/{kvmon,cups}/R           device-ID key/value parsing vs libcups on the same replies
//   base64/{kvmon,openssl}/N       Base64Decode vs EVP_DecodeBlock on the same payloads
//   publish/...                    the shared block written through a view mapped and
//                                  unmapped per query, vs a view kept mapped
//   paired/...                     the same comparisons run side by side in short rotating
//                                  batches (see Paired): the ratios of the report
// Rows named "proposed" time the prototypes of proposals.h (changes proposed for the
// monitor, not the monitor's code).
// Every benchmark reports heap allocations per iteration ("allocs") counted by the
// program's malloc replacement, and LocalAlloc calls per iteration ("local_allocs").
#include <benchmark/benchmark.h>
#include <cups/cups.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "allocs.h"
#include "harness.h"
#include "proposals.h"

extern "C" int _cupsGet1284Values(const char* device_id, cups_option_t** values);

namespace {

using kvbench::Heap;
using kvbench::HeapCount;

constexpr size_t kWriteSizes[] = {64, 4096, 65536};
constexpr size_t kBase64Sizes[] = {32, 128, 1024, 4096};

struct Ports {
    kvbench::Monitor* monitor = nullptr;
    HANDLE simPort = NULL;      // USB001 on the simulated port monitor, document started
    HANDLE nullPort = NULL;     // USB002 on the null port monitor, document started
    HANDLE queryPort = NULL;    // USB003 on the simulated port monitor, document started
    PortContext* decodedCtx = nullptr;  // USB004: ProcessDeviceId, decoded replies
    PortContext* rawCtx = nullptr;      // USB005: ProcessDeviceId, raw replies
};
Ports g_ports;

// Counts heap and LocalAlloc calls over the timed loop and reports them per iteration.
class AllocMeter {
public:
    AllocMeter() : heap_(Heap()), local_(kvplat::Calls(kvplat::Fault::Alloc)) {}
    void Report(benchmark::State& st) const
    {
        HeapCount d = Heap() - heap_;
        double n = static_cast<double>(std::max<benchmark::IterationCount>(st.iterations(), 1));
        st.counters["allocs"] = static_cast<double>(d.calls) / n;
        st.counters["local_allocs"] = static_cast<double>(kvplat::Calls(kvplat::Fault::Alloc) - local_) / n;
    }

private:
    HeapCount heap_;
    unsigned local_;
};

void Setup()
{
    kvbench::Monitor& m = kvbench::Monitor::Load(1);
    sim::PortMonitor& pm = sim::ThePortMonitor();
    g_ports.monitor = &m;
    const std::string typical = kvbench::TypicalReply(true);

    m.AddPrinter("P1", "USB001");
    m.AddPrinter("P2", "USB002");
    m.AddPrinter("P3", "USB003");
    m.AddPrinter("P4", "USB004");
    m.AddPrinter("P5", "USB005");
    pm.SetDeviceAnswer("USB001", sim::DeviceAnswer::Text(typical));
    pm.SetDeviceAnswer("USB003", sim::DeviceAnswer::Text(typical));

    // A document is active on each port: the polling threads of USB001 and USB003 are
    // parked on their wake events, as during a print job.
    g_ports.simPort = m.Open("USB001", "P1");
    g_ports.nullPort = m.Open("USB002", "P2", kvbench::NullPortMonitor());
    g_ports.queryPort = m.Open("USB003", "P3");
    if (!g_ports.simPort || !g_ports.nullPort || !g_ports.queryPort || !m.StartDoc(g_ports.simPort, "P1", 1) ||
        !m.StartDoc(g_ports.nullPort, "P2", 2) || !m.StartDoc(g_ports.queryPort, "P3", 3))
        abort();

    EnterCriticalSection(&g_csPorts);
    g_ports.decodedCtx = CreatePortContext("USB004", "P4");
    g_ports.rawCtx = CreatePortContext("USB005", "P5");
    LeaveCriticalSection(&g_csPorts);
}

void Teardown()
{
    kvbench::Monitor& m = *g_ports.monitor;
    for (HANDLE h : {g_ports.simPort, g_ports.nullPort, g_ports.queryPort}) {
        m.EndDoc(h);
        m.Close(h);
    }
    for (PortContext* ctx : {g_ports.decodedCtx, g_ports.rawCtx}) {
        CloseStatusMapping(ctx);
        EnterCriticalSection(&g_csPorts);
        DeletePortContext(ctx);
        LeaveCriticalSection(&g_csPorts);
    }
    kvplat::WaitForThreads(10000);
}

// ---- pass-through ----

enum class Side { Kvmon, Direct, Proposed };

// Kvmon: kvmon's WritePort(hPort); Direct: the port monitor's own WritePort slot on the
// port monitor's handle of the same port; Proposed: ProposedWritePort(hPort). The simulated
// port monitor keeps what it is given; it is emptied every 1 MiB on every side alike (its
// buffer keeps its capacity, so that costs no allocation).
void BM_Write(benchmark::State& st, HANDLE hPort, Side side, size_t size)
{
    PortContext* ctx = kvbench::Context(hPort);
    const MONITOR& kv = g_ports.monitor->table;
    auto pmWrite = ctx->portMonitor.pfnWritePort;
    HANDLE hMon = ctx->hMonitorPort;
    const bool sim = hPort == g_ports.simPort;
    std::vector<BYTE> buffer(size, 0x5A);
    const size_t clearEvery = std::max<size_t>(1, (1u << 20) / size);
    DWORD written = 0;

    // Warm-up: the port monitor's buffer reaches its working capacity.
    for (size_t i = 0; i < clearEvery; i++)
        pmWrite(hMon, buffer.data(), (DWORD)size, &written);
    if (sim)
        sim::ThePortMonitor().Clear();

    AllocMeter meter;
    size_t n = 0;
    for (auto _ : st) {
        BOOL ok = side == Side::Kvmon    ? kv.pfnWritePort(hPort, buffer.data(), (DWORD)size, &written)
                  : side == Side::Direct ? pmWrite(hMon, buffer.data(), (DWORD)size, &written)
                                         : kvbench::ProposedWritePort(hPort, buffer.data(), (DWORD)size, &written);
        benchmark::DoNotOptimize(ok);
        if (++n == clearEvery) {
            n = 0;
            if (sim)
                sim::ThePortMonitor().Clear();
        }
    }
    meter.Report(st);
    if (written != size)
        st.SkipWithError("short write");
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(size));
}

// ---- side by side ----

// Runs short batches of each contender in turn, in a rotating order, and keeps the time of
// every batch: a load peak on the shared machine then hits the batches of one round alike,
// and the median of the per-round ratios stays put where separate runs drift apart.
// Reports per contender the median ns per operation ("<name>_ns") and, for every
// contender but the reference, the median of its per-round time ratio to the reference
// ("<name>_ratio"). One benchmark iteration is one round.
struct Contender {
    std::string name;
    std::function<void()> op;
};

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

void Paired(benchmark::State& st, const std::vector<Contender>& sides, size_t reference, unsigned batch)
{
    using Clock = std::chrono::steady_clock;
    const size_t n = sides.size();
    std::vector<std::vector<double>> times(n);
    std::vector<std::vector<double>> ratios(n);
    std::vector<double> round(n);
    size_t r = 0;
    for (size_t k = 0; k < n; k++) {  // no allocation while the rounds run
        times[k].reserve(static_cast<size_t>(st.max_iterations));
        ratios[k].reserve(static_cast<size_t>(st.max_iterations));
    }
    for (const Contender& c : sides)  // warm-up
        for (unsigned i = 0; i < batch; i++)
            c.op();
    AllocMeter meter;
    for (auto _ : st) {
        for (size_t k = 0; k < n; k++) {
            size_t side = (k + r) % n;
            auto t0 = Clock::now();
            for (unsigned i = 0; i < batch; i++)
                sides[side].op();
            auto t1 = Clock::now();
            round[side] = std::chrono::duration<double, std::nano>(t1 - t0).count() / batch;
        }
        for (size_t k = 0; k < n; k++) {
            times[k].push_back(round[k]);
            ratios[k].push_back(round[k] / round[reference]);
        }
        r++;
    }
    meter.Report(st);
    for (size_t k = 0; k < n; k++) {
        st.counters[sides[k].name + "_ns"] = Median(times[k]);
        if (k != reference)
            st.counters[sides[k].name + "_ratio"] = Median(ratios[k]);
    }
}

// ---- one status query ----

struct Reply {
    char bytes[DEVID_BUFFER_SIZE];  // zero-filled behind the text, as the query's buffer
    WORD len;
};

Reply MakeReply(const std::string& text)
{
    Reply r;
    std::memset(r.bytes, 0, sizeof r.bytes);
    std::memcpy(r.bytes, text.data(), text.size());
    r.len = static_cast<WORD>(text.size());
    return r;
}

// ProcessDeviceId rewrites its buffer ("FL1;" becomes "FL0;"): every iteration starts
// from a fresh copy of the device's reply, as every query starts from a fresh reply.
// query/reply-copy times that copy alone.
void BM_ProcessDeviceId(benchmark::State& st, PortContext* ctx, bool base64)
{
    const Reply tmpl = MakeReply(kvbench::TypicalReply(base64));
    Reply reply;
    // The first publication creates the mapping; the timed ones write into it.
    reply = tmpl;
    if (!ProcessDeviceId(ctx, reply.bytes, reply.len) || ReadHandle(&ctx->hMapping) == NULL) {
        st.SkipWithError("reply not processed");
        return;
    }
    AllocMeter meter;
    for (auto _ : st) {
        std::memcpy(reply.bytes, tmpl.bytes, sizeof reply.bytes);
        benchmark::DoNotOptimize(ProcessDeviceId(ctx, reply.bytes, reply.len));
    }
    meter.Report(st);
    st.counters["reply_bytes"] = tmpl.len;
}

void BM_ReplyCopy(benchmark::State& st)
{
    const Reply tmpl = MakeReply(kvbench::TypicalReply(true));
    Reply reply;
    AllocMeter meter;
    for (auto _ : st) {
        std::memcpy(reply.bytes, tmpl.bytes, sizeof reply.bytes);
        benchmark::ClobberMemory();
    }
    meter.Report(st);
}

void BM_QueryDeviceStatus(benchmark::State& st)
{
    PortContext* ctx = kvbench::Context(g_ports.queryPort);
    if (!QueryDeviceStatus(ctx, FALSE)) {
        st.SkipWithError("query failed");
        return;
    }
    AllocMeter meter;
    for (auto _ : st)
        benchmark::DoNotOptimize(QueryDeviceStatus(ctx, FALSE));
    meter.Report(st);
}

// The simulated port monitor's own answer to the device-ID query: what QueryDeviceStatus
// pays below kvmon.
void BM_PortMonitorQuery(benchmark::State& st)
{
    PortContext* ctx = kvbench::Context(g_ports.queryPort);
    static char buffer[DEVID_BUFFER_SIZE];
    AllocMeter meter;
    for (auto _ : st) {
        DWORD count = 0;
        benchmark::DoNotOptimize(ctx->portMonitor.pfnGetPrinterDataFromPort(
            ctx->hMonitorPort, CONTROL_QUERY_DEVICE_ID_USB, NULL, NULL, 0, buffer, sizeof buffer, &count));
    }
    meter.Report(st);
}

// The two spooler look-ups the polling thread makes before each query: does the printer
// still exist, and is its port a busy ECP port (both against the simulated spooler).
void BM_PrinterExists(benchmark::State& st)
{
    AllocMeter meter;
    for (auto _ : st)
        benchmark::DoNotOptimize(PrinterExists("P3"));
    meter.Report(st);
}

void BM_IsEcpPortBusy(benchmark::State& st)
{
    PortContext* ctx = kvbench::Context(g_ports.queryPort);
    AllocMeter meter;
    for (auto _ : st)
        benchmark::DoNotOptimize(IsEcpPortBusy(ctx, NULL));
    meter.Report(st);
}

// ---- device-ID parsing ----

// kvmon: the query's copy of the reply, ParseDeviceId on it (which cuts it up) and
// FindVStatus on the reply: the parsing part of one query.
void BM_ParseKvmon(benchmark::State& st, const std::string& text)
{
    static PortContext ctx;  // only its flags word is used
    std::vector<char> copy(DEVID_BUFFER_SIZE, 0);
    char mfg[NAME_BUFFER_SIZE] = {0};
    char mdl[NAME_BUFFER_SIZE] = {0};
    AllocMeter meter;
    for (auto _ : st) {
        std::memcpy(copy.data(), text.c_str(), text.size() + 1);
        BOOL ok = ParseDeviceId(&ctx, copy.data(), mfg, mdl);
        char* payload = FindVStatus(text.c_str());
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(payload);
    }
    meter.Report(st);
    if (!ParseDeviceId(&ctx, std::vector<char>(text.begin(), text.end() + 1).data(), mfg, mdl))
        st.SkipWithError("not recognised");
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(text.size()));
}

void BM_ParseCups(benchmark::State& st, const std::string& text)
{
    AllocMeter meter;
    int pairs = 0;
    for (auto _ : st) {
        cups_option_t* values = nullptr;
        pairs = _cupsGet1284Values(text.c_str(), &values);
        benchmark::DoNotOptimize(values);
        cupsFreeOptions(pairs, values);
    }
    meter.Report(st);
    st.counters["pairs"] = pairs;
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(text.size()));
}

// ---- Base64 ----

void BM_Base64Kvmon(benchmark::State& st, size_t n)
{
    const std::string in = kvbench::Base64Text(n);
    std::vector<BYTE> out(n, 0);
    AllocMeter meter;
    for (auto _ : st) {
        DWORD len = static_cast<DWORD>(n);
        Base64Decode(in.data(), &len, out.data());
        benchmark::DoNotOptimize(len);
        benchmark::ClobberMemory();
    }
    meter.Report(st);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(n));
}

void BM_Base64OpenSsl(benchmark::State& st, size_t n)
{
    const std::string in = kvbench::Base64Text(n);
    std::vector<BYTE> out(n, 0);
    AllocMeter meter;
    for (auto _ : st) {
        int len = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(n));
        benchmark::DoNotOptimize(len);
        benchmark::ClobberMemory();
    }
    meter.Report(st);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(n));
}

void BM_Base64Proposed(benchmark::State& st, size_t n)
{
    const std::string in = kvbench::Base64Text(n);
    std::vector<BYTE> out(n, 0);
    AllocMeter meter;
    for (auto _ : st) {
        DWORD len = static_cast<DWORD>(n);
        kvbench::ProposedBase64Decode(in.data(), &len, out.data());
        benchmark::DoNotOptimize(len);
        benchmark::ClobberMemory();
    }
    meter.Report(st);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(n));
}

// ---- publication ----

// The status block of the typical decoded reply written into its named mapping: through a
// view mapped and unmapped for the write, as each query does now, or through a view that
// stays mapped as long as the mapping.
void BM_Publish(benchmark::State& st, bool persistent)
{
    const DWORD size = 2 + 144 + 96;  // length field, text through "VSTATUS:", 96-byte record
    std::vector<BYTE> block(size, 0x41);
    const std::string name = std::string("bench publish ") + (persistent ? "persistent" : "per write");
    HANDLE hMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, size, name.c_str());
    if (hMapping == NULL) {
        st.SkipWithError("no mapping");
        return;
    }
    LPVOID kept = persistent ? MapViewOfFile(hMapping, FILE_MAP_WRITE, 0, 0, size) : NULL;
    AllocMeter meter;
    for (auto _ : st) {
        if (persistent) {
            std::memcpy(kept, block.data(), size);
            benchmark::ClobberMemory();
        } else {
            LPVOID view = MapViewOfFile(hMapping, FILE_MAP_WRITE, 0, 0, size);
            std::memcpy(view, block.data(), size);
            UnmapViewOfFile(view);
        }
    }
    meter.Report(st);
    if (kept != NULL)
        UnmapViewOfFile(kept);
    CloseHandle(hMapping);
}

// The decoders must agree on the payloads, or the comparison means nothing.
void CheckBase64()
{
    // The prototype keeps Base64Decode's treatment of padding and foreign characters.
    for (const char* odd : {"QUJD", "QUI=", "QQ==", "QUJDRA==QUJD", "Q*J?", "QU\x01D", "", "QUJ", "QUJDRE", "=QUJ", "Q=JD",
                            "QUJD=UJD", "QUJDQ=JDQU=D", "QUJDQUJ=", "QUJD\xff\x80JD"}) {
        BYTE a[16] = {0}, b[16] = {0};
        DWORD la = static_cast<DWORD>(strlen(odd)), lb = la;
        Base64Decode(odd, &la, a);
        kvbench::ProposedBase64Decode(odd, &lb, b);
        if (la != lb || std::memcmp(a, b, sizeof a) != 0) {
            fprintf(stderr, "proposed decoder differs on \"%s\"\n", odd);
            abort();
        }
    }
    for (size_t n : kBase64Sizes) {
        const std::string in = kvbench::Base64Text(n);
        std::vector<BYTE> a(n, 0), b(n, 0);
        DWORD len = static_cast<DWORD>(n);
        Base64Decode(in.data(), &len, a.data());
        int blen = EVP_DecodeBlock(b.data(), reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(n));
        std::vector<BYTE> c(n, 0);
        DWORD clen = static_cast<DWORD>(n);
        kvbench::ProposedBase64Decode(in.data(), &clen, c.data());
        if (blen < 0 || static_cast<DWORD>(blen) != len || a != b || clen != len || c != a) {
            fprintf(stderr, "Base64 decoders disagree on %zu characters\n", n);
            abort();
        }
    }
}

void Register()
{
    for (size_t size : kWriteSizes) {
        const std::string s = std::to_string(size);
        for (bool null : {false, true}) {
            const std::string group = null ? "write-null/" : "write/";
            for (Side side : {Side::Kvmon, Side::Direct, Side::Proposed}) {
                const char* name = side == Side::Kvmon ? "kvmon/" : side == Side::Direct ? "direct/" : "proposed/";
                benchmark::RegisterBenchmark((group + name + s).c_str(), [size, null, side](benchmark::State& st) {
                    BM_Write(st, null ? g_ports.nullPort : g_ports.simPort, side, size);
                });
            }
        }
    }

    // Side by side: WritePort through kvmon, direct, proposed.
    for (size_t size : kWriteSizes) {
        const unsigned batch = size <= 64 ? 64 : size <= 4096 ? 32 : 8;
        for (bool null : {false, true}) {
            benchmark::RegisterBenchmark(
                ((null ? "paired/write-null/" : "paired/write/") + std::to_string(size)).c_str(),
                [size, null, batch](benchmark::State& st) {
                    HANDLE hPort = null ? g_ports.nullPort : g_ports.simPort;
                    PortContext* ctx = kvbench::Context(hPort);
                    auto kv = g_ports.monitor->table.pfnWritePort;
                    auto pm = ctx->portMonitor.pfnWritePort;
                    HANDLE hMon = ctx->hMonitorPort;
                    auto buffer = std::make_shared<std::vector<BYTE>>(size, 0x5A);
                    auto written = std::make_shared<DWORD>(0);
                    auto count = std::make_shared<size_t>(0);
                    const size_t clearEvery = std::max<size_t>(1, (1u << 20) / size);
                    auto tick = [=] {
                        if (!null && ++*count == clearEvery) {
                            *count = 0;
                            sim::ThePortMonitor().Clear();
                        }
                    };
                    // Every contender pays the same bookkeeping (tick).
                    Paired(st,
                           {{"kvmon", [=] { kv(hPort, buffer->data(), (DWORD)size, written.get()); tick(); }},
                            {"direct", [=] { pm(hMon, buffer->data(), (DWORD)size, written.get()); tick(); }},
                            {"proposed",
                             [=] {
                                 kvbench::ProposedWritePort(hPort, buffer->data(), (DWORD)size, written.get());
                                 tick();
                             }}},
                           1, batch);
                });
        }
    }

    benchmark::RegisterBenchmark("query/ProcessDeviceId/decoded",
                                 [](benchmark::State& st) { BM_ProcessDeviceId(st, g_ports.decodedCtx, true); });
    benchmark::RegisterBenchmark("query/ProcessDeviceId/raw",
                                 [](benchmark::State& st) { BM_ProcessDeviceId(st, g_ports.rawCtx, false); });
    benchmark::RegisterBenchmark("query/reply-copy", BM_ReplyCopy);
    benchmark::RegisterBenchmark("query/QueryDeviceStatus", BM_QueryDeviceStatus);
    benchmark::RegisterBenchmark("query/port-monitor-alone", BM_PortMonitorQuery);
    benchmark::RegisterBenchmark("poll/PrinterExists", BM_PrinterExists);
    benchmark::RegisterBenchmark("poll/IsEcpPortBusy", BM_IsEcpPortBusy);

    static const std::vector<std::pair<std::string, std::string>> replies = {
        {"short", kvbench::ShortReply()},
        {"typical", kvbench::TypicalReply(true)},
        {"long", kvbench::LongReply()},
    };
    for (const auto& r : replies) {
        const std::string& text = r.second;
        benchmark::RegisterBenchmark(("parse/kvmon/" + r.first).c_str(),
                                     [&text](benchmark::State& st) { BM_ParseKvmon(st, text); });
        benchmark::RegisterBenchmark(("parse/cups/" + r.first).c_str(),
                                     [&text](benchmark::State& st) { BM_ParseCups(st, text); });
    }

    for (const auto& r : replies) {
        const std::string& text = r.second;
        benchmark::RegisterBenchmark(("paired/parse/" + r.first).c_str(), [&text](benchmark::State& st) {
            static PortContext ctx;
            auto copy = std::make_shared<std::vector<char>>(DEVID_BUFFER_SIZE, 0);
            auto names = std::make_shared<std::vector<char>>(2 * NAME_BUFFER_SIZE, 0);
            Paired(st,
                   {{"kvmon",
                     [&text, copy, names] {
                         std::memcpy(copy->data(), text.c_str(), text.size() + 1);
                         benchmark::DoNotOptimize(
                             ParseDeviceId(&ctx, copy->data(), names->data(), names->data() + NAME_BUFFER_SIZE));
                         benchmark::DoNotOptimize(FindVStatus(text.c_str()));
                     }},
                    {"cups",
                     [&text] {
                         cups_option_t* values = nullptr;
                         int pairs = _cupsGet1284Values(text.c_str(), &values);
                         benchmark::DoNotOptimize(values);
                         cupsFreeOptions(pairs, values);
                     }}},
                   1, 16);
        });
    }

    for (size_t n : kBase64Sizes) {
        const std::string s = std::to_string(n);
        benchmark::RegisterBenchmark(("paired/base64/" + s).c_str(), [n](benchmark::State& st) {
            auto in = std::make_shared<std::string>(kvbench::Base64Text(n));
            auto out = std::make_shared<std::vector<BYTE>>(n, 0);
            const unsigned batch = std::max<unsigned>(4, static_cast<unsigned>(8192 / n));
            Paired(st,
                   {{"kvmon",
                     [=] {
                         DWORD len = static_cast<DWORD>(n);
                         Base64Decode(in->data(), &len, out->data());
                         benchmark::DoNotOptimize(len);
                         benchmark::ClobberMemory();
                     }},
                    {"openssl",
                     [=] {
                         benchmark::DoNotOptimize(EVP_DecodeBlock(
                             out->data(), reinterpret_cast<const unsigned char*>(in->data()), static_cast<int>(n)));
                         benchmark::ClobberMemory();
                     }},
                    {"proposed",
                     [=] {
                         DWORD len = static_cast<DWORD>(n);
                         kvbench::ProposedBase64Decode(in->data(), &len, out->data());
                         benchmark::DoNotOptimize(len);
                         benchmark::ClobberMemory();
                     }}},
                   1, batch);
        });
        benchmark::RegisterBenchmark(("base64/kvmon/" + s).c_str(),
                                     [n](benchmark::State& st) { BM_Base64Kvmon(st, n); });
        benchmark::RegisterBenchmark(("base64/openssl/" + s).c_str(),
                                     [n](benchmark::State& st) { BM_Base64OpenSsl(st, n); });
        benchmark::RegisterBenchmark(("base64/proposed/" + s).c_str(),
                                     [n](benchmark::State& st) { BM_Base64Proposed(st, n); });
    }

    benchmark::RegisterBenchmark("publish/map-write-unmap", [](benchmark::State& st) { BM_Publish(st, false); });
    benchmark::RegisterBenchmark("publish/persistent-view", [](benchmark::State& st) { BM_Publish(st, true); });
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    CheckBase64();
    Setup();
    Register();
    benchmark::AddCustomContext("replies",
                                "short " + std::to_string(kvbench::ShortReply().size()) + " B, typical " +
                                    std::to_string(kvbench::TypicalReply(true).size()) + " B (raw form " +
                                    std::to_string(kvbench::TypicalReply(false).size()) + " B), long " +
                                    std::to_string(kvbench::LongReply().size()) + " B");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Teardown();
    return 0;
}
