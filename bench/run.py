#!/usr/bin/env python3
"""Benchmark suite: the same workloads in the tarnel VM and in its peers.

    python bench/run.py                      # full sizes, 5 timed runs each
    python bench/run.py --quick --runs 1     # small sizes (CI): checks results agree
    python bench/run.py --engines vm,lua --workloads fib,sieve --runs 9
    python bench/run.py --callgrind --clock cpu   # timings and machine-instruction counts
    python bench/run.py --callgrind --no-timing   # machine-instruction counts alone

Engines: vm (tarnel_vm with its default tiering: the interpreter until a
module is hot, then machine code; what users get), vm-interp (the same with
TARNEL_JIT=0: the interpreter alone), vm-jit (TARNEL_JIT=always: machine
code from the first instruction; only when asked for), cpython (pure
Python), lua (lua5.4), luajit (luajit -joff: the interpreter, JIT off),
luajit-jit (luajit with its trace compiler on; only when asked for) and
c (gcc -O2). The VM engines set TARNEL_JIT in their child's environment
themselves (vm removes it), so a TARNEL_JIT of the caller does not leak in;
they must all execute the same number of VM instructions. Every engine runs
in a process of its own per workload; each does one untimed warm-up run and
then --runs timed runs, and the table shows the median. With --rounds K the
engines take turns K times on each workload (A B C A B C ...), a new process
each turn, and the median is over all K x --runs runs: on a shared machine
whose speed drifts for seconds at a time, turns spread a slow spell over
every engine instead of charging it to whichever ran then. Engines that are not
installed show "n/a". The exit status is 1 when an engine computes a wrong
result or fails, 0 otherwise.

Clocks: the VM and CPython are timed with time.perf_counter, C with
clock_gettime(CLOCK_MONOTONIC), Lua with os.clock() (CPU time: Lua has no
finer wall clock). The VM, CPython and C also record CPU time; --clock cpu
uses it for the table.

Nothing is installed here: bench/setup.sh installs Lua, LuaJIT and
matplotlib.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
sys.path.insert(0, BENCH)
sys.path.insert(0, os.path.join(ROOT, "python"))  # this checkout's assembler

import callgrind  # noqa: E402
from workloads import BY_NAME, WORKLOADS, result_text  # noqa: E402

DEFAULT_JSON = os.path.join(BENCH, "results", "latest.json")
SCHEMA = 1

ENGINES = ["vm", "vm-interp", "vm-jit", "cpython", "lua", "luajit", "luajit-jit", "c"]
# vm-jit differs from vm only by the warm-up before the module is hot, so it
# runs only when asked for.
DEFAULT_ENGINES = ["vm", "vm-interp", "cpython", "lua", "luajit", "c"]
VM_ENGINES = ["vm", "vm-interp", "vm-jit"]
LABELS = {"vm": "VM", "vm-interp": "VM interpreter", "vm-jit": "VM machine code (always)", "cpython": "CPython",
          "lua": "Lua 5.4", "luajit": "LuaJIT interpreter", "luajit-jit": "LuaJIT with its compiler", "c": "C -O2"}
SHORT = {"vm": "VM", "vm-interp": "VM-int", "vm-jit": "VM-mc", "cpython": "CPython", "lua": "Lua5.4",
         "luajit": "LuaJIT-i", "luajit-jit": "LuaJIT", "c": "C"}
PEERS = ["cpython", "lua", "luajit", "luajit-jit", "c"]
LUA_ENGINES = ("lua", "luajit", "luajit-jit")  # os.clock only: CPU time


# --------------------------------------------------------------- processes
class Measured:
    """The outcome of one child process: status, output and peak RSS."""

    def __init__(self, returncode, stdout, stderr, maxrss_kib, timed_out):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.maxrss_kib = maxrss_kib
        self.timed_out = timed_out


def run_measured(cmd, timeout, cwd=None, env=None):
    """Runs cmd, returning its output and its own peak RSS (from wait4)."""
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd, env=env)
    chunks = {"out": b"", "err": b""}

    def drain(name, stream):
        chunks[name] = stream.read()

    readers = [threading.Thread(target=drain, args=("out", proc.stdout)),
               threading.Thread(target=drain, args=("err", proc.stderr))]
    for r in readers:
        r.start()
    killed = threading.Event()

    def kill():
        killed.set()
        proc.kill()

    timer = threading.Timer(timeout, kill)
    timer.start()
    try:
        _, status, usage = os.wait4(proc.pid, 0)
    finally:
        timer.cancel()
    proc.returncode = os.waitstatus_to_exitcode(status)
    for r in readers:
        r.join()
    proc.stdout.close()
    proc.stderr.close()
    return Measured(proc.returncode, chunks["out"].decode("utf-8", "replace"),
                    chunks["err"].decode("utf-8", "replace"), usage.ru_maxrss, killed.is_set())


def first_line(cmd):
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.SubprocessError):
        return None
    text = (out.stdout or out.stderr).strip()
    return text.splitlines()[0] if text else None


# ----------------------------------------------------------------- engines
class EngineError(Exception):
    pass


class Engine:
    name = ""

    def __init__(self, workdir):
        self.workdir = workdir

    def available(self):
        return True

    def version(self):
        return None

    def prepare(self, workload, n):
        """Builds what the run needs (module file, executable)."""

    def command(self, workload, n, runs):
        raise NotImplementedError

    def parse(self, stdout):
        raise NotImplementedError

    def idle_command(self):
        return None

    def environment(self):
        """The child's environment; None: this process's own."""
        return None


class VmEngine(Engine):
    """tarnel_vm in bench/worker.py; `jit` is the child's TARNEL_JIT (None: unset)."""

    name = "vm"
    jit = None

    def available(self):
        try:
            import tarnel_vm  # noqa: F401
        except ImportError:
            return False
        return True

    def version(self):
        import tarnel_vm

        features = getattr(tarnel_vm, "__features__", ())
        return "tarnel_vm %s (%s; %s)" % (getattr(tarnel_vm, "__version__", "?"), tarnel_vm.__file__,
                                          ", ".join(features) or "no feature list")

    def machine_code_built(self):
        import tarnel_vm

        return any(f.startswith("machine code") for f in getattr(tarnel_vm, "__features__", ()))

    def environment(self):
        env = dict(os.environ)
        env.pop("TARNEL_JIT", None)
        if self.jit is not None:
            env["TARNEL_JIT"] = self.jit
        return env

    def prepare(self, workload, n):
        import tarnel

        path = os.path.join(self.workdir, "%s.tnbc" % workload.name)
        with open(path, "wb") as f:
            f.write(tarnel.assemble(workload.vm_source(n), filename="%s.tnasm" % workload.name))
        return path

    def command(self, workload, n, runs):
        path = os.path.join(self.workdir, "%s.tnbc" % workload.name)
        return [sys.executable, os.path.join(BENCH, "worker.py"), "vm", workload.name, str(n), str(runs), path]

    def parse(self, stdout):
        return json.loads(stdout.strip().splitlines()[-1])

    def idle_command(self):
        return [sys.executable, os.path.join(BENCH, "worker.py"), "vm-idle"]


