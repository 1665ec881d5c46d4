#!/usr/bin/env python3
"""Figures of scripts/bench.sh: reads the RESULT lines and host-path traces of each run
in a results folder, prints one table per run and one over all runs (with the earlier
installer beside the current one when the run has it), and writes the histogram data of
the host path for gnuplot.

usage: report.py RESULTS_DIR RUNS
       report.py --compare TOP_DIR RUNS ARCH...   (medians side by side, TOP_DIR/ARCH each)
"""
import math
import os
import statistics
import sys

BAUD = 115200


def results(path):
    values = {}
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3 and parts[0] == "RESULT":
                values[parts[1]] = float(parts[2])
    return values


def percentile(sorted_values, p):
    """Nearest rank: the smallest value with at least p% of the values at or below it."""
    rank = max(1, math.ceil(p / 100.0 * len(sorted_values)))
    return sorted_values[rank - 1]


def host_path_ms(trace, records):
    """Per Blackfin record, ms from the last received batch before its write to the write.

    The trace holds one pair per record written over the whole update (PICs first), so
    the Blackfin's are the last `records`."""
    with open(trace) as f:
        header = f.readline().split()
        frequency = float(header[header.index("qpc_frequency") + 1])
        pairs = [tuple(int(x) for x in line.split()) for line in f if line.strip()]
    pairs = pairs[-records:]
    return [(w - q) * 1000.0 / frequency for q, w in pairs if q > 0]


def stats(ms):
    s = sorted(ms)
    return {"n": len(s), "p50": percentile(s, 50), "p90": percentile(s, 90),
            "p99": percentile(s, 99), "max": s[-1], "mean": statistics.fmean(s)}


def load_run(folder, run):
    merged = {}
    for kind in ("gui-paced", "gui-unpaced", "raw-paced", "raw-unpaced", "image-check"):
        path = os.path.join(folder, "run%d-%s.txt" % (run, kind))
        if kind == "image-check" and not os.path.exists(path):
            continue  # results from before the image check was timed
        merged.update(results(path))
    traced = results(os.path.join(folder, "run%d-trace.txt" % run))
    merged["traced_blackfin_s"] = traced.get("paced_blackfin_s", float("nan"))
    trace = os.path.join(folder, "run%d-trace.log" % run)
    merged["host"] = stats(host_path_ms(trace, int(merged["records"])))
    merged["host_ms"] = host_path_ms(trace, int(merged["records"]))
    before = os.path.join(folder, "run%d-before-gui-paced.txt" % run)
    if os.path.exists(before):
        earlier = results(before)
        earlier.update(results(os.path.join(folder, "run%d-before-gui-unpaced.txt" % run)))
        for key, value in earlier.items():
            merged["before_" + key] = value
    return merged


