"""One engine, one workload, in a process of its own (started by run.py).

    python bench/worker.py vm WORKLOAD N RUNS MODULE.tnbc
    python bench/worker.py cpython WORKLOAD N RUNS
    python bench/worker.py vm-idle | cpython-idle

Prints one JSON object on standard output: the result, the wall seconds
(time.perf_counter) and CPU seconds (time.process_time) of each timed run,
and for the VM the instruction_count() delta of each run (and of the
warm-up, for run.py --callgrind, which runs the warm-up alone) and the
TARNEL_JIT it ran with (null: unset), which picks the tier. The first run is
a warm-up and is not reported.

VM: a run is load_bytecode() (not timed: a module that returns from its
outermost level halts the machine, so every run needs a fresh load) followed
by execute() (timed). CPython: a run is one call of the workload's function
from bench/pyworkloads.py, after a gc.collect() that is not timed.

The object also holds "rss_kib", this process's peak resident set: VmHWM
from /proc/self/status (getrusage's ru_maxrss would include the parent's
size, inherited through the spawn). The idle modes report what the
interpreter (with tarnel_vm imported, for vm-idle) takes before any work.
"""

from __future__ import annotations

import gc
import json
import os
import sys
import time


def peak_rss_kib():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from workloads import result_text  # noqa: E402


def run_vm(path, runs):
    import tarnel_vm

    vm = tarnel_vm.VornVM()
    vm.load_bytecode(path)
    warmup_before = vm.instruction_count()
    vm.execute()  # warm-up
    warmup_count = vm.instruction_count() - warmup_before
    results, wall, cpu, counts = [], [], [], []
    for _ in range(runs):
        vm.load_bytecode(path)
        gc.collect()
        before = vm.instruction_count()
        c0 = time.process_time()
        t0 = time.perf_counter()
        value = vm.execute()
        t1 = time.perf_counter()
        c1 = time.process_time()
        counts.append(vm.instruction_count() - before)
        wall.append(t1 - t0)
        cpu.append(c1 - c0)
        results.append(result_text(value))
    return {"results": results, "wall": wall, "cpu": cpu, "instructions": counts,
            "warmup_instructions": warmup_count}


def run_cpython(workload, n, runs):
    import pyworkloads

    function = pyworkloads.FUNCTIONS[workload]
    if workload == "fib":
        sys.setrecursionlimit(max(sys.getrecursionlimit(), 10 * n + 100))
    function(n)  # warm-up
    results, wall, cpu = [], [], []
    for _ in range(runs):
        gc.collect()
        c0 = time.process_time()
        t0 = time.perf_counter()
        value = function(n)
        t1 = time.perf_counter()
        c1 = time.process_time()
        wall.append(t1 - t0)
        cpu.append(c1 - c0)
        results.append(result_text(value))
    return {"results": results, "wall": wall, "cpu": cpu}


def main(argv):
    mode = argv[0]
    if mode == "vm-idle":
        import tarnel_vm  # noqa: F401

        tarnel_vm.VornVM()
        out = {}
    elif mode == "cpython-idle":
        out = {}
    elif mode == "vm":
        out = run_vm(argv[4], int(argv[3]))
        out["tarnel_jit"] = os.environ.get("TARNEL_JIT")  # which tier run.py asked for
    elif mode == "cpython":
        out = run_cpython(argv[1], int(argv[2]), int(argv[3]))
    else:
        raise SystemExit("unknown mode: %s" % mode)
    out["rss_kib"] = peak_rss_kib()
    sys.stdout.write(json.dumps(out) + "\n")


if __name__ == "__main__":
    main(sys.argv[1:])