class VmInterpreterEngine(VmEngine):
    name = "vm-interp"
    jit = "0"


class VmMachineCodeEngine(VmEngine):
    name = "vm-jit"
    jit = "always"


class CPythonEngine(Engine):
    name = "cpython"
    parse = VmEngine.parse

    def available(self):
        return True

    def version(self):
        return "CPython %s" % platform.python_version()

    def prepare(self, workload, n):
        return None

    def command(self, workload, n, runs):
        return [sys.executable, os.path.join(BENCH, "worker.py"), "cpython", workload.name, str(n), str(runs)]

    def idle_command(self):
        return [sys.executable, os.path.join(BENCH, "worker.py"), "cpython-idle"]


class LuaEngine(Engine):
    name = "lua"
    program = "lua5.4"
    flags = []

    def available(self):
        return shutil.which(self.program) is not None

    def version(self):
        return first_line([self.program, "-v"])

    def command(self, workload, n, runs):
        script = os.path.join(BENCH, "lua", "%s.lua" % workload.name)
        return [self.program] + self.flags + [script, str(n), str(runs)]

    def parse(self, stdout):
        results, seconds, rss = [], [], 0
        for line in stdout.split("\n"):
            if line.startswith("rss_kib "):
                rss = int(line.split()[1])
            elif line.strip():
                value, t = line.split()
                results.append(value)
                seconds.append(float(t))
        # os.clock() is CPU time; it is the only clock the scripts have.
        return {"results": results, "wall": seconds, "cpu": seconds, "rss_kib": rss}

    def idle_command(self):
        # A workload of size 0 with no timed run: the interpreter's own footprint.
        return [self.program] + self.flags + [os.path.join(BENCH, "lua", "int_loop.lua"), "0", "0"]


