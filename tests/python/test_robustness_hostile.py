"""Hostile programs: huge nesting, huge requests, deep recursion, huge maps.

Each program is assembled from text with the tarnel assembler and loaded
from a module file. The VM must end every one of them with a result or a
"Runtime error: ..." exception, never a crash, and stay usable afterwards.
"""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap
import time

import pytest
import tarnel
from tarnel_vm import VornVM

DEPTH = 1_000_000

# Three arrays nested DEPTH levels deep, built by a loop (r = new array of 1;
# r[0] = previous): r20 and r21 hold Int 1 innermost, r22 holds Int 2. The
# first run builds them quietly and runs off the end; the registers survive,
# so a second run (in debug mode) jumps straight to "show", which prints r20
# with DebugPrint, compares the arrays with EqR and returns
# [r20 == r21, r20 == r22, r20].
DEEP = """
.module "deep"
.func main
        JumpIfR r30, show
        LoadConstR r1, 1
        LoadConstR r2, 0
        LoadConstR r3, %(depth)d
        LoadConstR r4, 1
        LoadConstR r5, 0
        LoadConstR r20, 1
        LoadConstR r21, 1
        LoadConstR r22, 2
loop:
        LtR r6, r5, r3
        JumpIfNotR r6, built
        NewArrayR r7, r1
        ArraySetR r7, r2, r20
        MoveR r20, r7
        NewArrayR r7, r1
        ArraySetR r7, r2, r21
        MoveR r21, r7
        NewArrayR r7, r1
        ArraySetR r7, r2, r22
        MoveR r22, r7
        AddR r5, r5, r4
        JumpR loop
built:
        LoadConstR r30, true
        JumpR 1000000000            ; past the end: the run ends, registers stay
show:
        DebugPrint r20
        EqR r31, r20, r21
        EqR r32, r20, r22
        LoadConstR r33, 3
        NewArrayR r34, r33
        LoadConstR r35, 0
        ArraySetR r34, r35, r31
        LoadConstR r35, 1
        ArraySetR r34, r35, r32
        LoadConstR r35, 2
        ArraySetR r34, r35, r20
        ReturnR r34
"""

# Runs DEEP in a child process whose standard output (the trace and the
# DebugPrint line) goes to a file; reports what it saw as JSON on stderr.
DEEP_CHILD = textwrap.dedent("""
    import json, sys, time
    from tarnel_vm import VornVM
    path, depth = sys.argv[1], int(sys.argv[2])
    vm = VornVM()
    vm.load_bytecode(path)
    t0 = time.perf_counter()
    first = vm.execute()
    t1 = time.perf_counter()
    vm.set_debug(True)
    result = vm.execute()
    t2 = time.perf_counter()
    same, different, nested = result
    levels = 0
    node = nested
    while isinstance(node, list):
        if len(node) != 1:
            break
        node = node[0]
        levels += 1
    del result, nested, node
    t3 = time.perf_counter()
    json.dump({"first": first, "same": same, "different": different, "levels": levels,
               "build_s": t1 - t0, "show_s": t2 - t1, "walk_drop_s": t3 - t2,
               "count": vm.instruction_count()}, sys.stderr)
""")


def assemble_to(tmp_path, name: str, text: str) -> str:
    path = tmp_path / (name + ".tnbc")
    path.write_bytes(tarnel.assemble(text))
    return str(path)


ANSWER = """
.func main
        LoadConstR r0, 42
        ReturnR r0
"""


def still_usable(vm: VornVM, tmp_path) -> None:
    """A failed run leaves the VM able to load and run another program."""
    vm.load_bytecode(assemble_to(tmp_path, "answer", ANSWER))
    assert vm.execute() == 42


def test_million_deep_array_printed_compared_converted_and_dropped(tmp_path):
    path = assemble_to(tmp_path, "deep", DEEP % {"depth": DEPTH})
    out = tmp_path / "stdout.txt"
    with open(out, "wb") as stdout:
        child = subprocess.run([sys.executable, "-c", DEEP_CHILD, path, str(DEPTH)],
                               stdout=stdout, stderr=subprocess.PIPE, timeout=600)
    assert child.returncode == 0, child.stderr.decode(errors="replace")[-2000:]
    report = json.loads(child.stderr)
    assert report["first"] is None
    assert report["same"] is True
    assert report["different"] is False
    assert report["levels"] == DEPTH
    # The DebugPrint line: "DEBUG: " and the debug form, DEPTH arrays around Int(1).
    with open(out, "rb") as f:
        lines = f.read().split(b"\n")
    debug_lines = [line for line in lines if line.startswith(b"DEBUG: ")]
    assert len(debug_lines) == 1
    assert debug_lines[0] == b"DEBUG: " + b"Array([" * DEPTH + b"Int(1)" + b"])" * DEPTH
    # The debug run traced its instructions, one "PC: " line each.
    assert sum(1 for line in lines if line.startswith(b"PC: ")) == 13


HUGE_ARRAY = """
.func main
        LoadConstR r1, 1099511627776    ; 2^40 elements
        NewArrayR r0, r1
        ReturnR r0
"""

# Doubles a one-character string 64 times; joined texts stop at 1 GiB.
DOUBLING = """
.func main
        LoadConstR r0, "x"
        LoadConstR r1, 0
        LoadConstR r2, 64
        LoadConstR r3, 1
loop:
        LtR r4, r1, r2
        JumpIfNotR r4, done
        ConcatStrR r0, r0, r0
        AddR r1, r1, r3
        JumpR loop
done:
        StrLenR r5, r0
        ReturnR r5
"""


