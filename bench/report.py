#!/usr/bin/env python3
"""Turns the raw result lines of scripts/bench into tables.

Reads bench/results/raw-<platform>.txt and machine.txt; prints one table per
platform and writes results.md (the same tables in Markdown, plus the check
against the targets, and Vorrel's figures against those in
before-<platform>.txt when that file is there) and chart.gp with its data
files (gnuplot draws ratios.png from them).

With --tag NAME it reads NAME-<platform>.txt and NAME-machine.txt instead
and writes NAME-results.md only (no chart, no comparison).

Each raw line: result run=N prog=P case=C alloc=A metric=M value=V
peak_kb=K base_kb=B. The median over the runs is taken for the value and for
the peak growth (peak_kb - base_kb, what the workload added to the process).

Ratios are speed ratios, peer over Vorrel: above 1 means Vorrel is faster
(its time per operation is lower, or its throughput higher); memory ratios are
peer peak growth over Vorrel's, above 1 meaning Vorrel used less. Metrics:
ns_per_op and instr_per_op (lower is better), ops_per_s (higher is better),
kb (memory a program measured itself, lower is better), s (CPU seconds of a
whole workload, lower is better), mb (live data reached before the first
failed request, higher is better), bytes (memory per live block, lower is
better).
"""
import os
import statistics
import sys

PEERS = {"linux32": ["glibc", "jemalloc", "tcmalloc", "mimalloc"], "win32": ["msvcrt"]}
TITLES = {"linux32": "Linux, 32-bit (-m32)", "win32": "Windows, 32-bit, under Wine"}
# Workloads whose figure is the throughput of several threads together.
THREADED = {"server", "prodcons", "larson", "queue", "tightloop", "threads"}
# The order of the tables.
ORDER = ["pairs", "churn", "growth", "maps", "server", "prodcons", "larson", "queue", "tightloop",
         "threads", "falseshare", "startup", "endurance", "endurance_laa", "callgrind"]
# Programs whose peak memory is not the workload's (the figure that matters
# is one the program measured itself, or none).
NO_PEAK = {"startup", "callgrind", "endurance", "endurance_laa"}
# Metrics where more is better.
HIGHER = {"ops_per_s", "mb"}
# Single-threaded workloads the Windows speed target counts 10x on.
WIN_10X = ("pairs", "churn", "growth realloc")
# Peak growth below this is noise of the process, not of the workload.
MEMORY_FLOOR_KB = 1024


def parse(path):
    rows = {}
    if not os.path.exists(path):
        return rows
    for line in open(path):
        if not line.startswith("result "):
            continue
        f = dict(kv.split("=", 1) for kv in line.split()[1:])
        key = (f["prog"], f["case"], f["alloc"])
        r = rows.setdefault(key, {"metric": f["metric"], "values": [], "growth": []})
        r["values"].append(float(f["value"]))
        r["growth"].append(max(0, int(f["peak_kb"]) - int(f["base_kb"])))
    return rows


def med(xs):
    return statistics.median(xs) if xs else None


def speed_ratio(metric, peer, vorrel):
    """Peer cost over Vorrel's cost: > 1 means Vorrel is faster (or, for
    memory, holds less; figures under 1 MB count as 1 MB)."""
    if peer is None or vorrel is None:
        return None
    if metric == "kb":
        return max(peer, MEMORY_FLOOR_KB) / max(vorrel, MEMORY_FLOOR_KB)
    if peer <= 0 or vorrel <= 0:
        return None
    return vorrel / peer if metric in HIGHER else peer / vorrel


def fmt_value(metric, v):
    if v is None:
        return "-"
    if metric == "ops_per_s":
        return "%.2f Mop/s" % (v / 1e6)
    if metric == "kb":
        return "%.0f KB" % v if v < 10240 else "%.1f MB" % (v / 1024)
    if metric == "instr_per_op":
        return "%.0f instr" % v
    if metric == "s":
        return "%.2f s" % v
    if metric == "mb":
        return "%.0f MB" % v
    if metric == "bytes":
        return "%.0f B" % v
    if v >= 1e6:
        return "%.2f ms" % (v / 1e6)
    if v >= 1e4:
        return "%.1f us" % (v / 1e3)
    return "%.1f ns" % v if v < 1000 else "%.0f ns" % v


UNITS = {"ops_per_s": "ops/s", "ns_per_op": "time/op", "kb": "memory", "instr_per_op": "instr/pair",
         "s": "cpu", "mb": "live at failure", "bytes": "per block"}


def fmt_ratio(r):
    return "-" if r is None else "%.2f" % r