class LuaJitEngine(LuaEngine):
    name = "luajit"
    program = "luajit"
    flags = ["-joff"]


class LuaJitCompilerEngine(LuaEngine):
    name = "luajit-jit"
    program = "luajit"
    flags = []


class CEngine(Engine):
    name = "c"

    def __init__(self, workdir):
        super().__init__(workdir)
        self.cc = os.environ.get("CC", "gcc")

    def available(self):
        return shutil.which(self.cc) is not None

    def version(self):
        return first_line([self.cc, "--version"])

    def binary(self, workload):
        return os.path.join(self.workdir, "%s.c.out" % workload.name)

    def prepare(self, workload, n):
        source = os.path.join(BENCH, "c", "%s.c" % workload.name)
        cmd = [self.cc, "-O2", "-o", self.binary(workload), source]
        out = subprocess.run(cmd, capture_output=True, text=True)
        if out.returncode != 0:
            raise EngineError("%s failed:\n%s" % (" ".join(cmd), out.stderr))
        return self.binary(workload)

    def command(self, workload, n, runs):
        return [self.binary(workload), str(n), str(runs)]

    def parse(self, stdout):
        results, wall, cpu, rss = [], [], [], 0
        for line in stdout.split("\n"):
            if line.startswith("rss_kib "):
                rss = int(line.split()[1])
            elif line.strip():
                value, w, c = line.split()
                results.append(value)
                wall.append(float(w))
                cpu.append(float(c))
        return {"results": results, "wall": wall, "cpu": cpu, "rss_kib": rss}

    def idle_command(self):
        # Any of the programs with no timed run: the C runtime's own footprint.
        for workload in WORKLOADS:
            if os.path.exists(self.binary(workload)):
                return [self.binary(workload), "0", "0"]
        return None


ENGINE_CLASSES = {"vm": VmEngine, "vm-interp": VmInterpreterEngine, "vm-jit": VmMachineCodeEngine,
                  "cpython": CPythonEngine, "lua": LuaEngine, "luajit": LuaJitEngine,
                  "luajit-jit": LuaJitCompilerEngine, "c": CEngine}


# ----------------------------------------------------------------- checking
def results_agree(workload, n, value, expected):
    """Whether one engine's result (text) is the workload's answer.

    Integers must match exactly. Floats are compared as numbers with a
    relative tolerance of 1e-12; the engines all do the same IEEE-754
    operations in the same order, so in practice they agree to the bit.
    """
    if workload.kind == "float":
        try:
            x, y = float(value), float(expected)
        except ValueError:
            return False
        return abs(x - y) <= 1e-12 * max(1.0, abs(y))
    return value == expected


def summarise(times):
    med = statistics.median(times)
    return {
        "median": med,
        "min": min(times),
        "max": max(times),
        "spread": (max(times) - min(times)) / med if med > 0 else 0.0,
    }


