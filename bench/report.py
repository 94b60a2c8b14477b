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
        for key, value in b.items():
            if key in ("allocs", "local_allocs", "pairs") or key.endswith("_ns") or key.endswith("_ratio"):
                counters[name].setdefault(key, []).append(value)
    return data.get("context", {}), runs, counters


def main():
    context, runs, counters = load_bench(sys.argv[1])
    with open(sys.argv[2]) as f:
        probe = json.load(f)
    machine = sys.argv[3] if len(sys.argv) > 3 else ""

    def med(name):
        return statistics.median(runs[name]) if name in runs else float("nan")

    def pc(name, key):
        """Median over the repetitions of a side-by-side counter."""
        v = counters.get(name, {}).get(key)
        return statistics.median(v) if v else float("nan")

    def pspread(name, key):
        v = counters.get(name, {}).get(key, [])
        if len(v) < 2:
            return ""
        m = statistics.median(v)
        mad = statistics.median([abs(x - m) for x in v])
        return f" ±{100 * mad / m:.1f}%"

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
    p(f"{reps} repetitions of every benchmark, randomly interleaved; figures are medians over the repetitions. "
      "Side-by-side rows (paired/*): per repetition, the median wall-clock time per operation of short batches "
      "run in rotating order, and the median of the per-round ratios. Single rows: CPU time per operation. "
      "± is the median absolute deviation over the repetitions. allocs = heap allocations / LocalAlloc calls "
      "per operation during the timed loop (largest over the repetitions).")
    p("")
    if machine:
        p(machine)
        p("")

    goals = []

    # ---- pass-through ----
    p("### Pass-through: WritePort")
    p("")
    p("Side by side (paired/write*): short batches of kvmon's WritePort(hPort), the simulated port monitor's "
      "WritePort slot on hMonitorPort (direct) and the proposed WritePort, in rotating order; the ratio is the "
      "median of the per-round ratios. The simulated port monitor takes its own lock and copies the data on both "
      "sides; the null port monitor does nothing, so with it the difference is what kvmon itself adds.")
    p("")
    p("| buffer | kvmon | direct | **kvmon / direct** | proposed / direct | separate runs kvmon / direct | "
      "null PM: kvmon adds | null PM: proposed adds | allocs kvmon |")
    p("|---|---|---|---|---|---|---|---|---|")
    for size in ("64", "4096", "65536"):
        pw, pn = f"paired/write/{size}", f"paired/write-null/{size}"
        ratio = pc(pw, "kvmon_ratio")
        sep = med(f"write/kvmon/{size}") / med(f"write/direct/{size}")
        p(f"| {size} B | {ns(pc(pw, 'kvmon_ns'))} | {ns(pc(pw, 'direct_ns'))} | **{ratio:.3f}**{pspread(pw, 'kvmon_ratio')} | "
          f"{pc(pw, 'proposed_ratio'):.3f} | {sep:.3f} | "
          f"{pc(pn, 'kvmon_ns') - pc(pn, 'direct_ns'):.1f} ns | {pc(pn, 'proposed_ns') - pc(pn, 'direct_ns'):.1f} ns | "
          f"{allocs(f'write/kvmon/{size}')} |")
        if size == "4096":
            goals.append(("WritePort within 1.05 of direct at 4 KiB", f"{ratio:.3f} (proposed WritePort: "
                          f"{pc(pw, 'proposed_ratio'):.3f})", ratio <= 1.05))
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
    p("| device ID | bytes | kvmon ParseDeviceId + FindVStatus | libcups _cupsGet1284Values | **cups / kvmon** | "
      "separate runs | allocs kvmon / cups |")
    p("|---|---|---|---|---|---|---|")
    sizes = {}
    for part in context.get("replies", "").split(","):
        words = part.split()
        if len(words) >= 3:
            sizes[words[0]] = words[1]
    worst = None
    for r in ("short", "typical", "long"):
        pp = f"paired/parse/{r}"
        speed = 1 / pc(pp, "kvmon_ratio")
        worst = speed if worst is None else min(worst, speed)
        ca = max(counters.get(f"parse/cups/{r}", {}).get("allocs", [0]))
        ka = max(counters.get(f"parse/kvmon/{r}", {}).get("allocs", [0]))
        p(f"| {r} | {sizes.get(r, '?')} | {ns(pc(pp, 'kvmon_ns'))} | {ns(pc(pp, 'cups_ns'))} | **{speed:.1f}×** | "
          f"{med(f'parse/cups/{r}') / med(f'parse/kvmon/{r}'):.1f}× | {num(ka)} / {num(ca)} |")
    goals.append(("device-ID parsing ≥ 3× faster than libcups", f"{worst:.1f}× (slowest case)", worst >= 3))
    p("")
    p("The kvmon side includes the query's copy of the reply (ParseDeviceId cuts its text up) and FindVStatus; "
      "the libcups side builds and frees its option array.")
    p("")
    p("| Base64 characters | kvmon Base64Decode | OpenSSL EVP_DecodeBlock | **kvmon / OpenSSL** | "
      "separate runs | proposed / OpenSSL |")
    p("|---|---|---|---|---|---|")
    worst = None
    worst_prop = None
    for n in ("32", "128", "1024", "4096"):
        pb = f"paired/base64/{n}"
        ratio = pc(pb, "kvmon_ratio")
        prop = pc(pb, "proposed_ratio")
        worst = ratio if worst is None else max(worst, ratio)
        worst_prop = prop if worst_prop is None else max(worst_prop, prop)
        p(f"| {n} | {ns(pc(pb, 'kvmon_ns'))} | {ns(pc(pb, 'openssl_ns'))} | **{ratio:.2f}**{pspread(pb, 'kvmon_ratio')} | "
          f"{med(f'base64/kvmon/{n}') / med(f'base64/openssl/{n}'):.2f} | {prop:.2f} |")
    goals.append(("Base64Decode no slower than OpenSSL", f"{worst:.2f}× OpenSSL's time at worst (proposed decoder: "
                  f"{worst_prop:.2f}×)", worst <= 1.0))
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
      f"{num(w('port.events_per_port'))} events per port; LocalAlloc blocks kept: "
      f"{num(w('port.start_live_local'))} per port (a fraction is a polling thread's look-up in flight "
      f"when counted); all layers {'+' if w('port.start_heap_live_bytes') >= 0 else ''}{num(w('port.start_heap_live_bytes'))} bytes live "
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
