"""The static checker."""

from __future__ import annotations

import time
from pathlib import Path

import pytest
import tarnel
from tarnel import assemble_module, check

ROOT = Path(__file__).resolve().parents[2]


def findings(src: str):
    return [str(f) for f in check(assemble_module(src))]


CLEAN = [
    ".func main\nLoadConstR r0, 1\nReturnR r0",
    "",
    # a jump to the end of the list is a normal way out
    "JumpIfR r0, end\nNop\nend:",
    # calls by name and by entry point
    '.func main\nLoadConstR r1, "f"\nCallR r1, [], r2\nLoadConstR r1, 5\n'
    "CallR r1, [], r2\nReturnR r2\n.func f\nReturnR r0",
    # r0..r63 survive a call, so r1 still names "f" afterwards
    '.func main\nLoadConstR r1, "f"\nCallR r1, [], r2\nCallR r1, [], r2\nReturnR\n'
    ".func f\nReturnR",
    # after a call, r64 and up may hold anything
    '.func main\nLoadConstR r64, "f"\nCallR r64, [], r2\nLoadConstR r64, "nope"\n'
    'LoadConstR r1, "f"\nCallR r1, [], r2\nCallR r64, [], r2\nReturnR\n.func f\nReturnR',
    # a register overwritten since its LoadConstR is not judged
    '.func main\nLoadConstR r1, "nope"\nLoadGlobalR r1, "fn"\nCallR r1, [], r2\nReturnR',
    # a jump target starts a new block: the constant may not be what arrives there
    '.func main\nLoadConstR r1, "nope"\nhere: CallR r1, [], r2\nJumpR here',
    "CastR r0, r1, bool\nCastR r0, r1, int\nCastR r0, r1, float\nCastR r0, r1, string",
    'LoadGlobalR r0, "g"\nStoreGlobalR r0, "g"',
]


@pytest.mark.parametrize("src", CLEAN)
def test_clean_programs(src):
    assert findings(src) == []


@pytest.mark.parametrize("path", sorted((ROOT / "examples").glob("*.tnasm")),
                         ids=lambda p: p.name)
def test_examples_are_clean(path):
    assert findings(path.read_text("utf-8")) == []


FINDINGS = [
    ("JumpR 5\nHalt",
     ["instruction 0: JumpR offset 5 lands on 6, outside the instruction list (0..2)",
      "instruction 1: unreachable code: instruction 1 is never executed (after JumpR)"]),
    ("JumpIfR r0, -2\nHalt",
     ["instruction 0: JumpIfR offset -2 lands on -1, outside the instruction list (0..2)"]),
    ("JumpIfNotR r0, -2147483648",
     ["instruction 0: JumpIfNotR offset -2147483648 lands on -2147483647, outside the "
      "instruction list (0..1)"]),
    ("x: JumpR x", ["instruction 0: JumpR jumps to itself and loops forever"]),
    ("LoadConstR r0, @0", ["instruction 0: LoadConstR const_idx 0 is beyond the constant "
                           "pool (0 constants)"]),
    ('.const 0 "a"\nLoadGlobalR r0, @1',
     ["instruction 0: LoadGlobalR name_idx 1 is beyond the constant pool (1 constant)"]),
    ("StoreGlobalR r0, 5",
     ["instruction 0: StoreGlobalR global name constant 0 is the int constant 5, "
      "not a string"]),
    ("LoadGlobalR r0, empty",
     ["instruction 0: LoadGlobalR global name constant 0 is the empty constant, not a string"]),
    (".func main\nNop\n.func far 10\n.func tail",
     ["function 'far' has entry point 10, beyond the instruction list (1 instruction)",
      "function 'tail' has entry point 1, beyond the instruction list (1 instruction)"]),
    (".func main\nNop\n.func main\nHalt",
     ["function 'main' is listed twice; entry point 1 replaces 0",
      "instruction 0: unreachable code: instruction 0 is never executed"]),
    ('.func main\nLoadConstR r1, "nope"\nCallR r1, [], r2\nReturnR',
     ["instruction 1: CallR through r1 calls 'nope', which is not in the function table"]),
    ('.func main\nLoadConstR r1, "nope"\nMoveR r9, r1\nCallR r9, [], r2\nReturnR',
     ["instruction 2: CallR through r9 calls 'nope', which is not in the function table"]),
    (".func main\nLoadConstR r3, 7\nCallR r3, [], r2\nReturnR",
     ["instruction 1: CallR through r3 calls 'func_7', which is not in the function table"]),
    (".func main\nLoadConstR r3, true\nCallR r3, [], r2\nReturnR",
     ["instruction 1: CallR through r3, which holds the bool constant True: "
      "no function specified"]),
    ('.func main\nLoadConstR r1, "f"\nCallR r1, [], r1\nCallR r1, [], r2\nReturnR\n'
     ".func f\nReturnR", []),
    (".func main\nReturnR\nNop\nNop\n.func f\nHalt\nNop",
     ["instruction 1: unreachable code: instructions 1 to 2 are never executed (after ReturnR)",
      "instruction 4: unreachable code: instruction 4 is never executed (after Halt)"]),
    ("CastR r0, r1, url", ["instruction 0: CastR to url always fails"]),
    ("CastR r0, r1, empty", ["instruction 0: CastR to empty always fails"]),
    ("CastR r0, r1, 9", ["instruction 0: CastR to unknown type 9 always fails"]),
    ("CallR r0, [%s], r1" % ", ".join(["r0"] * 17),
     ["instruction 0: CallR passes only the first 16 of its 17 arguments"]),
]


@pytest.mark.parametrize("src,expected", FINDINGS)
def test_findings(src, expected):
    assert findings(src) == expected


def test_finding_fields():
    (f,) = check(assemble_module("CastR r0, r1, url"))
    assert f.index == 0 and f.message == "CastR to url always fails"
    assert check(tarnel.decode(tarnel.assemble(""))) == []


def test_calls_through_entry_points_are_checked_in_linear_time():
    # Each call through an Int names its function by entry point; looking
    # the entry up in a table rebuilt per call made the check quadratic.
    def program(n):
        calls = "".join("LoadConstR r1, %d\nCallR r1, [], r2\n" % (i % 50) for i in range(n))
        table = "".join(".func f%d %d\n" % (i, i) for i in range(n))
        return assemble_module(".func main\n" + calls + table)
    small, large = program(500), program(4000)

    # CPU time, the best of five: waiting for a core on a busy machine must
    # not count (linear is about 8, quadratic about 64).
    def best(module):
        times = []
        for _ in range(5):
            start = time.process_time()
            check(module)
            times.append(time.process_time() - start)
        return min(times)
    assert best(large) / best(small) < 24