# ---------------------------------------------------------------- the suite
def measure(args):
    selected = [w.strip() for w in args.workloads.split(",")] if args.workloads else [w.name for w in WORKLOADS]
    for name in selected:
        if name not in BY_NAME:
            raise SystemExit("unknown workload %r (have: %s)" % (name, ", ".join(BY_NAME)))
    engine_names = selected_engines(args.engines)

    failures = []
    report = {
        "schema": SCHEMA,
        "created": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "settings": {"quick": args.quick, "runs": args.runs, "rounds": args.rounds, "clock": args.clock,
                     "engines": engine_names, "workloads": selected, "note": args.note},
        "machine": machine_info(),
        "source": source_info(args.build),
        "engines": {},
        "workloads": {},
    }

    with tempfile.TemporaryDirectory(prefix="tarnel-bench-") as workdir:
        engines = {}
        for name in engine_names:
            engine = ENGINE_CLASSES[name](workdir)
            ok = engine.available()
            report["engines"][name] = {"label": LABELS[name], "available": ok,
                                       "version": engine.version() if ok else None}
            if ok:
                engines[name] = engine
            else:
                log(args, "%s: not installed, shown as n/a" % LABELS[name])
            if ok and isinstance(engine, VmEngine) and engine.jit != "0" and not engine.machine_code_built():
                report["engines"][name]["note"] = "this build has no machine-code tier: it runs the interpreter"
                log(args, "%s: %s" % (LABELS[name], report["engines"][name]["note"]))
        vms = [e for e in engine_names if e in VM_ENGINES]
        if vms and not any(e in engines for e in vms):
            failures.append("tarnel_vm cannot be imported (build it with: python -m pip install .)")

        if any(e in engines for e in vms):
            report["vm_instance"] = vm_instance_size()

        if args.callgrind:
            counted = {e: engines[e] for e in engine_names if e in engines and e in callgrind.IR_ENGINES}
            report["callgrind"] = callgrind.measure(counted, [BY_NAME[w] for w in selected], args.timeout,
                                                    lambda text: log(args, text))
            failures += ["%s on %s under callgrind: %s" % (LABELS[e], w, c["error"])
                         for w, entry in report["callgrind"].items()
                         for e, c in entry["engines"].items() if "error" in c]
        for name in selected if not args.no_timing else []:
            workload = BY_NAME[name]
            n = workload.quick if args.quick else workload.full
            expected = result_text(workload.expected(n))
            entry = {"title": workload.title, "n": n, "kind": workload.kind, "expected": expected,
                     "engines": {}}
            report["workloads"][name] = entry
            turns = {ename: [] for ename in engine_names if ename in engines}
            for _ in range(args.rounds):
                for ename, cells in turns.items():
                    if not cells or cells[-1]["status"] == "ok":
                        cells.append(run_cell(args, engines[ename], workload, n))
            for ename in engine_names:
                if ename not in engines:
                    entry["engines"][ename] = {"status": "n/a"}
                    continue
                cell = merge_turns(turns[ename])
                entry["engines"][ename] = cell
                if cell["status"] != "ok":
                    failures.append("%s on %s: %s" % (LABELS[ename], name, cell.get("error", cell["status"])))
                    continue
                bad = [v for v in cell["results"] if not results_agree(workload, n, v, expected)]
                if bad:
                    cell["status"] = "wrong"
                    failures.append("%s on %s: result %s, expected %s" % (LABELS[ename], name, bad[0], expected))
            derive(entry, args.clock)
            failures += tier_disagreements(name, entry)
            log(args, "%-10s %s" % (name, "  ".join(
                "%s %s" % (SHORT[e], fmt_time(c.get("median"))) for e, c in entry["engines"].items())))

        report["baseline_rss_kib"] = {}
        for ename, engine in engines.items():
            cmd = engine.idle_command()
            if cmd:
                m = run_measured(cmd, 60, env=engine.environment())
                if m.returncode == 0:
                    try:
                        data = engine.parse(m.stdout)
                    except (ValueError, IndexError):
                        data = {}
                    report["baseline_rss_kib"][ename] = peak_rss(data, m)["peak_rss_kib"]

    report["failures"] = failures
    return report


