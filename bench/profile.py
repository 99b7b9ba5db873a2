#!/usr/bin/env python3
"""Where the VM spends its instructions: tarnel_bench under callgrind.

    python bench/profile.py [--bench build/bench/tarnel_bench] [--top 8] [WORKLOAD ...]

Runs each workload of the C++ micro-benchmark (quick sizes, one timed run
after the warm-up) under valgrind --tool=callgrind, counting only what
happens inside tarnel::run, and prints for each workload the machine
instructions executed per VM instruction and the functions that execute
them. Instruction counts do not depend on what else the machine is doing,
so two builds can be compared on a busy machine where timings are noisy.

Needs valgrind (apt-get install valgrind) and the bench build:

    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \\
          -DTARNEL_BUILD_BENCH=ON -DTARNEL_BUILD_EXTENSION=OFF
    cmake --build build/bench
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORKLOADS = ["int_loop", "fib", "float_loop", "array_fill", "sieve", "dict", "string"]


def short_name(symbol):
    """tarnel::Status tarnel::handlers::op_AddR<false>(...) -> handlers::op_AddR<false>."""
    symbol = re.sub(r"\s*\[[^\]]*\]\s*$", "", symbol)      # [object file]
    symbol = symbol.replace("(anonymous namespace)::", "")
    symbol = symbol.split(":", 1)[1] if symbol.startswith(("???:", "./")) or re.match(r"^[^ ]+\.[chS]:", symbol) else symbol
    depth, cut = 0, len(symbol)
    for i, ch in enumerate(symbol):  # drop the parameter list
        if ch == "<":
            depth += 1
        elif ch == ">":
            depth -= 1
        elif ch == "(" and depth == 0 and not symbol[:i].endswith("operator"):
            cut = i
            break
    symbol = symbol[:cut]
    symbol = re.sub(r"^(?:[\w:<>]+ )+(?=[\w:]+(?:<|$))", "", symbol)  # return type
    return symbol.replace("tarnel::", "")


def profile(bench, workload, top):
    with tempfile.TemporaryDirectory(prefix="tarnel-callgrind-") as tmp:
        out = os.path.join(tmp, "callgrind.out")
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=%s" % out,
               "--toggle-collect=tarnel::run(tarnel::VmState&)", bench, "--quick", "--runs", "1", workload]
        run = subprocess.run(cmd, capture_output=True, text=True)
        if run.returncode != 0:
            raise SystemExit("%s failed:\n%s" % (" ".join(cmd), run.stderr[-2000:]))
        vm_instructions = None
        lines = run.stdout.splitlines()
        names = [name.strip() for name in lines[0].split("  ") if name.strip()]  # some names are two words
        column = names.index("instr/run")
        for line in lines[1:]:
            fields = line.split()
            if fields and fields[0] == workload and len(fields) > column:
                vm_instructions = int(fields[column])
        report = subprocess.run(["callgrind_annotate", "--threshold=100", out], capture_output=True, text=True).stdout
    total, functions = None, []
    in_table = False
    for line in report.splitlines():
        m = re.match(r"^\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(.*)$", line)
        if "PROGRAM TOTALS" in line and m:
            total = int(m.group(1).replace(",", ""))
        elif "file:function" in line:
            in_table = True
        elif in_table and m:
            functions.append((int(m.group(1).replace(",", "")), short_name(m.group(2))))
    runs = 2  # the warm-up and one timed run
    shown = [(ir / runs, name) for ir, name in functions if total and ir >= 0.005 * total]
    return vm_instructions, total / runs if total else None, shown[:top]


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("workloads", nargs="*", default=WORKLOADS)
    p.add_argument("--bench", default=os.path.join(ROOT, "build", "bench", "tarnel_bench"))
    p.add_argument("--top", type=int, default=8, help="functions listed per workload (those over 0.5%%)")
    args = p.parse_args(argv)
    if not shutil.which("valgrind"):
        print("valgrind is missing (apt-get install valgrind)", file=sys.stderr)
        return 2
    if not os.path.exists(args.bench):
        print("%s is missing: build it first (see --help)" % args.bench, file=sys.stderr)
        return 2
    for workload in args.workloads:
        count, ir, functions = profile(args.bench, workload, args.top)
        if not count or not ir:
            print("%s: no measurement" % workload)
            continue
        print("%s: %s VM instructions per run, %.1f machine instructions per VM instruction"
              % (workload, format(count, ","), ir / count))
        for fir, name in functions:
            print("  %5.1f%%  %6.1f per VM instr  %s" % (100.0 * fir / ir, fir / count, name))
    return 0


if __name__ == "__main__":
    sys.exit(main())
