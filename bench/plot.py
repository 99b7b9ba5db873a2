#!/usr/bin/env python3
"""Bar chart of the VM's time ratios to its peers, from a bench/run.py result.

    python bench/plot.py [RESULTS.json] [-o bench/results/ratios.png]

One group of bars per workload, one bar per peer (VM time / peer time, log
scale): below the line at 1.0 the VM is faster. Needs matplotlib
(bench/requirements.txt).
"""

from __future__ import annotations

import argparse
import json
import os
import sys

BENCH = os.path.dirname(os.path.abspath(__file__))
PEERS = [("cpython", "CPython"), ("lua", "Lua 5.4"), ("luajit", "LuaJIT -joff"), ("c", "C -O2")]


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("results", nargs="?", default=os.path.join(BENCH, "results", "latest.json"))
    p.add_argument("-o", "--output", default=os.path.join(BENCH, "results", "ratios.png"))
    args = p.parse_args(argv)

    try:
        import matplotlib
    except ImportError:
        print("matplotlib is missing: python -m pip install -r bench/requirements.txt", file=sys.stderr)
        return 2
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    with open(args.results) as f:
        data = json.load(f)
    names = list(data["workloads"])
    peers = [(key, label) for key, label in PEERS
             if any(key in data["workloads"][w].get("ratios", {}) for w in names)]
    if not peers:
        print("no ratios in %s" % args.results, file=sys.stderr)
        return 1

    fig, ax = plt.subplots(figsize=(11, 5.5))
    width = 0.8 / len(peers)
    colours = ["#4c72b0", "#dd8452", "#55a868", "#8172b3"]
    for k, (key, label) in enumerate(peers):
        xs, ys = [], []
        for i, name in enumerate(names):
            r = data["workloads"][name].get("ratios", {}).get(key)
            if r is not None:
                xs.append(i + (k - (len(peers) - 1) / 2) * width)
                ys.append(r)
        bars = ax.bar(xs, ys, width, label="VM / %s" % label, color=colours[k % len(colours)])
        for bar, y in zip(bars, ys):
            text = "%.0f" % y if y >= 10 else "%.2f" % y
            ax.annotate(text, (bar.get_x() + bar.get_width() / 2, y), ha="center", va="bottom",
                        fontsize=7, rotation=90, xytext=(0, 2), textcoords="offset points")
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_yscale("log")
    ax.set_xticks(range(len(names)))
    ax.set_xticklabels(["%s\n(n=%s)" % (data["workloads"][w]["title"], format(data["workloads"][w]["n"], ","))
                        for w in names], fontsize=8)
    ax.set_ylabel("VM time / peer time (log scale; < 1: VM faster)")
    settings = data.get("settings", {})
    ax.set_title("tarnel VM against its peers: median %s time of %s runs, %s, %s" % (
        "CPU" if settings.get("clock") == "cpu" else "wall-clock", settings.get("runs"),
        (data.get("machine") or {}).get("cpu") or "unknown CPU",
        (data.get("source") or {}).get("build") or (data.get("source") or {}).get("commit") or ""), fontsize=10)
    ax.legend(fontsize=8)
    ax.grid(axis="y", which="both", alpha=0.3)
    fig.tight_layout()

    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    tmp = args.output + ".tmp"
    fig.savefig(tmp, dpi=110, format="png")
    os.replace(tmp, args.output)
    print("chart written to %s" % args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