def selected_engines(text):
    """The engines --engines names, in its order; all but vm-jit when it is not given."""
    if not text:
        return list(DEFAULT_ENGINES)
    names = [e.strip() for e in text.split(",") if e.strip()]
    for name in names:
        if name not in ENGINE_CLASSES:
            raise SystemExit("unknown engine %r (have: %s)" % (name, ", ".join(ENGINES)))
    return list(dict.fromkeys(names))


def tier_disagreements(name, entry):
    """Failures for VM engines whose runs executed another number of VM
    instructions than the first VM engine's: every tier runs the same
    program, so the counts differ only when one of them is wrong."""
    counted = [(e, entry["engines"][e]["instructions"]) for e in VM_ENGINES
               if entry["engines"].get(e, {}).get("status") == "ok" and entry["engines"][e].get("instructions")]
    if not counted:
        return []
    first, counts = counted[0]
    return ["%s on %s: %s VM instructions a run, %s %s" % (
        LABELS[e], name, fmt_count(c[0]), LABELS[first], fmt_count(counts[0]))
        for e, c in counted[1:] if set(c) != set(counts)]


def run_cell(args, engine, workload, n):
    """Runs one engine on one workload: warm-up plus args.runs timed runs."""
    try:
        engine.prepare(workload, n)
    except EngineError as e:
        return {"status": "error", "error": str(e)}
    except Exception as e:  # an assembler error is a broken benchmark
        return {"status": "error", "error": "%s: %s" % (type(e).__name__, e)}
    cmd = engine.command(workload, n, args.runs)
    load_before = os.getloadavg()[0]
    m = run_measured(cmd, args.timeout, env=engine.environment())
    load_after = os.getloadavg()[0]
    if m.timed_out:
        return {"status": "error", "error": "timed out after %d s" % args.timeout}
    if m.returncode != 0:
        return {"status": "error", "error": "exit status %d: %s" % (m.returncode, m.stderr.strip()[-2000:])}
    try:
        data = engine.parse(m.stdout)
    except (ValueError, IndexError) as e:
        return {"status": "error", "error": "unreadable output (%s): %r" % (e, m.stdout[-500:])}
    if len(data.get("results", [])) != args.runs:
        return {"status": "error", "error": "expected %d runs, got output %r" % (args.runs, m.stdout[-500:])}
    if isinstance(engine, VmEngine) and data.get("tarnel_jit", engine.jit) != engine.jit:
        return {"status": "error", "error": "ran with TARNEL_JIT=%r, not %r" % (data["tarnel_jit"], engine.jit)}
    cell = {"status": "ok", "results": data["results"], "wall": data["wall"], "cpu": data["cpu"],
            "loadavg": [load_before, load_after]}
    cell.update(peak_rss(data, m))
    if "instructions" in data:
        cell["instructions"] = data["instructions"]
    if "tarnel_jit" in data:
        cell["tarnel_jit"] = data["tarnel_jit"]
    cell["wall_stats"] = summarise(data["wall"])
    cell["cpu_stats"] = summarise(data["cpu"])
    return cell


def merge_turns(cells):
    """One engine's turns at a workload as one cell: their runs in order,
    the largest peak, the load average before the first and after the last.
    A turn that failed stands for the whole (the turns stop at it)."""
    if len(cells) == 1 or cells[-1]["status"] != "ok":
        return cells[-1]
    merged = dict(cells[0])
    for key in ("results", "wall", "cpu", "instructions"):
        if key in merged:
            merged[key] = [v for cell in cells for v in cell[key]]
    merged["loadavg"] = [cells[0]["loadavg"][0], cells[-1]["loadavg"][1]]
    merged["peak_rss_kib"] = max(cell["peak_rss_kib"] for cell in cells)
    merged["turns"] = len(cells)
    merged["wall_stats"] = summarise(merged["wall"])
    merged["cpu_stats"] = summarise(merged["cpu"])
    return merged