def sort_key(pc):
    prog, case = pc
    return (ORDER.index(prog) if prog in ORDER else len(ORDER), int(case) if case.isdigit() else 0, case)


def workloads_of(rows):
    return sorted({(p, c) for (p, c, a) in rows if p != "vorrel_api"}, key=sort_key)


def platform_tables(platform, rows):
    """Returns (speed table, memory table, target lines, peers, chart rows)."""
    allocs = [a for a in PEERS[platform] + ["vorrel"]
              if any(k[2] == a for k in rows)]
    peers = [a for a in allocs if a != "vorrel"]
    base = PEERS[platform][0]  # the allocator a process has without any other
    head = ["workload", "unit"] + allocs + ["%s/vorrel" % p for p in peers]
    speed = [head]
    memory = [["workload"] + ["%s MB" % a for a in allocs] + ["%s/vorrel" % p for p in peers]]
    targets = []
    chart = []
    for prog, case in workloads_of(rows):
        name = "%s %s" % (prog, case)
        metric = next(rows[k]["metric"] for k in rows if k[0] == prog and k[1] == case)
        val = {a: med(rows.get((prog, case, a), {}).get("values", [])) for a in allocs}
        mem = {a: med(rows.get((prog, case, a), {}).get("growth", [])) for a in allocs}
        ratios = {p: speed_ratio(metric, val[p], val.get("vorrel")) for p in peers}
        speed.append([name, UNITS.get(metric, metric)] + [fmt_value(metric, val[a]) for a in allocs] +
                     [fmt_ratio(ratios[p]) for p in peers])
        memr = {}
        for p in peers:
            if mem.get(p) is None or mem.get("vorrel") is None:
                memr[p] = None
            else:
                memr[p] = max(mem[p], MEMORY_FLOOR_KB) / max(mem["vorrel"], MEMORY_FLOOR_KB)
        if prog not in NO_PEAK and metric != "kb":
            memory.append([name] + ["-" if mem[a] is None else "%.1f" % (mem[a] / 1024) for a in allocs] +
                          [fmt_ratio(memr[p]) for p in peers])
        if metric != "kb":
            chart.append((name, [ratios[p] for p in peers]))

        # The targets.
        v = val.get("vorrel")
        if v is None:
            targets.append("- %s: no Vorrel result" % name)
            continue
        known = [(ratios[p], p) for p in peers if ratios[p] is not None]
        if prog == "callgrind":
            if v > 40:
                targets.append("- %s: %.0f instructions, above 40" % (name, v))
            continue
        if prog == "startup":
            r = ratios.get(base)
            if metric == "ns_per_op" and r is not None and r < 1 / 1.1:
                targets.append("- %s: %.2fx the time without Vorrel (%s), above 1.10x" % (name, 1 / r, base))
            if (platform == "win32" and metric == "kb" and val.get(base) is not None
                    and v - val[base] > 1024):
                targets.append("- %s: %.1f MB more than without Vorrel, above 1 MB" % (name, (v - val[base]) / 1024))
            continue
        if metric == "kb":
            # Memory a program measured itself (growth while threads come and
            # go): within 1.2x of the best peer, figures under 1 MB as 1 MB.
            if known and min(known)[0] < 1 / 1.2:
                worst = min(known)
                targets.append("- %s: %s, %.2fx that of %s (%s), beyond 1.2x"
                               % (name, fmt_value(metric, v), 1 / worst[0], worst[1],
                                  fmt_value(metric, val[worst[1]])))
            continue
        if platform == "win32":
            r = ratios.get("msvcrt")
            if r is not None:
                if name.startswith(WIN_10X) and r < 10:
                    targets.append("- %s: %.2fx msvcrt's speed, below 10x" % (name, r))
                elif prog in THREADED and r < 3:
                    targets.append("- %s: %.2fx msvcrt's speed, below 3x" % (name, r))
                elif r < 1:
                    targets.append("- %s: slower than msvcrt (msvcrt/vorrel %.2f)" % (name, r))
        else:
            if known and min(known)[0] < 1:
                worst = min(known)
                what = {"ops_per_s": "throughput", "mb": "live data", "bytes": "memory"}.get(metric, "time")
                targets.append("- %s: %s %.2fx that of the best peer (%s)"
                               % (name, what, worst[0] if metric in HIGHER else 1 / worst[0], worst[1]))
            mknown = [(memr[p], p) for p in peers if memr[p] is not None]
            if mknown and prog not in NO_PEAK:
                worst = min(mknown)
                if worst[0] < 1 / 1.2:
                    targets.append("- %s: peak growth %.1f MB, %.2fx that of %s (%.1f MB), beyond 1.2x"
                                   % (name, mem["vorrel"] / 1024, 1 / worst[0], worst[1], mem[worst[1]] / 1024))
    return speed, memory, targets, peers, chart


