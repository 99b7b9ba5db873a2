#!/usr/bin/env python3
"""Bar chart of each engine's time relative to Lua 5.4, from a bench/run.py result.

    python bench/plot.py [RESULTS.json] [-o bench/results/ratios.png]

One group per workload: a bar for each of the VM's tiers that ran (the
interpreter alone, the default tiering that switches to machine code once a
module is hot, and machine code from the start when it was measured) and for
each interpreter peer (engine time / Lua 5.4 time, log scale; the line at
1.0 is Lua 5.4, lower is faster), and C as a marker with its figure, so its
much shorter times do not stretch the scale of the bars. Result files from
before the tiers had engines of their own have a single VM bar. Needs
matplotlib (bench/requirements.txt).
"""

from __future__ import annotations

import argparse
import json
import os
import sys

BENCH = os.path.dirname(os.path.abspath(__file__))
BASE = ("lua", "Lua 5.4")
# Engines drawn as bars (the VM's tiers first), and the compiled baseline drawn as a marker.
BARS = [("vm-interp", "tarnel VM, interpreter"), ("vm", "tarnel VM, machine code once hot"),
        ("vm-jit", "tarnel VM, machine code always"), ("luajit", "LuaJIT interpreter"), ("cpython", "CPython")]
# The vm engine alone, in files without the other tiers: whatever tier the run had.
SINGLE_VM = "tarnel VM"
MARKER = ("c", "C (gcc -O2)")
COLOURS = {"vm-interp": "#e8a06b", "vm": "#c44e52", "vm-jit": "#8c1c2c", "luajit": "#55a868",
           "cpython": "#4c72b0", "c": "black"}


def relative_times(data):
    """{workload: {engine: median time / Lua 5.4 median time}} for the engines that ran."""
    out = {}
    for name, entry in data["workloads"].items():
        engines = entry.get("engines", {})
        base = engines.get(BASE[0], {})
        if base.get("status") != "ok" or not base.get("median"):
            continue
        out[name] = {key: cell["median"] / base["median"] for key, cell in engines.items()
                     if cell.get("status") == "ok" and cell.get("median") is not None}
    return out


def bar_engines(rel):
    """[(engine, label)] of the bars to draw: those with a time on some workload."""
    present = {key for times in rel.values() for key in times}
    bars = [(key, label) for key, label in BARS if key in present]
    if not present & {"vm-interp", "vm-jit"}:
        bars = [(key, SINGLE_VM if key == "vm" else label) for key, label in bars]
    return bars


def _figure(value):
    return "%.0f" % value if value >= 10 else "%.2f" % value if value >= 0.1 else "%.3f" % value


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
    rel = relative_times(data)
    names = [w for w in data["workloads"] if w in rel]
    bars = bar_engines({w: rel[w] for w in names})
    if not names or not bars:
        print("no times relative to %s in %s" % (BASE[1], args.results), file=sys.stderr)
        return 1

    fig, ax = plt.subplots(figsize=(12, 6))
    width = 0.8 / (len(bars) + 1)         # the last slot holds the C marker
    for k, (key, label) in enumerate(bars):
        xs, ys = [], []
        for i, name in enumerate(names):
            if key in rel[name]:
                xs.append(i + (k - len(bars) / 2) * width)
                ys.append(rel[name][key])
        # Each bar runs from the Lua 5.4 line to the engine's figure: up is slower.
        drawn = ax.bar(xs, [y - 1 for y in ys], width, bottom=1, label=label, color=COLOURS[key])
        for bar, y in zip(drawn, ys):
            ax.annotate(_figure(y), (bar.get_x() + bar.get_width() / 2, y), ha="center",
                        va="bottom" if y >= 1 else "top", fontsize=6 if len(bars) > 3 else 7,
                        xytext=(0, 2 if y >= 1 else -2), textcoords="offset points")
    key, label = MARKER
    xs = [i + (len(bars) / 2) * width for i, name in enumerate(names) if key in rel[name]]
    ys = [rel[name][key] for name in names if key in rel[name]]
    if ys:
        ax.scatter(xs, ys, marker="_", s=120, linewidths=2, color=COLOURS[key], label=label, zorder=3)
        for x, y in zip(xs, ys):
            ax.annotate(_figure(y), (x, y), ha="center", va="top", fontsize=7,
                        xytext=(0, -4), textcoords="offset points")
    ax.set_yscale("log")
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.annotate(BASE[1], (1.0, 1.0), xycoords=("axes fraction", "data"), ha="right", va="bottom",
                fontsize=8, xytext=(-4, 2), textcoords="offset points")
    low = min(min(v.values()) for v in rel.values())
    high = max(max(v.values()) for v in rel.values())
    ax.set_ylim(low / 2, high * 4)          # room for the legend above the bars
    ax.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: "%g" % v))
    ax.set_xticks(range(len(names)))
    ax.set_xticklabels(["%s\n(n=%s)" % (data["workloads"][w]["title"], format(data["workloads"][w]["n"], ","))
                        for w in names], fontsize=8)
    ax.set_ylabel("time relative to Lua 5.4 (log scale; lower is faster)")
    settings = data.get("settings", {})
    source = data.get("source") or {}
    ax.set_title("Time relative to Lua 5.4: median %s time of %s runs, %s, commit %s" % (
        "CPU" if settings.get("clock") == "cpu" else "wall-clock", settings.get("runs"),
        (data.get("machine") or {}).get("cpu") or "unknown CPU",
        source.get("build") or source.get("commit") or "unknown"), fontsize=10)
    handles, labels = ax.get_legend_handles_labels()
    order = sorted(range(len(labels)), key=lambda i: labels[i] == MARKER[1])  # the C marker last
    ax.legend([handles[i] for i in order], [labels[i] for i in order], fontsize=8, loc="upper center",
              ncol=len(labels) if len(labels) <= 5 else 3)
    ax.grid(axis="y", which="major", alpha=0.3)
    fig.tight_layout()

    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    tmp = args.output + ".tmp"
    fig.savefig(tmp, dpi=110, format="png")
    os.replace(tmp, args.output)
    print("chart written to %s" % args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
