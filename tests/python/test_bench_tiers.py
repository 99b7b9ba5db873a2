"""The benchmark's engines for the VM's tiers, and its readers of older result files."""

from __future__ import annotations

import importlib.util
import json
import os
import sys
import types

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "bench")


def load(name):
    spec = importlib.util.spec_from_file_location("bench_%s" % name, os.path.join(BENCH, "%s.py" % name))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


run = load("run")
plot = load("plot")
compare = load("compare")
callgrind = sys.modules["callgrind"]  # imported by run.py

SECONDS = {"vm": 2.0, "vm-interp": 4.0, "vm-jit": 1.5, "cpython": 8.0, "lua": 1.0, "luajit": 0.5, "c": 0.1}


def result_file(engines, older=False):
    """A result file of one workload; older: as written before the tiers had engines of their own."""
    cells = {}
    for e in engines:
        stats = {"median": SECONDS[e], "spread": 0.0}
        cells[e] = {"status": "ok", "wall_stats": stats, "cpu_stats": stats}
        if e in run.VM_ENGINES:
            cells[e]["instructions"] = [500_000_000]  # ns per instruction: twice the seconds
    entry = {"title": "integer loop", "n": 1000, "kind": "int", "engines": cells}
    run.derive(entry, "wall")
    if older:
        del entry["ratios_by_engine"], entry["ns_per_instruction_by_engine"]
    return {"schema": 1, "settings": {"engines": list(engines), "clock": "wall", "runs": 1, "quick": True},
            "workloads": {"int_loop": entry}}


@pytest.mark.parametrize("text,expected", [
    (None, ["vm", "vm-interp", "cpython", "lua", "luajit", "c"]),
    ("vm-jit", ["vm-jit"]),
    (" vm-interp,vm,vm-interp ,", ["vm-interp", "vm"]),
])
def test_engine_selection(text, expected):
    assert run.selected_engines(text) == expected


def test_unknown_engine_is_refused():
    with pytest.raises(SystemExit, match="'vm-fast'"):
        run.selected_engines("vm,vm-fast")


@pytest.mark.parametrize("outer", [None, "0", "always", "1"])
@pytest.mark.parametrize("engine,tier", [("vm", None), ("vm-interp", "0"), ("vm-jit", "always")])
def test_child_environment_sets_the_tier(monkeypatch, tmp_path, outer, engine, tier):
    if outer is None:
        monkeypatch.delenv("TARNEL_JIT", raising=False)
    else:
        monkeypatch.setenv("TARNEL_JIT", outer)
    monkeypatch.setenv("BENCH_TEST_KEPT", "yes")
    env = run.ENGINE_CLASSES[engine](str(tmp_path)).environment()
    assert env.get("TARNEL_JIT") == tier
    assert env["BENCH_TEST_KEPT"] == "yes"


@pytest.mark.slow
@pytest.mark.parametrize("engine,tier", [("vm", None), ("vm-interp", "0"), ("vm-jit", "always")])
def test_worker_runs_with_the_engines_tier(monkeypatch, tmp_path, engine, tier):
    pytest.importorskip("tarnel_vm")
    monkeypatch.setenv("TARNEL_JIT", "0" if tier != "0" else "always")  # the caller's setting must not leak in
    workload = run.BY_NAME["int_loop"]
    args = types.SimpleNamespace(runs=2, timeout=120)
    cell = run.run_cell(args, run.ENGINE_CLASSES[engine](str(tmp_path)), workload, workload.quick)
    assert cell["status"] == "ok", cell.get("error")
    assert cell["tarnel_jit"] == tier
    assert cell["results"] == [run.result_text(workload.expected(workload.quick))] * 2


@pytest.mark.parametrize("counts,failing", [
    ({"vm": [10, 10], "vm-interp": [10, 10], "vm-jit": [10, 10]}, []),
    ({"vm": [10, 10], "vm-interp": [10, 11], "vm-jit": [10, 10]}, ["VM interpreter"]),
    ({"vm-interp": [10], "vm-jit": [12]}, ["VM machine code (always)"]),
    ({"vm": [10]}, []),
])
def test_tiers_must_execute_the_same_instructions(counts, failing):
    entry = {"engines": {e: {"status": "ok", "instructions": c} for e, c in counts.items()}}
    found = run.tier_disagreements("fib", entry)
    assert [f.split(" on ")[0] for f in found] == failing


def turn(wall, peak=100, status="ok"):
    """One engine's turn at a workload, as run_cell reports it."""
    if status != "ok":
        return {"status": status, "error": "exit status 1"}
    return {"status": "ok", "results": ["7"] * len(wall), "wall": wall, "cpu": wall, "instructions": [9] * len(wall),
            "loadavg": [0.5, 0.6], "peak_rss_kib": peak, "wall_stats": run.summarise(wall),
            "cpu_stats": run.summarise(wall)}