def peak_rss(data, measured):
    """The process's own VmHWM when it reported one, else wait4's ru_maxrss.

    ru_maxrss of a child started from this process is at least this
    process's size at the spawn (the kernel carries it over), so it is only
    an upper bound; VmHWM belongs to the child's own address space.
    """
    if data.get("rss_kib"):
        return {"peak_rss_kib": data["rss_kib"], "rss_method": "VmHWM"}
    return {"peak_rss_kib": measured.maxrss_kib, "rss_method": "ru_maxrss (upper bound)"}


def derive(entry, clock):
    """Medians by the chosen clock, each VM engine's ratios to the peers,
    instructions and ns/instruction. "ratios" and "ns_per_instruction" are
    the vm engine's (what result files held before the tiers had engines of
    their own); the "_by_engine" forms hold every VM engine's."""
    for cell in entry["engines"].values():
        if cell.get("status") == "ok":
            cell["median"] = cell["%s_stats" % clock]["median"]
    entry["ratios_by_engine"], entry["ns_per_instruction_by_engine"] = {}, {}
    for name in VM_ENGINES:
        vm = entry["engines"].get(name, {})
        if vm.get("status") != "ok":
            continue
        entry["ratios_by_engine"][name] = {
            peer: vm["median"] / other["median"] for peer, other in
            ((p, entry["engines"].get(p, {})) for p in PEERS)
            if other.get("status") == "ok" and other["median"] > 0}
        counts = vm.get("instructions")
        if counts:
            entry.setdefault("vm_instructions", counts[0])
            entry["vm_instructions_vary"] = entry.get("vm_instructions_vary", False) or len(set(counts)) > 1
            entry["ns_per_instruction_by_engine"][name] = vm["median"] / counts[0] * 1e9 if counts[0] else None
    entry["ratios"] = entry["ratios_by_engine"].get("vm", {})
    entry["ns_per_instruction"] = entry["ns_per_instruction_by_engine"].get("vm")


# ------------------------------------------------------------ descriptions
def machine_info():
    info = {"platform": platform.platform(), "python": platform.python_version(),
            "cpu": None, "cores": os.cpu_count()}
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, timeout=30).stdout
        for line in out.splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "Model name":
                info["cpu"] = value.strip()
    except (OSError, subprocess.SubprocessError):
        pass
    if info["cpu"] is None:
        info["cpu"] = platform.processor() or None
    return info


def source_info(build=None):
    """This checkout's HEAD, whether src/ has uncommitted changes (a pip
    install of the working tree builds them in), and the commit the VM was
    built from: --build, or HEAD."""
    info = {}
    try:
        info["commit"] = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT,
                                        capture_output=True, text=True, timeout=30).stdout.strip() or None
        status = subprocess.run(["git", "status", "--porcelain", "--", "src"], cwd=ROOT,
                                capture_output=True, text=True, timeout=30).stdout
        info["src_modified"] = bool(status.strip())
    except (OSError, subprocess.SubprocessError):
        pass
    info["build"] = build or info.get("commit")
    return info


def vm_instance_size():
    """Size of a VornVM object: sys.getsizeof, or the type's __basicsize__."""
    import tarnel_vm

    vm = tarnel_vm.VornVM()
    basic = getattr(type(vm), "__basicsize__", None)
    try:
        return {"bytes": sys.getsizeof(vm), "method": "sys.getsizeof", "basicsize": basic}
    except TypeError:
        return {"bytes": basic, "method": "__basicsize__", "basicsize": basic}


# ---------------------------------------------------------------- printing
def fmt_time(t):
    if t is None:
        return "n/a"
    if t >= 10:
        return "%.2f" % t
    if t >= 0.001:
        return "%.4f" % t
    return "%.6f" % t


def fmt_ratio(r):
    if r is None:
        return "n/a"
    return "%.0f" % r if r >= 100 else "%.2f" % r


def fmt_count(c):
    return "{:,}".format(c) if c is not None else "n/a"


def fmt_mib(kib):
    return "%.1f" % (kib / 1024.0) if kib is not None else "n/a"


