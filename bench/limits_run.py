"""What tarnel.execute costs next to vm.execute(), and whether runs on two
threads go on in parallel.

    python bench/limits_run.py WORKLOAD N MODE    # one run (what callgrind counts)
    python bench/limits_run.py --callgrind        # the table of docs/running.md
    python bench/limits_run.py --threads          # one loop alone, then two at once
    python bench/limits_run.py --stop-latency     # how soon a timeout stops long operations

MODE: plain (vm.execute()), none (tarnel.execute with no limit), quiet
(no limit, interruptible=False), all (every limit, far away), allquiet.

--callgrind counts machine instructions (valgrind's Ir) of each mode at two
sizes of each workload and prints the difference, Ir(N2) - Ir(N1): the
extra iterations alone, with start-up, loading and shutdown cancelled out.

--threads runs the integer loop with tarnel.execute on one thread alone,
then on two threads at once (one VM each), and prints the wall-clock ratio
(1.0: fully parallel, 2.0: serialized), each thread's CPU time and the load
average, since other work on the machine skews wall-clock figures.

--stop-latency runs programs that repeat one long operation forever (freeing
an array of a million small arrays, copying a shared array of four million
elements or a dictionary of a million keys before a change, growing a
dictionary, rendering an array as text, comparing two big arrays) under
timeouts spread over a few rounds, and prints how long after the deadline
each run returned. On a loaded machine much of that is time spent waiting
for a CPU, so a thread samples the run's scheduler figures at the deadline:
the CPU time the run used after it is what the VM itself took to stop.
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


def task_times(tid):
    """(seconds on a CPU, seconds waiting for one) of thread `tid`, or None."""
    try:
        with open("/proc/self/task/%d/schedstat" % tid) as fh:
            running, waiting = fh.read().split()[:2]
        return int(running) / 1e9, int(waiting) / 1e9
    except (OSError, ValueError):
        return None


def scheduler_times():
    """(seconds on a CPU, seconds waiting for one) of the calling thread,
    from Linux's schedstat; None elsewhere."""
    return task_times(threading.get_native_id())


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


LONG_OPERATIONS = {
    "frees of an array of 1,000,000 arrays": """
.func main
        LoadConstR r1, 1
        LoadConstR r2, 1000000
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
""",
    "copies of a shared array of 4,000,000": """
.func main
        LoadConstR r0, 4000000
        LoadConstR r2, 0
        NewArrayR r0, r0
again:
        MoveR r1, r0
        ArraySetR r0, r2, r2
        JumpR again
""",
    "copies of a shared dict of 1,000,000 keys": """
.func main
        DictNewR r0
        LoadConstR r2, 0
        LoadConstR r3, 1
        LoadConstR r4, 1000000
        LoadConstR r6, "k"
fill:
        ConcatStrR r5, r6, r2
        DictSetR r0, r5, r2
        AddR r2, r2, r3
        LtR r7, r2, r4
        JumpIfR r7, fill
again:
        MoveR r1, r0
        DictSetR r0, r6, r2
        JumpR again
""",
    "texts of an array of 4,000,000": """
.func main
        LoadConstR r0, 4000000
        NewArrayR r0, r0
again:
        CastR r1, r0, string
        JumpR again
""",
    "comparisons of arrays of 4,000,000": """
.func main
        LoadConstR r0, 4000000
        NewArrayR r1, r0
        NewArrayR r2, r0
again:
        EqR r3, r1, r2
        JumpR again
""",
}


def sample_at_deadline(into, tid):
    into.update(at=time.perf_counter(), times=task_times(tid))


def stop_latency(runs):
    tid = threading.get_native_id()
    print("%d runs each, load average %.2f %.2f %.2f" % (runs, *os.getloadavg()))
    print("| operation repeated | returned after the deadline: median, max | CPU used after it: median, max |")
    print("|---|---:|---:|")
    for name, source in LONG_OPERATIONS.items():
        path = os.path.join(tempfile.mkdtemp(), "long.tnbc")
        with open(path, "wb") as fh:
            fh.write(tarnel.assemble(source))
        late, cpu_late = [], []
        for i in range(runs):
            vm = tarnel_vm.VornVM()
            vm.load_bytecode(path)
            timeout = 0.5 + 0.5 * i / runs
            sampled = {}
            timer = threading.Timer(timeout, sample_at_deadline, args=(sampled, tid))
            start = time.perf_counter()
            timer.start()
            try:
                tarnel.execute(vm, timeout=timeout)
            except tarnel.TimeLimitExceeded:
                pass
            end, times = time.perf_counter(), task_times(tid)
            timer.join()
            late.append(1000 * (end - start - timeout))
            if times and sampled.get("times") and sampled["at"] < end:
                cpu_late.append(1000 * (times[0] - sampled["times"][0]))
            del vm  # freed here, outside the figures
        late.sort()
        cpu_late.sort()
        cpu = ("%.1f, %.1f ms" % (cpu_late[len(cpu_late) // 2], cpu_late[-1])) if cpu_late else "n/a"
        print("| %s | %.1f, %.1f ms | %s |" % (name, late[len(late) // 2], late[-1], cpu))
        sys.stdout.flush()
    print("load average afterwards %.2f %.2f %.2f" % os.getloadavg())


def main() -> None:
    if len(sys.argv) == 4 and not sys.argv[1].startswith("-"):
        one_run(sys.argv[1], int(sys.argv[2]), sys.argv[3])
        return
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    what = p.add_mutually_exclusive_group(required=True)
    what.add_argument("--callgrind", action="store_true", help="machine instructions of each mode (valgrind)")
    what.add_argument("--threads", action="store_true", help="one loop alone, then two at once on two threads")
    what.add_argument("--stop-latency", action="store_true", help="how soon a timeout stops long operations")
    p.add_argument("--workloads", default="int_loop,fib", help="with --callgrind: some of %s" % ",".join(IR_SIZES))
    p.add_argument("--timeout", type=int, default=600, help="with --callgrind: seconds allowed per count")
    p.add_argument("--size", type=int, default=20_000_000, help="with --threads: iterations of the loop")
    p.add_argument("--mode", default="all", choices=sorted(MODES), help="with --threads: the limits set")
    p.add_argument("--repeat", type=int, default=3, help="with --threads: measurements, the best is shown")
    p.add_argument("--runs", type=int, default=10, help="with --stop-latency: timed runs of each operation")
    args = p.parse_args()
    if args.callgrind:
        callgrind_table(args.workloads.split(","), args.timeout)
    elif args.stop_latency:
        stop_latency(args.runs)
    else:
        thread_ratio(args.size, args.mode, args.repeat)


if __name__ == "__main__":
    main()