def comparison(r):
    """Before and after side by side, the raw loop of the same run beside each figure."""
    floor = r["wire_floor_s"]
    lines = []
    add = lines.append
    add("  before / after (same run)            before      after   raw loop")
    add("  Blackfin paced                     %8.3f s %8.3f s %8.3f s"
        % (r["before_paced_blackfin_s"], r["paced_blackfin_s"], r["raw_paced_blackfin_s"]))
    add("  paced, share of wire floor         %8.1f %% %8.1f %% %8.1f %%   (target >= 95 %%, within 2 %% of raw)"
        % (100 * floor / r["before_paced_blackfin_s"], 100 * floor / r["paced_blackfin_s"],
           100 * floor / r["raw_paced_blackfin_s"]))
    add("  Blackfin unpaced                   %8.3f s %8.3f s %8.3f s"
        % (r["before_unpaced_blackfin_s"], r["unpaced_blackfin_s"], r["raw_unpaced_blackfin_s"]))
    add("  unpaced, times the raw loop        %8.2f x %8.2f x %8.2f x   (target <= 2 x)"
        % (r["before_unpaced_blackfin_s"] / r["raw_unpaced_blackfin_s"],
           r["unpaced_blackfin_s"] / r["raw_unpaced_blackfin_s"], 1.0))
    add("  whole update paced                 %8.3f s %8.3f s" % (r["before_paced_update_s"], r["paced_update_s"]))
    add("  whole update unpaced               %8.3f s %8.3f s" % (r["before_unpaced_update_s"], r["unpaced_update_s"]))
    add("  connect                            %8.3f s %8.3f s" % (r["before_connect_s"], r["connect_s"]))
    add("  committed MEM_PRIVATE, paced       %8.2f MB%8.2f MB   (target < 16 MB)"
        % (r["before_paced_private_committed_mb"], r["paced_private_committed_mb"]))
    add("  committed MEM_PRIVATE, unpaced     %8.2f MB%8.2f MB"
        % (r["before_unpaced_private_committed_mb"], r["unpaced_private_committed_mb"]))
    add("  PagefileUsage peak, paced          %8.2f MB%8.2f MB"
        % (r["before_paced_peak_private_mb"], r["paced_peak_private_mb"]))
    add("  PagefileUsage peak, unpaced        %8.2f MB%8.2f MB"
        % (r["before_unpaced_peak_private_mb"], r["unpaced_peak_private_mb"]))
    return "\n".join(lines)


def table(r):
    floor = r["wire_floor_s"]
    lines = []
    add = lines.append
    add("  start to window shown            %8.3f s   (target <= 1 s)" % r["window_shown_s"])
    add("  connect (sign-on, versions)      %8.3f s" % r["connect_s"])
    if "image_check_first_ms" in r:
        add("  image check before the first command: first %.2f ms, median %.2f ms   (target < 50 ms)"
            % (r["image_check_first_ms"], r["image_check_median_ms"]))
    add("  phase                              paced     unpaced")
    for key, name in (("pic2", "PIC 2"), ("pic3", "PIC 3"), ("pic4", "PIC 4"), ("erase", "erase"),
                      ("blackfin", "Blackfin"), ("update", "whole update")):
        add("  %-30s %8.3f s  %8.3f s" % (name, r["paced_%s_s" % key], r["unpaced_%s_s" % key]))
    add("  Blackfin programming against the wire floor (%d records, %d characters, 115200 baud):"
        % (r["records"], r["characters"]))
    add("                                 installer   raw loop")
    add("  wire floor                       %8.3f s" % floor)
    add("  paced time                       %8.3f s  %8.3f s" % (r["paced_blackfin_s"], r["raw_paced_blackfin_s"]))
    add("  paced, share of wire floor       %8.1f %%  %8.1f %%   (target >= 90 %%)"
        % (100 * floor / r["paced_blackfin_s"], 100 * floor / r["raw_paced_blackfin_s"]))
    add("  unpaced time                     %8.3f s  %8.3f s" % (r["unpaced_blackfin_s"], r["raw_unpaced_blackfin_s"]))
    add("  unpaced, raw loop time / time    %8.1f %%  %8.1f %%"
        % (100 * r["raw_unpaced_blackfin_s"] / r["unpaced_blackfin_s"], 100.0))
    add("  installer's private memory during the Blackfin transfer (target < 16 MB):")
    add("    GetProcessMemoryInfo PagefileUsage, peak of samples paced %6.2f MB  unpaced %6.2f MB"
        % (r["paced_peak_private_mb"], r["unpaced_peak_private_mb"]))
    add("    committed MEM_PRIVATE pages (VirtualQueryEx walk)   paced %6.2f MB  unpaced %6.2f MB"
        % (r["paced_private_committed_mb"], r["unpaced_private_committed_mb"]))
    h = r["host"]
    add("  host path, last echo byte queued -> next record written (trace build, paced, %d records):" % h["n"])
    add("    p50 %.3f ms  p90 %.3f ms  p99 %.3f ms  max %.3f ms  mean %.3f ms   (targets p50 <= 0.2, p99 <= 2)"
        % (h["p50"], h["p90"], h["p99"], h["max"], h["mean"]))
    add("    Blackfin paced with the trace build: %.3f s" % r["traced_blackfin_s"])
    return "\n".join(lines)


