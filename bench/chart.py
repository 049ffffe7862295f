#!/usr/bin/env python3
"""Draws the cost of one call by input length, for the copy and each
kernel, from escape_special_bench's Google Benchmark output, as an SVG.

usage: escape_special_bench --benchmark_filter=length: --benchmark_format=json \\
           | python3 bench/chart.py doc/speed.svg

Needs python3-matplotlib.
"""
import json
import sys

import matplotlib

matplotlib.use("svg")
import matplotlib.pyplot as plt  # noqa: E402


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    data = json.load(sys.stdin)
    series = {}
    for b in data["benchmarks"]:
        name, _, length = b["name"].partition("/length:")
        if not length or b.get("run_type") == "aggregate":
            continue
        scale = {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]]
        series.setdefault(name, []).append((int(length), b["real_time"] * scale))
    plt.rcParams["svg.hashsalt"] = "escape-special"
    fig, ax = plt.subplots(figsize=(8, 5))
    order = ["copy"] + [n for n in series if n != "copy"]
    for name in order:
        points = sorted(series[name])
        style = {"color": "black", "linestyle": "--", "linewidth": 2} if name == "copy" else {}
        ax.plot([p[0] for p in points], [p[1] for p in points], marker="o", markersize=3,
                label="copy: strlen, allocation, memcpy" if name == "copy" else name, **style)
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    ax.set_xlabel("input length, bytes (prose with one special byte in a hundred)")
    ax.set_ylabel("time per call, ns")
    cpu = data["context"].get("cpu", "unknown CPU")
    ax.set_title(f"escape_special, one call by input length\n{cpu}")
    ax.grid(True, which="major", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(sys.argv[1], metadata={"Date": None})


if __name__ == "__main__":
    main()
