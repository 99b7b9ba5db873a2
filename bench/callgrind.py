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
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import tempfile

IR_ENGINES = ["vm", "lua", "luajit"]
COLLECTED = re.compile(r"^==\d+== Collected : (\d+)\s*$", re.MULTILINE)


class CallgrindError(Exception):
    pass


def available():
    return shutil.which("valgrind") is not None


def count_ir(cmd, timeout):
    """(Ir of the whole process, its standard output)."""
    with tempfile.TemporaryDirectory(prefix="tarnel-ir-") as tmp:
        full = ["valgrind", "--tool=callgrind", "--callgrind-out-file=%s" % os.path.join(tmp, "out")] + cmd
        # A fixed hash seed: CPython's start-up then executes the same
        # instructions in the run at size n and the run at size 0.
        env = dict(os.environ, PYTHONHASHSEED="0")
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
    engine.prepare(workload, 0)
    idle, _ = count_ir(engine.command(workload, 0, 0), timeout)
    engine.prepare(workload, n)
    busy, stdout = count_ir(engine.command(workload, n, 0), timeout)
    cell = {"ir": busy - idle, "ir_total": busy, "ir_startup": idle}
    if engine.name == "vm":
        data = engine.parse(stdout)
        cell["vm_instructions"] = data.get("warmup_instructions")
        if cell["vm_instructions"]:
            cell["ir_per_instruction"] = cell["ir"] / cell["vm_instructions"]
    return cell


def measure(engines, workloads, timeout, log):
    """{workload: {"n": n, "engines": {engine: cell}, "ratios": {peer: VM/peer}}}."""
    table = {}
    for workload in workloads:
        n = workload.counted
        entry = {"n": n, "engines": {}, "ratios": {}}
        for name, engine in engines.items():
            try:
                entry["engines"][name] = workload_ir(engine, workload, n, timeout)
            except CallgrindError as e:
                entry["engines"][name] = {"error": str(e)}
        vm = entry["engines"].get("vm", {}).get("ir")
        for peer in ("lua", "luajit"):
            other = entry["engines"].get(peer, {}).get("ir")
            if vm is not None and other:
                entry["ratios"][peer] = vm / other
        table[workload.name] = entry
        log("%-10s Ir %s" % (workload.name, "  ".join(
            "%s %s" % (e, format_millions(c.get("ir"))) for e, c in entry["engines"].items())))
    return table


def format_millions(ir):
    return "n/a" if ir is None else "%.1fM" % (ir / 1e6)


def format_table(table, markdown=False):
    head = ["workload", "n", "VM Ir", "Lua 5.4 Ir", "LuaJIT interpreter Ir", "VM/Lua5.4", "VM/LuaJIT-i",
            "VM instr", "Ir per VM instr"]
    rows = []
    for name, entry in table.items():
        cells = entry["engines"]
        vm = cells.get("vm", {})
        row = [name, "{:,}".format(entry["n"])]
        row += [format_millions(cells.get(e, {}).get("ir")) for e in IR_ENGINES]
        row += ["%.2f" % entry["ratios"][p] if p in entry["ratios"] else "n/a" for p in ("lua", "luajit")]
        row.append("{:,}".format(vm["vm_instructions"]) if vm.get("vm_instructions") else "n/a")
        row.append("%.1f" % vm["ir_per_instruction"] if vm.get("ir_per_instruction") else "n/a")
        rows.append(row)
    if markdown:
        lines = ["| " + " | ".join(head) + " |", "|" + "|".join(["---"] + ["---:"] * (len(head) - 1)) + "|"]
        return "\n".join(lines + ["| " + " | ".join(r) + " |" for r in rows])
    widths = [max(len(str(x)) for x in col) for col in zip(head, *rows)]
    fmt = lambda r: "  ".join(str(x).ljust(w) if i == 0 else str(x).rjust(w)  # noqa: E731
                               for i, (x, w) in enumerate(zip(r, widths)))
    return "\n".join([fmt(head), "  ".join("-" * w for w in widths)] + [fmt(r) for r in rows])
