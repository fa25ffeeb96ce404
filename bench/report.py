#!/usr/bin/env python3
"""Turns a bench run's results into Markdown tables (for docs/performance.md).

usage: report.py RESULTS_DIR   (the folder bench/run.sh fills: machine.txt, micro.json,
                                qelbench.csv, targets.md); writes RESULTS_DIR/report.md
"""
import csv
import json
import os
import sys


def fmt(v, d=1):
    try:
        x = float(v)
    except (TypeError, ValueError):
        return str(v)
    if x != x:  # nan
        return "-"
    return "%.*f" % (d, x)


def table(head, rows):
    out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out) + "\n"


def main():
    d = sys.argv[1]
    parts = []
    with open(os.path.join(d, "machine.txt")) as f:
        parts.append("### Machine and run\n\n```\n" + f.read().strip() + "\n```\n")
    tpath = os.path.join(d, "targets.md")
    if os.path.exists(tpath):
        with open(tpath) as f:
            parts.append("### Targets\n\n" + f.read())

    mpath = os.path.join(d, "micro.json")
    if os.path.exists(mpath):
        with open(mpath) as f:
            micro = json.load(f)
        rows = []
        for b in micro["benchmarks"]:
            if b.get("aggregate_name") not in (None, "median"):
                continue
            name = b.get("run_name", b["name"])
            extra = ""
            if "per_char" in b:
                extra = "%.1f ns per character (%d characters)" % (b["per_char"] * 1e9, b["chars"])
            rows.append([name.replace("BM_", ""), fmt(b["cpu_time"]), fmt(b["real_time"]), extra])
        parts.append("### CPU cost (Google Benchmark, median of the repetitions)\n\n" +
                     table(["benchmark", "CPU ns", "wall ns", ""], rows))

    rows_by = {}
    with open(os.path.join(d, "qelbench.csv")) as f:
        for r in csv.DictReader(f):
            rows_by.setdefault(r["section"], []).append(r)

    if "loopback" in rows_by:
        rows = [[r["client"], r["n"], fmt(r["median_us"]), fmt(r["p99_us"]), fmt(r["max_us"]),
                 fmt(r["cpu_us_per_txn"]), fmt(r["wall_ratio"], 3), fmt(r["cpu_ratio"], 3)]
                for r in rows_by["loopback"]]
        parts.append("### Loopback: gate reads answered at once\n\n" + table(
            ["client", "n", "median µs", "p99 µs", "max µs", "CPU µs/txn", "wall × floor",
             "CPU × floor"], rows))
    if "wire" in rows_by:
        rows = [[r["baud"], r["client"], r["n"], fmt(r["median_us"]), fmt(r["p99_us"]),
                 fmt(r["wall_ratio"], 4), fmt(r["cpu_us_per_txn"]), fmt(r["cpu_ratio"], 3),
                 r["note"]] for r in rows_by["wire"]]
        parts.append("### Against the wire\n\n" + table(
            ["baud", "client", "n", "median µs", "p99 µs", "median × wire", "CPU µs/txn",
             "CPU × floor", "note"], rows))
    if "lines" in rows_by:
        rows = [[r["lines"], r["client"], r["n"], fmt(r["median_us"]), fmt(r["p99_us"]),
                 fmt(r["cpu_us_per_txn"]), fmt(100 * float(r["wall_ratio"]), 1) + " %",
                 r["note"]] for r in rows_by["lines"]]
        parts.append("### Many lines, paced at 9600 baud\n\n" + table(
            ["lines", "client", "transactions", "median µs", "p99 µs", "CPU µs/txn",
             "slowest line vs lone", "transactions/s per line"], rows))
    if "timeouts" in rows_by:
        rows = [[r["timeout_ticks"], r["lines"], r["n"], fmt(float(r["median_us"]) / 1000, 3),
                 fmt(float(r["p99_us"]) / 1000, 3), fmt(float(r["max_us"]) / 1000, 3),
                 fmt(float(r["min_us"]) / 1000, 3), r["note"]] for r in rows_by["timeouts"]]
        parts.append("### Timeouts: overshoot beyond the timeout\n\n" + table(
            ["ticks", "lines at once", "n", "p50 ms", "p99 ms", "max ms", "least ms", "note"],
            rows))
    if "alloc" in rows_by:
        parts.append("### Allocations\n\n" + "\n".join("- " + r["note"] for r in rows_by["alloc"])
                     + "\n")
    with open(os.path.join(d, "report.md"), "w") as f:
        f.write("\n".join(parts))
    print(os.path.join(d, "report.md"))


if __name__ == "__main__":
    main()
