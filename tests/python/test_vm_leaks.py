"""Reference counting: repeating a call must not leave Python objects behind."""

from __future__ import annotations

import gc
import tracemalloc

import modfile
import pytest
from modfile import op, ret
from tarnel_vm import VornVM

try:
    import numpy
except ImportError:  # pragma: no cover
    numpy = None


def container_program() -> bytes:
    """Returns {"a": [1, "x", []], "b": {}}."""
    constants = [3, 0, 1, 2, "x", "a", "b"]
    code = [
        op("LoadConstR", 10, 0), op("NewArrayR", 1, 10),      # r1 = [Empty] * 3
        op("LoadConstR", 11, 1), op("LoadConstR", 12, 2),     # r11 = 0, r12 = 1
        op("LoadConstR", 13, 3),                              # r13 = 2
        op("ArraySetR", 1, 11, 12),                           # r1[0] = 1
        op("LoadConstR", 14, 4), op("ArraySetR", 1, 12, 14),  # r1[1] = "x"
        op("NewArrayR", 15, 11), op("ArraySetR", 1, 13, 15),  # r1[2] = []
        op("DictNewR", 0), op("LoadConstR", 16, 5), op("DictSetR", 0, 16, 1),
        op("DictNewR", 2), op("LoadConstR", 16, 6), op("DictSetR", 0, 16, 2),
        ret(0),
    ]
    return modfile.module(code, constants)


# Small ups and downs of the interpreter's own caches are a few KiB at most;
# one object left behind per call would be at least 16 bytes times ROUNDS.
ROUNDS = 3000
LIMIT = 8 * ROUNDS


def growth(action, rounds=ROUNDS) -> int:
    """Bytes still allocated after `rounds` more calls of `action` than after a warm-up."""
    for _ in range(20):
        action()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            action()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    return after - before


def expect(exception, call):
    def action():
        try:
            call()
        except exception:
            pass
        else:  # pragma: no cover
            raise AssertionError("no %s" % exception.__name__)
    return action


@pytest.fixture
def paths(tmp_path):
    return {
        "demo": modfile.write(tmp_path, modfile.DEMO, "demo.tnbc"),
        "containers": modfile.write(tmp_path, container_program(), "containers.tnbc"),
        "bad": modfile.write(tmp_path, b"XNBC" + bytes(40), "bad.tnbc"),
        "missing": str(tmp_path / "missing"),
    }


def actions(paths):
    vm = VornVM()

    def run(name):
        def action():
            vm.load_bytecode(paths[name])
            return vm.execute()
        return action

    table = {
        "construct": lambda: VornVM(),
        "demo": run("demo"),
        "containers": run("containers"),
        "count": vm.instruction_count,
        "set_debug": lambda: vm.set_debug(False),
        "bad module": expect(RuntimeError, lambda: vm.load_bytecode(paths["bad"])),
        "missing file": expect(RuntimeError, lambda: vm.load_bytecode(paths["missing"])),
        "bad path": expect(TypeError, lambda: vm.load_bytecode(b"x")),
        "surrogate": expect(UnicodeEncodeError, lambda: vm.load_bytecode("\udc80")),
        "bad flag": expect(TypeError, lambda: vm.set_debug(1)),
        "extra argument": expect(TypeError, lambda: vm.load_bytecode("a", "b")),
        "unknown keyword": expect(TypeError, lambda: vm.set_debug(nope=True)),
        "not loaded": expect(RuntimeError, VornVM().execute),
    }
    if numpy is not None:
        table["numpy flag"] = lambda: vm.set_debug(numpy.False_)
    return table


NAMES = ["construct", "demo", "containers", "count", "set_debug", "bad module", "missing file", "bad path",
         "surrogate", "bad flag", "extra argument", "unknown keyword", "not loaded", "numpy flag"]


def test_container_program_result(paths):
    vm = VornVM()
    vm.load_bytecode(paths["containers"])
    assert vm.execute() == {"a": [1, "x", []], "b": {}}


@pytest.mark.parametrize("name", NAMES)
def test_no_growth(paths, name):
    table = actions(paths)
    if name not in table:
        pytest.skip("numpy is not installed")
    # tracemalloc sees every thread's allocations, so a thread left running by
    # an earlier test can add noise to one measurement; a real leak shows in
    # every one of them.
    assert min(growth(table[name]) for _ in range(3)) < LIMIT
