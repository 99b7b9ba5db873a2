"""Machine instructions per workload, counted by valgrind's callgrind.

Used by ``run.py --callgrind``. Each engine runs each workload once (the
warm-up run alone, no timed run) under ``valgrind --tool=callgrind``, whose
``Ir`` total is the number of machine instructions the process executed.
The same script run at size 0 gives the engine's start-up, loading and
shutdown, which is subtracted, so what remains is the work itself. Unlike
timings, these counts do not depend on what else the machine is doing, so
two builds, or two engines, compare exactly.

The sizes are each workload's ``counted`` size, small enough that the whole
table takes a few minutes under valgrind.

Each VM engine (vm, vm-interp, vm-jit) runs with its own TARNEL_JIT, so the
tiers are counted side by side. The VM's start-up subtracted includes, for
vm-jit, compiling the module (the size-0 run compiles it too).
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import tempfile

VM_ENGINES = ["vm", "vm-interp", "vm-jit"]
PEERS = ["lua", "luajit"]
IR_ENGINES = VM_ENGINES + PEERS
LABELS = {"vm": "VM", "vm-interp": "VM interpreter", "vm-jit": "VM machine code", "lua": "Lua 5.4",
          "luajit": "LuaJIT interpreter"}
SHORT = {"vm": "VM", "vm-interp": "VM-int", "vm-jit": "VM-mc", "lua": "Lua5.4", "luajit": "LuaJIT-i"}
COLLECTED = re.compile(r"^==\d+== Collected : (\d+)\s*$", re.MULTILINE)


class CallgrindError(Exception):
    pass


def available():
    return shutil.which("valgrind") is not None


def count_ir(cmd, timeout, env=None):
    """(Ir of the whole process, its standard output); env: the child's (None: this process's)."""
    with tempfile.TemporaryDirectory(prefix="tarnel-ir-") as tmp:
        full = ["valgrind", "--tool=callgrind", "--callgrind-out-file=%s" % os.path.join(tmp, "out")] + cmd
        # A fixed hash seed: CPython's start-up then executes the same
        # instructions in the run at size n and the run at size 0.
        env = dict(os.environ if env is None else env, PYTHONHASHSEED="0")
        try:
            out = subprocess.run(full, capture_output=True, text=True, timeout=timeout, env=env)
        except subprocess.TimeoutExpired:
            raise CallgrindError("timed out after %d s: %s" % (timeout, " ".join(cmd))) from None
    if out.returncode != 0:
        raise CallgrindError("%s failed: %s" % (" ".join(cmd), out.stderr.strip()[-1500:]))
    found = COLLECTED.search(out.stderr)
    if not found:
        raise CallgrindError("no Ir total in valgrind's output for %s" % " ".join(cmd))
    return int(found.group(1)), out.stdout


def workload_ir(engine, workload, n, timeout):
    """Ir of one run of `workload` at size n with the size-0 run subtracted,
    and for the VM the VM instructions that run executed."""
    env = engine.environment()
    engine.prepare(workload, 0)
    idle, _ = count_ir(engine.command(workload, 0, 0), timeout, env)
    engine.prepare(workload, n)
    busy, stdout = count_ir(engine.command(workload, n, 0), timeout, env)
    cell = {"ir": busy - idle, "ir_total": busy, "ir_startup": idle}
    if engine.name in VM_ENGINES:
        data = engine.parse(stdout)
        cell["vm_instructions"] = data.get("warmup_instructions")
        if cell["vm_instructions"]:
            cell["ir_per_instruction"] = cell["ir"] / cell["vm_instructions"]
    return cell


def measure(engines, workloads, timeout, log):
    """{workload: {"n": n, "engines": {engine: cell}, "ratios_by_engine": {vm engine: {peer: VM/peer}},
    "ratios": the vm engine's}}."""
    table = {}
    for workload in workloads:
        n = workload.counted
        entry = {"n": n, "engines": {}, "ratios": {}}
        for name, engine in engines.items():
            try:
                entry["engines"][name] = workload_ir(engine, workload, n, timeout)
            except CallgrindError as e:
                entry["engines"][name] = {"error": str(e)}
        entry["ratios_by_engine"] = ratios_by_engine(entry["engines"])
        entry["ratios"] = entry["ratios_by_engine"].get("vm", {})
        table[workload.name] = entry
        log("%-10s Ir %s" % (workload.name, "  ".join(
            "%s %s" % (e, format_millions(c.get("ir"))) for e, c in entry["engines"].items())))
    return table


def ratios_by_engine(cells):
    """{vm engine: {peer: its Ir / the peer's}} for the counts that were taken."""
    out = {}
    for name in VM_ENGINES:
        vm = cells.get(name, {}).get("ir")
        if vm is not None:
            out[name] = {p: vm / cells[p]["ir"] for p in PEERS if cells.get(p, {}).get("ir")}
    return out


def format_millions(ir):
    return "n/a" if ir is None else "%.1fM" % (ir / 1e6)


def format_table(table, markdown=False):
    present = [e for e in IR_ENGINES if any(e in entry["engines"] for entry in table.values())]
    vms = [e for e in present if e in VM_ENGINES]
    peers = [e for e in present if e in PEERS]
    head = ["workload", "n"] + ["%s Ir" % LABELS[e] for e in present] + \
           ["%s/%s" % (SHORT[v], SHORT[p]) for v in vms for p in peers] + ["VM instr"] + \
           ["Ir per instr %s" % SHORT[v] for v in vms]
    rows = []
    for name, entry in table.items():
        cells = entry["engines"]
        ratios = entry.get("ratios_by_engine") or {"vm": entry.get("ratios", {})}
        row = [name, "{:,}".format(entry["n"])]
        row += [format_millions(cells.get(e, {}).get("ir")) for e in present]
        row += ["%.2f" % ratios[v][p] if p in ratios.get(v, {}) else "n/a" for v in vms for p in peers]
        instructions = [cells[v]["vm_instructions"] for v in vms if cells.get(v, {}).get("vm_instructions")]
        row.append("{:,}".format(instructions[0]) if instructions else "n/a")
        row += ["%.1f" % cells[v]["ir_per_instruction"] if cells.get(v, {}).get("ir_per_instruction") else "n/a"
                for v in vms]
        rows.append(row)
    if markdown:
        lines = ["| " + " | ".join(head) + " |", "|" + "|".join(["---"] + ["---:"] * (len(head) - 1)) + "|"]
        return "\n".join(lines + ["| " + " | ".join(r) + " |" for r in rows])
    widths = [max(len(str(x)) for x in col) for col in zip(head, *rows)]
    fmt = lambda r: "  ".join(str(x).ljust(w) if i == 0 else str(x).rjust(w)  # noqa: E731
                               for i, (x, w) in enumerate(zip(r, widths)))
    return "\n".join([fmt(head), "  ".join("-" * w for w in widths)] + [fmt(r) for r in rows])
