"""What tarnel.execute costs next to vm.execute(), and whether runs on two
threads go on in parallel.

    python bench/limits_run.py WORKLOAD N MODE    # one run (what callgrind counts)
    python bench/limits_run.py --callgrind        # the table of docs/running.md
    python bench/limits_run.py --threads          # one loop alone, then two at once
    python bench/limits_run.py --stop-latency     # how soon a timeout stops huge frees

MODE: plain (vm.execute()), none (tarnel.execute with no limit), quiet
(no limit, interruptible=False), all (every limit, far away), allquiet.

--callgrind counts machine instructions (valgrind's Ir) of each mode at two
sizes of each workload and prints the difference, Ir(N2) - Ir(N1): the
extra iterations alone, with start-up, loading and shutdown cancelled out.

--threads runs the integer loop with tarnel.execute on one thread alone,
then on two threads at once (one VM each), and prints the wall-clock ratio
(1.0: fully parallel, 2.0: serialized), each thread's CPU time and the load
average, since other work on the machine skews wall-clock figures.

--stop-latency runs a program that fills an array with a million small
arrays, drops it (freeing them all) and starts again, forever, under
timeouts spread over one such round, and prints how long after the
deadline each run returned.
"""

import argparse
import os
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tarnel  # noqa: E402
import tarnel_vm  # noqa: E402
from workloads import BY_NAME  # noqa: E402

MODES = {
    "none": {},
    "quiet": {"interruptible": False},
    "all": {"max_instructions": 10**12, "timeout": 3600, "max_memory": "1G"},
    "allquiet": {"max_instructions": 10**12, "timeout": 3600, "max_memory": "1G", "interruptible": False},
}

# Workloads and the two sizes whose difference is counted.
IR_SIZES = {"int_loop": (100_000, 600_000), "fib": (18, 22), "float_loop": (50_000, 300_000),
            "array": (20_000, 120_000), "string": (5_000, 30_000)}
IR_MODES = ["plain", "none", "all"]


def loaded_vm(name, n):
    path = os.path.join(tempfile.mkdtemp(), name + ".tnbc")
    with open(path, "wb") as fh:
        fh.write(tarnel.assemble(BY_NAME[name].vm_source(n)))
    vm = tarnel_vm.VornVM()
    vm.load_bytecode(path)
    os.unlink(path)
    os.rmdir(os.path.dirname(path))
    return vm


def run_mode(vm, mode):
    return vm.execute() if mode == "plain" else tarnel.execute(vm, **MODES[mode])


def one_run(name, n, mode):
    vm = loaded_vm(name, n)
    result = run_mode(vm, mode)
    print(name, n, mode, vm.instruction_count(), result)


def callgrind_table(workloads, timeout):
    import callgrind

    script = os.path.abspath(__file__)
    print("| workload (N1 → N2) | `vm.execute()` | `tarnel.execute(vm)` | every limit set |")
    print("|---|---:|---:|---:|")
    for name in workloads:
        small, large = IR_SIZES[name]
        ir = {}
        for mode in IR_MODES:
            counts = [callgrind.count_ir([sys.executable, script, name, str(n), mode], timeout)[0]
                      for n in (small, large)]
            ir[mode] = counts[1] - counts[0]
        base = ir["plain"]
        cells = ["{:,}".format(base)] + ["{:,} ({:+.1f}%)".format(ir[m], 100.0 * (ir[m] - base) / base)
                                          for m in IR_MODES[1:]]
        print("| %s (%s → %s) | %s |" % (name, "{:,}".format(small), "{:,}".format(large), " | ".join(cells)))
        sys.stdout.flush()


def scheduler_times():
    """(seconds on a CPU, seconds waiting for one) of the calling thread,
    from Linux's schedstat; None elsewhere."""
    try:
        with open("/proc/self/task/%d/schedstat" % threading.get_native_id()) as fh:
            running, waiting = fh.read().split()[:2]
        return int(running) / 1e9, int(waiting) / 1e9
    except (OSError, ValueError):
        return None