def median_run(loaded):
    median = {key: statistics.median(r[key] for r in loaded)
              for key, value in loaded[0].items() if isinstance(value, float)}
    median["host"] = stats([ms for r in loaded for ms in r["host_ms"]])
    return median


def compare(top, runs, arches):
    medians = [median_run([load_run(os.path.join(top, a), i) for i in range(1, runs + 1)]) for a in arches]
    print("median of %d run(s) per program" % runs + "".join("%14s" % a for a in arches))
    rows = (
        ("start to window shown, s", lambda r: r["window_shown_s"]),
        ("connect, s", lambda r: r["connect_s"]),
        ("image check, first run, ms", lambda r: r.get("image_check_first_ms", float("nan"))),
        ("whole update paced, s", lambda r: r["paced_update_s"]),
        ("whole update unpaced, s", lambda r: r["unpaced_update_s"]),
        ("Blackfin paced, s", lambda r: r["paced_blackfin_s"]),
        ("Blackfin paced, % of wire floor", lambda r: 100 * r["wire_floor_s"] / r["paced_blackfin_s"]),
        ("Blackfin unpaced, s", lambda r: r["unpaced_blackfin_s"]),
        ("raw loop paced, % of wire floor", lambda r: 100 * r["wire_floor_s"] / r["raw_paced_blackfin_s"]),
        ("raw loop unpaced, s", lambda r: r["raw_unpaced_blackfin_s"]),
        ("host path p50, ms", lambda r: r["host"]["p50"]),
        ("host path p99, ms", lambda r: r["host"]["p99"]),
        ("committed MEM_PRIVATE paced, MB", lambda r: r["paced_private_committed_mb"]),
        ("PagefileUsage peak paced, MB", lambda r: r["paced_peak_private_mb"]),
    )
    for name, value in rows:
        print("  %-38s" % name + "".join("%14.3f" % value(m) for m in medians))


def main():
    if sys.argv[1] == "--compare":
        compare(sys.argv[2], int(sys.argv[3]), sys.argv[4:])
        return
    folder, runs = sys.argv[1], int(sys.argv[2])
    loaded = [load_run(folder, i) for i in range(1, runs + 1)]
    for i, r in enumerate(loaded, 1):
        print("run %d" % i)
        print(table(r))
        if "before_paced_blackfin_s" in r:
            print(comparison(r))
        print()
    if len(loaded) > 1:
        median = {}
        for key, value in loaded[0].items():
            if isinstance(value, float):
                median[key] = statistics.median(r[key] for r in loaded)
        every = [ms for r in loaded for ms in r["host_ms"]]
        median["host"] = stats(every)
        print("median of %d runs (host path: all runs' records together)" % runs)
        print(table(median))
        if "before_paced_blackfin_s" in median:
            print(comparison(median))
    every = sorted(ms for r in loaded for ms in r["host_ms"])
    # Histogram on a log scale: 20 bins a decade from 10 us to 1 s.
    bins = {}
    for ms in every:
        b = math.floor(20 * math.log10(max(ms, 0.01) / 0.01))
        bins[b] = bins.get(b, 0) + 1
    with open(os.path.join(folder, "host_path_hist.dat"), "w") as out:
        out.write("# lower_ms upper_ms records\n")
        for b in range(0, max(bins) + 1):
            lo = 0.01 * 10 ** (b / 20.0)
            hi = 0.01 * 10 ** ((b + 1) / 20.0)
            out.write("%.5f %.5f %d\n" % (lo, hi, bins.get(b, 0)))
    with open(os.path.join(folder, "host_path_stats.txt"), "w") as out:
        s = stats(every)
        out.write("n %d p50 %.4f p90 %.4f p99 %.4f max %.4f\n" % (s["n"], s["p50"], s["p90"], s["p99"], s["max"]))


if __name__ == "__main__":
    main()