def before_table(rows, before):
    """Vorrel now against Vorrel in the before-figures, workload by workload
    (speed ratio above 1: faster now)."""
    table = [["workload", "unit", "before", "now", "now vs before"]]
    for prog, case in workloads_of(rows):
        now = rows.get((prog, case, "vorrel"))
        then = before.get((prog, case, "vorrel"))
        if not now or not then:
            continue
        metric = now["metric"]
        vn, vb = med(now["values"]), med(then["values"])
        r = speed_ratio(metric, vb, vn)
        table.append(["%s %s" % (prog, case), UNITS.get(metric, metric), fmt_value(metric, vb),
                      fmt_value(metric, vn), "-" if r is None else "%.2fx" % r])
    return table if len(table) > 1 else None


def api_table(rows):
    """Vorrel's own interface against the malloc baseline of each group."""
    table = [["comparison", "variant", "unit", "value", "speed vs baseline"]]
    groups = {}
    for (prog, case, alloc), r in rows.items():
        if prog != "vorrel_api":
            continue
        group, variant = case.split("/", 1)
        groups.setdefault(group, []).append((variant, r["metric"], med(r["values"])))
    for group in sorted(groups):
        items = sorted(groups[group], key=lambda x: x[0].startswith("malloc"))
        base = next((x for x in items if x[0].startswith("malloc")), None)
        for variant, metric, v in items:
            r = speed_ratio(metric, base[2], v) if base else None
            table.append([group, variant, UNITS.get(metric, metric) if metric != "ns_per_op" else "ns/op",
                          fmt_value(metric, v), "%.2fx" % r if r else "-"])
    return table if len(table) > 1 else None


def markdown(table):
    out = ["| " + " | ".join(table[0]) + " |", "|" + "---|" * len(table[0])]
    out += ["| " + " | ".join(row) + " |" for row in table[1:]]
    return "\n".join(out)


def text(table):
    widths = [max(len(row[i]) for row in table) for i in range(len(table[0]))]
    return "\n".join("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(row, widths)))
                     for row in table)


