#!/usr/bin/env python3
"""Plots the loopback latency distribution of qelbench's samples file (driver, floor, pyserial).

usage: plot.py SAMPLES.csv OUT.png [--title TEXT]
Left: histograms of the per-transaction wall time (log scale of counts); right: the share of
transactions slower than a given time (log scale), which shows the tails: p99 is where a curve
crosses 1 %.
"""
import argparse
import csv
import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

COLOURS = {"driver": "#1f77b4", "floor": "#2ca02c", "pyserial": "#d62728"}
LABELS = {"driver": "driver (QelMain)", "floor": "naive floor (poll + read per byte)",
          "pyserial": "pyserial"}


def pct(sorted_values, p):
    rank = max(1, math.ceil(p / 100 * len(sorted_values)))
    return sorted_values[rank - 1]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("samples")
    ap.add_argument("out")
    ap.add_argument("--title", default="Gate read over a pty, answered at once")
    a = ap.parse_args()

    data = {}
    with open(a.samples) as f:
        for row in csv.DictReader(f):
            data.setdefault(row["client"], []).append(float(row["wall_us"]))
    clients = [c for c in ("driver", "floor", "pyserial") if c in data]
    for c in clients:
        data[c].sort()

    everything = sorted(v for c in clients for v in data[c])
    hi = pct(everything, 99.5) * 1.2
    lo = max(1.0, everything[0] * 0.8)

    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.8))
    bins = [lo * (hi / lo) ** (i / 80) for i in range(81)]
    for c in clients:
        v = data[c]
        label = "%s: median %.0f us, p99 %.0f us" % (LABELS[c], pct(v, 50), pct(v, 99))
        left.hist([x for x in v if x <= hi], bins=bins, histtype="step", linewidth=1.6,
                  color=COLOURS[c], label=label)
        n = len(v)
        right.plot(v, [1 - i / n for i in range(n)], color=COLOURS[c], linewidth=1.6,
                   label=LABELS[c])
    left.set_xscale("log")
    left.set_yscale("log")
    left.set_xlabel("wall time per transaction (us, log scale)")
    left.set_ylabel("transactions")
    left.legend(fontsize=8)
    left.grid(True, which="both", alpha=0.3)
    right.set_xscale("log")
    right.set_yscale("log")
    right.set_xlabel("wall time per transaction (us, log scale)")
    right.set_ylabel("share of transactions at least this slow")
    right.axhline(0.01, color="grey", linestyle=":", linewidth=1)
    right.text(right.get_xlim()[0] * 1.05, 0.011, "p99", va="bottom", fontsize=8, color="grey")
    right.legend(fontsize=8, loc="lower left")
    right.grid(True, which="both", alpha=0.3)
    fig.suptitle(a.title)
    fig.tight_layout()
    fig.savefig(a.out, dpi=110)


if __name__ == "__main__":
    main()