@pytest.mark.parametrize("name, program, reached", [
    pytest.param("new_array_2_40", HUGE_ARRAY, None, id="new_array_2_40"),
    # 2^30 bytes (1 GiB) is the longest joined text: the 31st doubling fails.
    pytest.param("string_doubled_64_times", DOUBLING, 31, id="string_doubled_64_times"),
])
def test_memory_hungry_programs_end_in_out_of_memory(tmp_path, name, program, reached):
    vm = VornVM()
    vm.load_bytecode(assemble_to(tmp_path, name, program))
    before = vm.instruction_count()
    start = time.perf_counter()
    with pytest.raises(RuntimeError) as failure:
        vm.execute()
    elapsed = time.perf_counter() - start
    assert failure.value.args == ("Runtime error: Out of memory",)
    assert elapsed < 60
    if reached is not None:
        # 4 set-up instructions, 5 per completed doubling, then LtR,
        # JumpIfNotR and the failing ConcatStrR.
        assert vm.instruction_count() - before == 4 + 5 * (reached - 1) + 3
    still_usable(vm, tmp_path)


# An array holding the previous level twice, 40 levels deep: 41 arrays whose
# display text has about 2^44 characters. Rendering it any way must end in
# Out of memory before the text is built, not exhaust the host.
TOWER = """
.func main
        LoadConstR r1, 2
        LoadConstR r2, 0
        LoadConstR r3, 1
        LoadConstR r5, 0
        LoadConstR r6, 40
        NewArrayR r0, r1
loop:
        LtR r7, r5, r6
        JumpIfNotR r7, done
        NewArrayR r8, r1
        ArraySetR r8, r2, r0
        ArraySetR r8, r3, r0
        MoveR r0, r8
        AddR r5, r5, r3
        JumpR loop
done:
        LoadConstR r9, ""
        %s
        ReturnR r10
"""


@pytest.mark.parametrize("render, debug", [
    pytest.param("ConcatStrR r10, r0, r9", False, id="concat"),
    pytest.param("CastR r10, r0, string", False, id="cast"),
    pytest.param("DebugPrint r0", False, id="debug_print"),
    pytest.param("DebugPrint r0", True, id="debug_print_debug_mode"),
])
def test_rendering_a_shared_tower_is_out_of_memory(tmp_path, render, debug):
    vm = VornVM()
    vm.load_bytecode(assemble_to(tmp_path, "tower", TOWER % render))
    vm.set_debug(debug)
    start = time.perf_counter()
    with pytest.raises(RuntimeError) as failure:
        vm.execute()
    assert failure.value.args == ("Runtime error: Out of memory",)
    assert time.perf_counter() - start < 10
    vm.set_debug(False)
    still_usable(vm, tmp_path)


# down(n) builds a 10,000-element array, a dictionary holding it and a
# string in r1..r3 (saved in every frame by the calls below it), recurses
# with n - 1 and returns the sum of its array lengths: 10,000 * n.
RECURSION = """
.func main
        LoadConstR r0, %(depth)d
        LoadConstR r1, "down"
        CallR r1, [r0], r2
        ReturnR r2

.func down
        LoadConstR r10, 0
        LteR r11, r0, r10
        JumpIfNotR r11, deeper
        ReturnR r10
deeper:
        LoadConstR r10, 10000
        NewArrayR r1, r10
        DictNewR r2
        CastR r3, r0, string
        DictSetR r2, r3, r1
        ConcatStrR r3, r3, r3
        LoadConstR r10, 1
        SubR r5, r0, r10
        LoadConstR r6, "down"
        CallR r6, [r5], r7
        ArrayLenR r8, r1
        AddR r9, r7, r8
        ReturnR r9
"""


def test_thousand_frames_holding_large_containers(tmp_path):
    vm = VornVM()
    # main's call is frame 1; down(n) calls down(0) as frame n + 1, so 999
    # gives the full 1,000 frames.
    vm.load_bytecode(assemble_to(tmp_path, "rec999", RECURSION % {"depth": 999}))
    assert vm.execute() == 999 * 10000
    # One frame more is refused, with every frame's containers still held.
    vm.load_bytecode(assemble_to(tmp_path, "rec1000", RECURSION % {"depth": 1000}))
    with pytest.raises(RuntimeError) as failure:
        vm.execute()
    assert failure.value.args == ("Runtime error: Stack overflow",)
    still_usable(vm, tmp_path)


MILLION_KEYS = """
.func main
        DictNewR r0
        LoadConstR r1, 0
        LoadConstR r2, 1000000
        LoadConstR r3, 1
loop:
        LtR r4, r1, r2
        JumpIfNotR r4, done
        CastR r5, r1, string
        DictSetR r0, r5, r1
        AddR r1, r1, r3
        JumpR loop
done:
        LoadConstR r6, "999999"
        DictContainsR r7, r0, r6
        JumpIfNotR r7, missing
        ReturnR r0
missing:
        LoadConstR r8, "key 999999 missing"
        ReturnR r8
"""


def test_dictionary_with_a_million_keys(tmp_path):
    vm = VornVM()
    vm.load_bytecode(assemble_to(tmp_path, "keys", MILLION_KEYS))
    result = vm.execute()
    assert isinstance(result, dict)
    assert len(result) == 1_000_000
    for i in (0, 1, 9, 10, 99_999, 500_000, 999_999):
        assert result[str(i)] == i
    assert all(result[k] == int(k) for k in result)
    del result
    still_usable(vm, tmp_path)