def main():
    results = sys.argv[1]
    tag = sys.argv[3] if len(sys.argv) > 3 and sys.argv[2] == "--tag" else None
    raw_name = (lambda p: "%s-%s.txt" % (tag, p)) if tag else (lambda p: "raw-%s.txt" % p)
    machine = {}
    path = os.path.join(results, "%s-machine.txt" % tag if tag else "machine.txt")
    if os.path.exists(path):
        for line in open(path):
            if "=" in line:
                k, v = line.rstrip("\n").split("=", 1)
                machine[k] = v
    md = ["# Vorrel benchmarks" + (" (%s)" % tag if tag else ""), ""]
    md.append("Machine: %s, %s cores, %s. Run %s, %s interleaved run(s) per case, medians."
              % (machine.get("cpu", "?"), machine.get("cores", "?"), machine.get("kernel", "?"),
                 machine.get("date", "?"), machine.get("runs", "?")))
    md.append("")
    md.append("Versions: Vorrel %s; g++ %s (-m32), MinGW-w64 g++ %s; %s; glibc %s; jemalloc %s; "
              "tcmalloc (gperftools, minimal) %s; mimalloc %s."
              % (machine.get("vorrel", "?"), machine.get("gcc", "?"), machine.get("mingw", "?"),
                 machine.get("wine", "?"), machine.get("glibc", "?"),
                 machine.get("pkg.libjemalloc2:i386", "?"), machine.get("pkg.libtcmalloc-minimal4:i386", "?"),
                 machine.get("pkg.libmimalloc2.0:i386", "?")))
    md.append("")
    md.append("Times are CPU time of the process per operation (one malloc and its free, one append, one key "
              "built, found and erased) for the single-threaded workloads, and wall-clock throughput for the "
              "threaded ones (server: 4 threads passing blocks on; prodcons: one thread allocates, one frees; "
              "larson: threads replacing random blocks in slot arrays handed on to new threads, blocks up to "
              "1000 bytes or 8 KB; queue: producers hand batches to as many consumers; tightloop: malloc(64) "
              "and free in each thread; threads: time per short-lived thread, and how much memory grew over the "
              "last three quarters of them; falseshare: time per pass of writes to small blocks, allocated by "
              "one thread (passive) or by each writer (active); the figure after the name is the number of "
              "threads). startup: wall-clock and CPU time of a process that starts, allocates once and exits, "
              "and the memory it holds at exit. callgrind: instructions for one malloc(64) and its free, "
              "everything malloc and free run (the calling loop left out). "
              "Ratios are peer over Vorrel: above 1 Vorrel is faster, or uses less memory. Memory is the peak "
              "the workload added to the process (peak resident set, read from /proc on Linux and, under Wine, through drive Z:), "
              "in MB; ratios count anything under 1 MB as 1 MB.")
    gp_plots = []
    any_rows = False
    for platform in ("linux32", "win32"):
        rows = parse(os.path.join(results, raw_name(platform)))
        if not rows:
            continue
        any_rows = True
        speed, memory, targets, peers, chart = platform_tables(platform, rows)
        api = api_table(rows)
        before = None
        if not tag:
            before = before_table(rows, parse(os.path.join(results, "before-%s.txt" % platform)))
        print("\n== %s: speed" % TITLES[platform])
        print(text(speed))
        print("\n== %s: peak memory added by the workload (MB)" % TITLES[platform])
        print(text(memory))
        if api:
            print("\n== %s: Vorrel's own interface" % TITLES[platform])
            print(text(api))
        if before:
            print("\n== %s: Vorrel now against the before-figures" % TITLES[platform])
            print(text(before))
        print("\n== %s: targets missed" % TITLES[platform])
        print("\n".join(targets) if targets else "none")
        md += ["", "## %s" % TITLES[platform], "", "### Speed", "", markdown(speed), "",
               "### Peak memory added by the workload", ""]
        if platform == "win32":
            md += ["Under Wine the peak committed figure (PeakPagefileUsage) follows the runtime's small "
                   "blocks but not reservations made with VirtualAlloc, so these numbers compare nothing "
                   "and no memory target is judged on them; on Windows itself they are the real figure.", ""]
        md += [markdown(memory)]
        if api:
            md += ["", "### Vorrel's own interface", "",
                   "Each against its malloc baseline in the same process (speed vs baseline above 1: faster).",
                   "", markdown(api)]
        if before:
            md += ["", "### Vorrel now against the before-figures", "",
                   "Vorrel's medians here against its own in before-%s.txt (an earlier library, same "
                   "programs; now vs before above 1: faster now, or less memory)." % platform, "",
                   markdown(before)]
        md += ["", "### Targets missed", ""]
        md.append("\n".join(targets) if targets else "None.")
        if tag:
            continue
        # Chart data: one row per workload, one column per peer.
        data = os.path.join(results, "chart-%s.dat" % platform)
        with open(data, "w") as f:
            f.write("# workload " + " ".join(peers) + "\n")
            for name, rs in chart:
                f.write('"%s" %s\n' % (name, " ".join("%.4f" % r if r else "NaN" for r in rs)))
        gp_plots.append((TITLES[platform], os.path.basename(data), peers, len(chart)))
    if not any_rows:
        print("no results")
        return 1
    if tag:
        with open(os.path.join(results, "%s-results.md" % tag), "w") as f:
            f.write("\n".join(md) + "\n")
        return 0
    md += ["", "![speed ratios](ratios.png)", ""]
    with open(os.path.join(results, "results.md"), "w") as f:
        f.write("\n".join(md))
    # gnuplot script: one histogram per platform, log scale, a line at 1.
    width = max(1400, 30 * max(n for _, _, _, n in gp_plots))
    gp = ["set terminal pngcairo size %d,%d font 'sans,9'" % (width, 420 * len(gp_plots)),
          "set rmargin 10",
          "set output 'ratios.png'",
          "set multiplot layout %d,1" % len(gp_plots),
          "set style data histograms", "set style histogram clustered gap 1",
          "set style fill solid 0.8 border -1", "set logscale y 2", "set yrange [0.03125:64]", "set bmargin 6",
          "set ytics ('1/32' 0.03125, '1/16' 0.0625, '1/8' 0.125, '1/4' 0.25, '1/2' 0.5, '1' 1, '2' 2, '4' 4, '8' 8, '16' 16, '32' 32, '64' 64)",
          "set grid ytics", "set xtics rotate by -35 scale 0", "set key top right",
          "set ylabel 'peer time / Vorrel time (above 1: Vorrel faster)'"]
    for title, data, peers, _ in gp_plots:
        series = ", ".join("'%s' using %d:xtic(1) title '%s'" % (data, i + 2, p) if i == 0 else
                           "'' using %d title '%s'" % (i + 2, p) for i, p in enumerate(peers))
        gp += ["set title '%s: speed of each allocator relative to Vorrel'" % title,
               "plot %s, 1 with lines lc rgb 'black' lw 2 notitle" % series]
    gp.append("unset multiplot")
    with open(os.path.join(results, "chart.gp"), "w") as f:
        f.write("\n".join(gp) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