@pytest.mark.parametrize("turns,status,wall,median,peak", [
    ([turn([3.0, 1.0])], "ok", [3.0, 1.0], 2.0, 100),
    # A slow spell during the second turn moves the median less than it would have moved one engine's only turn.
    ([turn([1.0, 1.2], 100), turn([5.0, 5.0], 300), turn([1.1, 1.0], 200)], "ok",
     [1.0, 1.2, 5.0, 5.0, 1.1, 1.0], 1.15, 300),
    ([turn([1.0]), turn([], status="error")], "error", None, None, None),
])
def test_turns_merge_into_one_cell(turns, status, wall, median, peak):
    cell = run.merge_turns(turns)
    assert cell["status"] == status
    if status != "ok":
        return
    assert cell["wall"] == wall and cell["results"] == ["7"] * len(wall) and len(cell["instructions"]) == len(wall)
    assert cell["wall_stats"]["median"] == pytest.approx(median) and cell["peak_rss_kib"] == peak


@pytest.mark.parametrize("engines,ratios", [
    (["vm", "vm-interp", "lua", "c"], {"vm": {"lua": 2.0, "c": 20.0}, "vm-interp": {"lua": 4.0, "c": 40.0}}),
    (["vm-jit", "luajit"], {"vm-jit": {"luajit": 3.0}}),
    (["vm", "cpython"], {"vm": {"cpython": 0.25}}),
])
def test_ratios_for_each_vm_engine(engines, ratios):
    entry = result_file(engines)["workloads"]["int_loop"]
    assert {v: pytest.approx(r) for v, r in ratios.items()} == entry["ratios_by_engine"]
    assert entry["ratios"] == pytest.approx(ratios.get("vm", {}))
    assert set(entry["ns_per_instruction_by_engine"]) == set(ratios)
    assert all(e in run.format_table({"settings": {"engines": engines}, "workloads": {"int_loop": entry}})
               for e in ("%s/%s" % (run.SHORT[v], run.SHORT[p]) for v in ratios for p in ratios[v]))


@pytest.mark.parametrize("engines,older,bars", [
    (["vm", "cpython", "lua", "luajit", "c"], True,
     [("vm", "tarnel VM"), ("luajit", "LuaJIT interpreter"), ("cpython", "CPython")]),
    (["vm", "vm-interp", "lua", "c"], False,
     [("vm-interp", "tarnel VM, interpreter"), ("vm", "tarnel VM, machine code once hot")]),
    (["vm-jit", "lua"], False, [("vm-jit", "tarnel VM, machine code always")]),
])
def test_plot_bars(engines, older, bars):
    assert plot.bar_engines(plot.relative_times(result_file(engines, older))) == bars


@pytest.mark.parametrize("engines,older", [
    (["vm", "cpython", "lua", "luajit", "c"], True),
    (["vm", "vm-interp", "vm-jit", "cpython", "lua", "luajit", "c"], False),
])
def test_plot_draws(tmp_path, engines, older):
    pytest.importorskip("matplotlib")
    results, png = tmp_path / "r.json", tmp_path / "r.png"
    results.write_text(json.dumps(result_file(engines, older)))
    assert plot.main([str(results), "-o", str(png)]) == 0
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("old_engines,new_engines,rows", [
    (["vm", "lua"], ["vm", "vm-interp", "lua"], [["VM", "2.00 -> 2.00", "4.00 -> 4.00"],
                                                  ["VM-int", "n/a -> 4.00", "n/a -> 8.00"]]),
    (["vm-interp", "lua"], ["vm-jit", "lua"], [["VM-int", "4.00 -> n/a", "8.00 -> n/a"],
                                               ["VM-mc", "n/a -> 1.50", "n/a -> 3.00"]]),
])
def test_compare_old_and_new_files(old_engines, new_engines, rows):
    old, new = result_file(old_engines, older=old_engines == ["vm", "lua"]), result_file(new_engines)
    found = compare.ratio_rows(old, new, ["int_loop"])
    assert [[r[1], r[3], r[-1]] for r in found] == rows  # engine, ratio to Lua 5.4, ns per instruction


def test_compare_main_reads_both_forms(tmp_path, capsys):
    paths = []
    for name, data in (("old", result_file(["vm", "lua"], older=True)), ("new", result_file(["vm", "vm-interp"]))):
        paths.append(str(tmp_path / ("%s.json" % name)))
        with open(paths[-1], "w") as f:
            json.dump(data, f)
    assert compare.main(paths) == 0
    assert "VM-int" in capsys.readouterr().out


@pytest.mark.parametrize("entry,expected", [
    ({"n": 5, "engines": {"vm": {"ir": 200}, "lua": {"ir": 100}}, "ratios": {"lua": 2.0}},  # older file
     ["VM Ir", "VM/Lua5.4", "2.00"]),
    ({"n": 5, "engines": {"vm": {"ir": 300}, "vm-interp": {"ir": 400}, "luajit": {"ir": 100}}},
     ["VM interpreter Ir", "VM/LuaJIT-i", "VM-int/LuaJIT-i", "3.00", "4.00"]),
])
def test_callgrind_table(entry, expected):
    if "ratios" not in entry:
        entry["ratios_by_engine"] = callgrind.ratios_by_engine(entry["engines"])
    text = callgrind.format_table({"fib": entry})
    assert all(piece in text for piece in expected), text
