#!/usr/bin/env python3
"""Summary of one benchmark run: medians over the repetitions of kvmon_bench (CPU time per
operation), the ratios of each comparison, the goals, and the counts of kvmon_probe.

usage: report.py BENCH_JSON PROBE_JSON [MACHINE_TEXT]  -> Markdown on stdout
"""
import json
import statistics
import sys


def load_bench(path):
    with open(path) as f:
        data = json.load(f)
    runs = {}
    counters = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        name = b["run_name"]
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
        runs.setdefault(name, []).append(b["cpu_time"] * scale)
        counters.setdefault(name, {})
        for key in ("allocs", "local_allocs", "pairs"):
            if key in b:
                counters[name].setdefault(key, []).append(b[key])
    return data.get("context", {}), runs, counters


def main():
    context, runs, counters = load_bench(sys.argv[1])
    with open(sys.argv[2]) as f:
        probe = json.load(f)
    machine = sys.argv[3] if len(sys.argv) > 3 else ""

    def med(name):
        return statistics.median(runs[name]) if name in runs else float("nan")

    def spread(name):
        v = runs.get(name, [])
        if len(v) < 2:
            return "—"
        m = statistics.median(v)
        mad = statistics.median([abs(x - m) for x in v])
        return f"±{100 * mad / m:.0f}%"

    def allocs(name):
        c = counters.get(name, {})
        a = max(c.get("allocs", [0]))
        la = max(c.get("local_allocs", [0]))
        return f"{a:g} / {la:g}"

    def num(x):
        if x != x:
            return "?"
        if abs(x - round(x)) < 1e-9:
            return f"{int(round(x)):,}"
        return f"{x:,.2f}" if abs(x) < 10 else f"{x:,.1f}"

    def ns(x):
        if x >= 10000:
            return f"{x / 1000:,.1f} µs"
        if x >= 100:
            return f"{x:,.0f} ns"
        return f"{x:.1f} ns"

    out = []
    p = out.append
    reps = max((len(v) for v in runs.values()), default=0)
    p(f"Medians of {reps} repetitions (randomly interleaved), CPU time per operation; "
      "± is the median absolute deviation. allocs = heap allocations / LocalAlloc calls per "
      "operation (largest over the repetitions).")
    p("")
    if machine:
        p(machine)
        p("")

    goals = []

    # ---- pass-through ----
    p("### Pass-through: WritePort")
    p("")
    p("| buffer | kvmon | direct (port monitor slot) | kvmon / direct | proposed / direct | allocs kvmon | "
      "null PM: kvmon adds | null PM: proposed adds |")
    p("|---|---|---|---|---|---|---|---|")
    for size in ("64", "4096", "65536"):
        k, d, pr = med(f"write/kvmon/{size}"), med(f"write/direct/{size}"), med(f"write/proposed/{size}")
        nk, nd, npr = (med(f"write-null/kvmon/{size}"), med(f"write-null/direct/{size}"),
                       med(f"write-null/proposed/{size}"))
        p(f"| {size} B | {ns(k)} {spread(f'write/kvmon/{size}')} | {ns(d)} {spread(f'write/direct/{size}')} | "
          f"**{k / d:.3f}** | {pr / d:.3f} | {allocs(f'write/kvmon/{size}')} | {nk - nd:.1f} ns | "
          f"{npr - nd:.1f} ns |")
        if size == "4096":
            goals.append(("WritePort within 1.05 of direct at 4 KiB", f"{k / d:.3f}", k / d <= 1.05))
    p("")
    w = lambda key: probe.get(key, float("nan"))
    p("Counted per write (kvmon_probe, 20,000+ writes per row, platform calls wrapped at link time):")
    p("")
    p("| port monitor, buffer | heap allocs kvmon / direct | LocalAlloc kvmon / direct | "
      "EnterCriticalSection kvmon / direct | Interlocked kvmon / direct |")
    p("|---|---|---|---|---|")
    no_alloc = no_lock = True
    for pm in ("sim", "null"):
        for size in ("64", "4096", "65536"):
            base = f"write.{pm}.{size}"
            row = []
            for what in ("heap_allocs", "local_allocs", "locks", "interlocked"):
                a, b = w(f"{base}.kvmon.{what}"), w(f"{base}.direct.{what}")
                row.append(f"{num(a)} / {num(b)}")
                if what in ("heap_allocs", "local_allocs") and a - b > 0:
                    no_alloc = False
                if what == "locks" and a - b > 0:
                    no_lock = False
            p(f"| {pm}, {size} B | " + " | ".join(row) + " |")
    goals.append(("no heap allocation on the write path", "0 per write" if no_alloc else "see table", no_alloc))
    goals.append(("no lock on the write path", "0 per write" if no_lock else "see table", no_lock))
    p("")

    # ---- one status query ----
    p("### One status query")
    p("")
    p("| operation | time | allocs (heap / LocalAlloc) |")
    p("|---|---|---|")
    for name, label in (("query/ProcessDeviceId/decoded", "ProcessDeviceId, FL1; + Base64 (276 B reply)"),
                        ("query/ProcessDeviceId/raw", "ProcessDeviceId, raw record (288 B reply)"),
                        ("query/QueryDeviceStatus", "QueryDeviceStatus through the simulated port monitor"),
                        ("query/port-monitor-alone", "the simulated port monitor's answer alone"),
                        ("query/reply-copy", "copy of the 1024-byte reply (included in the two first rows)"),
                        ("publish/map-write-unmap", "status block written through a view mapped and unmapped"),
                        ("publish/persistent-view", "status block written through a view kept mapped"),
                        ("poll/PrinterExists", "polling cycle: PrinterExists (simulated spooler)"),
                        ("poll/IsEcpPortBusy", "polling cycle: IsEcpPortBusy (simulated spooler)")):
        p(f"| {label} | {ns(med(name))} {spread(name)} | {allocs(name)} |")
    pub = med("publish/map-write-unmap")
    pdi = med("query/ProcessDeviceId/decoded")
    p("")
    p(f"Mapping a view and unmapping it again is {100 * pub / pdi:.0f}% of ProcessDeviceId's time.")
    p("")
    p("| per query (kvmon_probe) | heap allocs | heap bytes | LocalAlloc | LocalAlloc bytes | locks | views mapped | "
      "live LocalAlloc / heap blocks after 2,000 |")
    p("|---|---|---|---|---|---|---|---|")
    for q in ("ProcessDeviceId.decoded", "ProcessDeviceId.raw", "QueryDeviceStatus", "port-monitor-alone"):
        b = f"query.{q}"
        p(f"| {q} | {num(w(b + '.heap_allocs'))} | {num(w(b + '.heap_bytes'))} | {num(w(b + '.local_allocs'))} | "
          f"{num(w(b + '.local_bytes'))} | {num(w(b + '.locks'))} | {num(w(b + '.views'))} | "
          f"{num(w(b + '.live_local_after'))} / {num(w(b + '.live_heap_blocks_after'))} |")
    p("")

    # ---- peers ----
    p("### Peers")
    p("")
    p("| device ID | bytes | kvmon ParseDeviceId + FindVStatus | libcups _cupsGet1284Values | cups / kvmon | "
      "allocs kvmon / cups |")
    p("|---|---|---|---|---|---|")
    sizes = {}
    for part in context.get("replies", "").split(","):
        words = part.split()
        if len(words) >= 3:
            sizes[words[0]] = words[1]
    worst = None
    for r in ("short", "typical", "long"):
        k, c = med(f"parse/kvmon/{r}"), med(f"parse/cups/{r}")
        worst = c / k if worst is None else min(worst, c / k)
        ca = max(counters.get(f"parse/cups/{r}", {}).get("allocs", [0]))
        ka = max(counters.get(f"parse/kvmon/{r}", {}).get("allocs", [0]))
        p(f"| {r} | {sizes.get(r, '?')} | {ns(k)} {spread(f'parse/kvmon/{r}')} | {ns(c)} {spread(f'parse/cups/{r}')} | "
          f"**{c / k:.1f}×** | {ka:g} / {ca:g} |")
    goals.append(("device-ID parsing ≥ 3× faster than libcups", f"{worst:.1f}× (slowest case)", worst >= 3))
    p("")
    p("| Base64 characters | kvmon Base64Decode | OpenSSL EVP_DecodeBlock | kvmon / OpenSSL | proposed (table) | "
      "proposed / OpenSSL |")
    p("|---|---|---|---|---|---|")
    worst = None
    for n in ("32", "128", "1024", "4096"):
        k, o, pr = med(f"base64/kvmon/{n}"), med(f"base64/openssl/{n}"), med(f"base64/proposed/{n}")
        worst = k / o if worst is None else max(worst, k / o)
        p(f"| {n} | {ns(k)} {spread(f'base64/kvmon/{n}')} | {ns(o)} {spread(f'base64/openssl/{n}')} | "
          f"**{k / o:.2f}** | {ns(pr)} | {pr / o:.2f} |")
    goals.append(("Base64Decode no slower than OpenSSL", f"{worst:.2f}× OpenSSL's time (worst size)", worst <= 1.0))
    p("")

    # ---- footprint ----
    p("### Footprint")
    p("")
    p(f"- Per open port (OpenPortEx): {num(w('port.open_kept_bytes'))} bytes kept in {num(w('port.open_kept_blocks'))} "
      f"LocalAlloc blocks [{probe.get('port.open_kept_sizes', '')}] — the context ({num(w('port.context_size'))} B) "
      f"and its port, printer, monitor and driver names; {num(w('port.open_local_allocs'))} LocalAlloc calls "
      f"(blocks asked: {probe.get('port.open_local_sizes', '')}). All layers together (platform, simulated "
      f"spooler and port monitor included): {num(w('port.open_heap_allocs'))} heap allocations, "
      f"{'+' if w('port.open_heap_live_bytes') >= 0 else ''}{num(w('port.open_heap_live_bytes'))} bytes live.")
    p(f"- First document on the port: {num(w('port.threads_per_port'))} polling thread and "
      f"{num(w('port.events_per_port'))} events per port, no LocalAlloc block kept "
      f"({num(w('port.start_live_local'))} live); all layers {'+' if w('port.start_heap_live_bytes') >= 0 else ''}{num(w('port.start_heap_live_bytes'))} bytes live "
      f"(thread and event objects of the platform layer). {num(w('port.live_threads'))} polling threads for "
      f"{num(w('port.ports'))} ports.")
    p(f"- Per query: see the table above (the two query buffers, {num(w('query.QueryDeviceStatus.local_bytes'))} bytes "
      "in 2 LocalAlloc blocks, freed in the same call).")
    pk = "thread.parked_during_job"
    pb = "thread.polling_between_jobs"
    p(f"- Polling thread parked during a job, {w(pk + '.real_s'):.1f} s real time: CPU "
      f"{num(w(pk + '.cpu_us'))} µs, {num(w(pk + '.switches'))} context switches (wake-ups), "
      f"{num(w(pk + '.queries'))} queries. The same thread between jobs, {w(pb + '.real_s'):.1f} s: "
      f"{num(w(pb + '.queries'))} queries, {num(w(pb + '.switches'))} context switches, CPU {w(pb + '.cpu_us'):,.0f} µs "
      f"({w(pb + '.cpu_us') / max(w(pb + '.queries'), 1):,.0f} µs per polling cycle).")
    parked_ok = w(pk + ".switches") == 0 and w(pk + ".queries") == 0
    goals.append(("parked polling thread: zero wake-ups", f"{num(w(pk + '.switches'))} wake-ups, "
                  f"{num(w(pk + '.queries'))} queries in {w(pk + '.real_s'):.0f} s", parked_ok))
    p(f"- {w('cycles.count'):,.0f} open/print/close cycles ({num(w('cycles.failures'))} failed calls, "
      f"{w('cycles.seconds'):.1f} s):")
    p("")
    p("| live | start | after 10 warm-up cycles | end |")
    p("|---|---|---|---|")
    for key, label in (("local", "LocalAlloc blocks"), ("heap_blocks", "heap blocks (all layers)"),
                       ("heap_bytes", "heap bytes (all layers)"), ("events", "events"), ("threads", "threads"),
                       ("thread_handles", "thread handles"), ("mappings", "mappings"), ("views", "views"),
                       ("printer_handles", "printer handles"), ("port_handles", "port monitor handles")):
        p(f"| {label} | {num(w(f'cycles.{key}.start'))} | {num(w(f'cycles.{key}.warm'))} | "
          f"{num(w(f'cycles.{key}.end'))} |")
    heap_ok = (w("cycles.local.end") == w("cycles.local.start") and
               w("cycles.heap_blocks.end") == w("cycles.heap_blocks.warm") and
               w("cycles.heap_bytes.end") == w("cycles.heap_bytes.warm"))
    goals.append((f"heap after {num(w('cycles.count'))} cycles equal to the start", "equal" if heap_ok else "differs", heap_ok))
    p("")

    p("### Goals")
    p("")
    p("| goal | measured | met |")
    p("|---|---|---|")
    for g, m, ok in goals:
        p(f"| {g} | {m} | {'yes' if ok else '**no**'} |")
    print("\n".join(out))


if __name__ == "__main__":
    main()
