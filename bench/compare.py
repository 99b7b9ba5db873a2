#!/usr/bin/env python3
"""Compare two result files of bench/run.py.

    python bench/compare.py old.json new.json [--engine vm] [--threshold 5]

For every workload in both files: the median time of each engine in the old
and the new file and the change, each VM engine's ratios to its peers before
and after, and the VM's instructions per run and each VM engine's ns per
instruction. Files from before the tiers had engines of their own (vm-interp,
vm-jit) hold the vm engine alone; their other VM engines show n/a. A change
smaller than the larger run-to-run spread of the two measurements is marked
"~" (within noise); beyond it, "faster" or "slower".
"""

from __future__ import annotations

import argparse
import json
import sys

LABELS = {"vm": "VM", "vm-interp": "VM-int", "vm-jit": "VM-mc", "cpython": "CPython", "lua": "Lua5.4",
          "luajit": "LuaJIT-i", "luajit-jit": "LuaJIT", "c": "C"}
VM_ENGINES = ["vm", "vm-interp", "vm-jit"]
PEERS = ["cpython", "lua", "luajit", "luajit-jit", "c"]


def load(path):
    with open(path) as f:
        data = json.load(f)
    if data.get("schema") != 1:
        raise SystemExit("%s: not a bench/run.py result file (schema %r)" % (path, data.get("schema")))
    return data


def median(cell):
    return cell.get("median") if cell.get("status") == "ok" else None


def spread(cell, clock):
    stats = cell.get("%s_stats" % clock) or {}
    return stats.get("spread", 0.0)


def verdict(old_cell, new_cell, clock, threshold):
    a, b = median(old_cell), median(new_cell)
    if a is None or b is None or a <= 0:
        return "", ""
    change = (b - a) / a
    noise = max(spread(old_cell, clock), spread(new_cell, clock), threshold / 100.0)
    if abs(change) <= noise:
        word = "~"
    else:
        word = "faster" if change < 0 else "slower"
    return "%+.1f%%" % (change * 100), word


def vm_figures(entry):
    """({vm engine: {peer: ratio}}, {vm engine: ns per instruction}) of one
    workload; older files hold only the vm engine's, as "ratios" and
    "ns_per_instruction"."""
    ratios = entry.get("ratios_by_engine")
    if ratios is None:
        ratios = {"vm": entry["ratios"]} if entry.get("ratios") else {}
    ns = entry.get("ns_per_instruction_by_engine")
    if ns is None:
        ns = {"vm": entry["ns_per_instruction"]} if entry.get("ns_per_instruction") is not None else {}
    return ratios, ns


def fmt_ns(ns):
    return "n/a" if ns is None else "%.2f" % ns


def fmt_t(t):
    if t is None:
        return "n/a"
    return "%.4f" % t if t >= 0.001 else "%.6f" % t


def fmt_r(r):
    if r is None:
        return "n/a"
    return "%.0f" % r if r >= 100 else "%.2f" % r


def table(head, rows):
    widths = [max(len(str(x)) for x in col) for col in zip(head, *rows)]
    out = ["  ".join(str(x).ljust(w) if i == 0 else str(x).rjust(w) for i, (x, w) in enumerate(zip(head, widths)))]
    out.append("  ".join("-" * w for w in widths))
    for r in rows:
        out.append("  ".join(str(x).ljust(w) if i == 0 else str(x).rjust(w) for i, (x, w) in enumerate(zip(r, widths))))
    return "\n".join(out)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("old")
    p.add_argument("new")
    p.add_argument("--engine", action="append",
                   help="engines to list (default: all in both files); may be repeated")
    p.add_argument("--threshold", type=float, default=3.0,
                   help="smallest change in %% reported as faster/slower (default 3)")
    args = p.parse_args(argv)
    old, new = load(args.old), load(args.new)
    clock = new["settings"].get("clock", "wall")
    if old["settings"].get("clock") != clock:
        print("note: the files use different clocks (%s, %s)" % (old["settings"].get("clock"), clock))
    for key in ("quick",):
        if old["settings"].get(key) != new["settings"].get(key):
            print("note: %s differs (%s vs %s): sizes are not the same" % (
                key, old["settings"].get(key), new["settings"].get(key)))

    common = [w for w in new["workloads"] if w in old["workloads"]]
    engines = args.engine or [e for e in new["settings"]["engines"] if e in old["settings"]["engines"]]

    print("old: %s  %s  (%s)" % (args.old, old.get("created"), (old.get("source") or {}).get("commit")))
    print("new: %s  %s  (%s)" % (args.new, new.get("created"), (new.get("source") or {}).get("commit")))
    print()

    rows = []
    for name in common:
        o, n = old["workloads"][name], new["workloads"][name]
        if o.get("n") != n.get("n"):
            rows.append([name, "size %s vs %s: not comparable" % (o.get("n"), n.get("n")), "", "", "", ""])
            continue
        for e in engines:
            oc, nc = o["engines"].get(e, {}), n["engines"].get(e, {})
            change, word = verdict(oc, nc, clock, args.threshold)
            rows.append([name, LABELS.get(e, e), fmt_t(median(oc)), fmt_t(median(nc)), change, word])
    print(table(["workload", "engine", "old s", "new s", "change", ""], rows))
    print()

    print(table(["workload", "VM engine"] + ["/%s" % LABELS[p] for p in PEERS] + ["VM instr/run", "ns/instr"],
                ratio_rows(old, new, common)))
    return 0


def ratio_rows(old, new, common):
    """One row per workload and VM engine that either file measured."""
    rows = []
    for name in common:
        o, n = old["workloads"][name], new["workloads"][name]
        (o_ratios, o_ns), (n_ratios, n_ns) = vm_figures(o), vm_figures(n)
        oi, ni = o.get("vm_instructions"), n.get("vm_instructions")
        for e in [v for v in VM_ENGINES if v in o_ratios or v in n_ratios]:
            row = [name, LABELS[e]]
            for peer in PEERS:
                row.append("%s -> %s" % (fmt_r(o_ratios.get(e, {}).get(peer)), fmt_r(n_ratios.get(e, {}).get(peer))))
            row.append("{:,} -> {:,}".format(oi, ni) if oi is not None and ni is not None else "n/a")
            ons, nns = o_ns.get(e), n_ns.get(e)
            row.append("%s -> %s" % (fmt_ns(ons), fmt_ns(nns)) if ons is not None or nns is not None else "n/a")
            rows.append(row)
    return rows


if __name__ == "__main__":
    sys.exit(main())