def timed_runs(vms, mode):
    """Runs each VM on a thread of its own, all at once: (wall seconds,
    [CPU seconds of each thread], [seconds each thread slept]). A thread
    that is neither running nor waiting for a CPU sleeps: on a lock, for
    instance, which is what would serialize the runs whatever the load."""
    cpu = [0.0] * len(vms)
    slept = [0.0] * len(vms)
    errors = []

    def work(i):
        start, sched = time.perf_counter(), scheduler_times()
        try:
            run_mode(vms[i], mode)
        except BaseException as exc:  # reported below, not lost in the thread
            errors.append(exc)
        wall, after = time.perf_counter() - start, scheduler_times()
        if sched and after:
            cpu[i] = after[0] - sched[0]
            slept[i] = max(0.0, wall - cpu[i] - (after[1] - sched[1]))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(vms))]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wall = time.perf_counter() - start
    if errors:
        raise errors[0]
    return wall, cpu, slept


def thread_ratio(n, mode, repeat):
    alone, together = [], []
    alone_cpu, together_cpu, together_slept = [], [], []
    for _ in range(repeat):
        wall, cpu, _ = timed_runs([loaded_vm("int_loop", n)], mode)
        alone.append(wall)
        alone_cpu.append(cpu[0])
        wall, cpu, slept = timed_runs([loaded_vm("int_loop", n), loaded_vm("int_loop", n)], mode)
        together.append(wall)
        together_cpu.append(max(cpu))
        together_slept.append(max(slept))
    print("integer loop, %s iterations, tarnel.execute mode %r, best of %d, load average %.2f %.2f %.2f"
          % ("{:,}".format(n), mode, repeat, *os.getloadavg()))
    print("one thread alone:   %.3f s wall, %.3f s CPU" % (min(alone), min(alone_cpu)))
    print("two threads at once: %.3f s wall, %.3f s CPU in the slower thread" % (min(together), min(together_cpu)))
    print("ratio two/one: %.2f wall, %.2f CPU" % (min(together) / min(alone), min(together_cpu) / min(alone_cpu)))
    print("two threads at once: at most %.3f s asleep (neither running nor waiting for a CPU) in the slower thread"
          % max(together_slept))


FREES = """\
.module "frees"
.func main
        LoadConstR r1, 1
        LoadConstR r2, {n}
outer:
        NewArrayR r0, r2            ; drops the last array of arrays: freed here
        LoadConstR r3, 0
fill:
        NewArrayR r4, r1
        ArraySetR r0, r3, r4
        AddR r3, r3, r1
        LtR r5, r3, r2
        JumpIfR r5, fill
        JumpR outer
"""


def stop_latency(n, runs):
    path = os.path.join(tempfile.mkdtemp(), "frees.tnbc")
    with open(path, "wb") as fh:
        fh.write(tarnel.assemble(FREES.format(n=n)))
    vm = tarnel_vm.VornVM()
    vm.load_bytecode(path)
    late = []
    for i in range(runs):
        timeout = 0.2 + 0.15 * i / runs
        start = time.perf_counter()
        try:
            tarnel.execute(vm, timeout=timeout)
        except tarnel.TimeLimitExceeded:
            pass
        late.append(1000 * (time.perf_counter() - start - timeout))
    late.sort()
    print("%d runs, arrays of %s arrays, load average %.2f %.2f %.2f" % (runs, "{:,}".format(n), *os.getloadavg()))
    print("returned after the deadline: median %.1f ms, at most %.1f ms" % (late[len(late) // 2], late[-1]))


def main() -> None:
    if len(sys.argv) == 4 and not sys.argv[1].startswith("-"):
        one_run(sys.argv[1], int(sys.argv[2]), sys.argv[3])
        return
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    what = p.add_mutually_exclusive_group(required=True)
    what.add_argument("--callgrind", action="store_true", help="machine instructions of each mode (valgrind)")
    what.add_argument("--threads", action="store_true", help="one loop alone, then two at once on two threads")
    what.add_argument("--stop-latency", action="store_true", help="how soon a timeout stops a run freeing huge values")
    p.add_argument("--workloads", default="int_loop,fib", help="with --callgrind: some of %s" % ",".join(IR_SIZES))
    p.add_argument("--timeout", type=int, default=600, help="with --callgrind: seconds allowed per count")
    p.add_argument("--size", type=int, default=20_000_000, help="with --threads: iterations of the loop")
    p.add_argument("--mode", default="all", choices=sorted(MODES), help="with --threads: the limits set")
    p.add_argument("--repeat", type=int, default=3, help="with --threads: measurements, the best is shown")
    args = p.parse_args()
    if args.callgrind:
        callgrind_table(args.workloads.split(","), args.timeout)
    elif args.stop_latency:
        stop_latency(1_000_000, 20)
    else:
        thread_ratio(args.size, args.mode, args.repeat)


if __name__ == "__main__":
    main()