def table_rows(report):
    engines = report["settings"]["engines"]
    peers = [p for p in PEERS if p in engines]
    vms = [e for e in engines if e in VM_ENGINES]
    head = ["workload", "n"] + ["%s s" % SHORT[e] for e in engines] + \
           ["%s/%s" % (SHORT[v], SHORT[p]) for v in vms for p in peers] + ["VM instr/run"] + \
           ["ns/instr %s" % SHORT[v] for v in vms] + ["RSS MiB %s" % SHORT[e] for e in engines]
    rows = []
    for name, entry in report["workloads"].items():
        cells = entry["engines"]
        row = [name, fmt_count(entry["n"])]
        for e in engines:
            c = cells.get(e, {})
            row.append(fmt_time(c.get("median")) if c.get("status") == "ok" else
                       ("n/a" if c.get("status") in (None, "n/a") else c["status"].upper()))
        for v in vms:
            for p in peers:
                row.append(fmt_ratio(entry["ratios_by_engine"].get(v, {}).get(p)))
        row.append(fmt_count(entry.get("vm_instructions")))
        for v in vms:
            ns = entry["ns_per_instruction_by_engine"].get(v)
            row.append("%.2f" % ns if ns is not None else "n/a")
        for e in engines:
            row.append(fmt_mib(cells.get(e, {}).get("peak_rss_kib")))
        rows.append(row)
    return head, rows


def format_table(report, markdown=False):
    head, rows = table_rows(report)
    if markdown:
        lines = ["| " + " | ".join(head) + " |",
                 "|" + "|".join(["---"] + ["---:"] * (len(head) - 1)) + "|"]
        lines += ["| " + " | ".join(r) + " |" for r in rows]
        return "\n".join(lines)
    widths = [max(len(str(x)) for x in col) for col in zip(head, *rows)]
    fmt = lambda r: "  ".join(str(x).ljust(w) if i == 0 else str(x).rjust(w)  # noqa: E731
                               for i, (x, w) in enumerate(zip(r, widths)))
    return "\n".join([fmt(head), "  ".join("-" * w for w in widths)] + [fmt(r) for r in rows])


def format_notes(report):
    lines = []
    s = report["settings"]
    rounds = s.get("rounds", 1)
    turns = " in each of %d interleaved turns" % rounds if rounds > 1 else ""
    lines.append("median of %d timed run%s per engine (after one warm-up)%s, clock: %s (Lua: os.clock); "
                 "%s sizes" % (s["runs"], "" if s["runs"] == 1 else "s", turns, s["clock"],
                               "quick" if s["quick"] else "full"))
    vm = report.get("vm_instance")
    if vm:
        lines.append("VornVM instance: %s bytes (%s)" % (fmt_count(vm["bytes"]), vm["method"]))
    base = report.get("baseline_rss_kib") or {}
    if base:
        lines.append("RSS of each runtime doing nothing: " + ", ".join(
            "%s %s MiB" % (SHORT[e], fmt_mib(k)) for e, k in base.items()))
    # Noise: run-to-run spread and how far wall time exceeds CPU time.
    spreads, steal = [], []
    for name, entry in report["workloads"].items():
        for e, c in entry["engines"].items():
            if c.get("status") != "ok":
                continue
            spreads.append((c["%s_stats" % s["clock"]]["spread"], name, e))
            if e not in LUA_ENGINES and c["cpu_stats"]["median"] > 0:
                steal.append((c["wall_stats"]["median"] / c["cpu_stats"]["median"], name, e))
    if spreads and s["runs"] > 1:
        worst = max(spreads)
        lines.append("noise: largest run-to-run spread (max-min)/median %.0f%% (%s, %s); median spread %.1f%%" % (
            worst[0] * 100, SHORT[worst[2]], worst[1], statistics.median(x[0] for x in spreads) * 100))
    if steal:
        worst = max(steal)
        lines.append("noise: wall/CPU time up to %.2f (%s, %s); 1.00 means the process had a core to itself" % (
            worst[0], SHORT[worst[2]], worst[1]))
        if s["clock"] == "wall" and worst[0] > 1.15:
            lines.append("note: the machine is busy: the ratios to Lua set wall time (VM) against CPU time "
                         "(os.clock); --clock cpu compares like with like")
    loads = [c["loadavg"] for entry in report["workloads"].values()
             for c in entry["engines"].values() if c.get("status") == "ok"]
    if loads:
        flat = [x for pair in loads for x in pair]
        lines.append("load average (1 min) during the run: %.2f to %.2f on %s cores" % (
            min(flat), max(flat), report["machine"].get("cores")))
    return "\n".join(lines)


def log(args, text):
    if not args.silent:
        print(text, file=sys.stderr, flush=True)


# -------------------------------------------------------------------- main
def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="small sizes (well under a minute in all)")
    p.add_argument("--runs", type=int, default=5, help="timed runs per engine and workload (default 5)")
    p.add_argument("--rounds", type=int, default=1,
                   help="turns each engine takes at each workload, a process each, interleaved (default 1)")
    p.add_argument("--json", metavar="OUT",
                   help="write the results here (default: %s for full runs, nothing for --quick)" %
                   os.path.relpath(DEFAULT_JSON, ROOT))
    p.add_argument("--no-json", action="store_true", help="write no JSON file")
    p.add_argument("--markdown", metavar="OUT", help="also write the table as Markdown")
    p.add_argument("--engines", help="comma-separated subset of: %s (default: all but vm-jit)" % ",".join(ENGINES))
    p.add_argument("--workloads", help="comma-separated subset of: %s" % ",".join(BY_NAME))
    p.add_argument("--clock", choices=["wall", "cpu"], default="wall",
                   help="time the table shows for VM, CPython and C (default wall)")
    p.add_argument("--timeout", type=int, default=900, help="seconds allowed per engine and workload")
    p.add_argument("--silent", action="store_true", help="no progress lines on standard error")
    p.add_argument("--note", help="free text stored with the results")
    p.add_argument("--build", metavar="COMMIT",
                   help="the commit the installed tarnel_vm was built from, when it is not this checkout's HEAD")
    p.add_argument("--callgrind", action="store_true",
                   help="also count machine instructions (valgrind's callgrind) of the VM engines, Lua 5.4 and "
                        "LuaJIT's interpreter (luajit -joff) at each workload's counted size, start-up subtracted")
    p.add_argument("--no-timing", action="store_true", help="with --callgrind: the counts alone, no timed runs")
    args = p.parse_args(argv)
    if args.no_timing and not args.callgrind:
        p.error("--no-timing needs --callgrind")
    if args.callgrind and not callgrind.available():
        p.error("--callgrind needs valgrind (apt-get install valgrind)")
    if args.runs < 1:
        p.error("--runs must be at least 1")
    if args.rounds < 1:
        p.error("--rounds must be at least 1")
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    started = time.perf_counter()
    report = measure(args)
    report["elapsed_seconds"] = round(time.perf_counter() - started, 1)

    if report["workloads"]:
        print(format_table(report))
        print()
        print(format_notes(report))
    if "callgrind" in report:
        print()
        print("Machine instructions (callgrind Ir) of one run, start-up subtracted:")
        print(callgrind.format_table(report["callgrind"]))
    for failure in report["failures"]:
        print("FAILED: %s" % failure)

    out = args.json
    if out is None and not args.quick:
        out = DEFAULT_JSON
    if out and not args.no_json:
        os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
        tmp = out + ".tmp"
        with open(tmp, "w") as f:
            json.dump(report, f, indent=1, sort_keys=False)
            f.write("\n")
        os.replace(tmp, out)
        print("results written to %s" % out)
    if args.markdown:
        with open(args.markdown, "w") as f:
            if report["workloads"]:
                f.write(format_table(report, markdown=True) + "\n\n" + format_notes(report) + "\n")
            if "callgrind" in report:
                f.write("\n" + callgrind.format_table(report["callgrind"], markdown=True) + "\n")
    return 1 if report["failures"] else 0


if __name__ == "__main__":
    sys.exit(main())
