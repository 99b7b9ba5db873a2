"""The tools' work grows with the size of the module, not faster.

No timing: the work is counted as lines of the tarnel package that Python
executes (a trace function), for an input of n instructions and one of 4n.
Per-instruction Python work shows as a factor of 4, quadratic work as 16;
runs of one instruction, which the tools handle in bulk, cost a few lines
per segment of thousands of instructions.
"""

from __future__ import annotations

import sys
from pathlib import Path

import pytest
from tarnel import Builder, assemble, check, decode, disassemble

PACKAGE = str(Path(sys.modules["tarnel"].__file__).parent)


def executed_lines(work) -> int:
    count = 0

    def local(frame, event, arg):
        nonlocal count
        if event == "line":
            count += 1
        return local

    def tracer(frame, event, arg):
        return local if frame.f_code.co_filename.startswith(PACKAGE) else None

    sys.settrace(tracer)
    try:
        work()
    finally:
        sys.settrace(None)
    return count


def nops(n: int) -> bytes:
    b = Builder("nops")
    b.func("main")
    for _ in range(n):
        b.emit("Nop")
    return b.build()


def mixed(n: int) -> bytes:
    """Blocks of loads, arithmetic, calls and jumps back and forth, one function each."""
    b = Builder("mixed")
    for k in range(n // 8):
        b.func("f%d" % k)
        b.label("top%d" % k)
        b.emit("LoadConstR", 1, b.const("f%d" % ((k + 1) % (n // 8))))
        b.emit("LoadConstR", 2, b.const(k))
        b.emit("AddR", 3, 2, 2)
        b.emit("CallR", 1, [2, 3], 4)
        b.emit("JumpIfR", 4, "top%d" % k)
        b.emit("Nop")
        b.emit("MoveR", 0, 4)
        b.emit("ReturnR", 0)
    return b.build()


TOOLS = {
    "decode": lambda data: lambda: decode(data),
    "disassemble": lambda data: lambda: disassemble(data),
    "check": lambda data: (lambda module: lambda: check(module))(decode(data)),
    "assemble": lambda data: (lambda text: lambda: assemble(text))(disassemble(data)),
}


@pytest.mark.parametrize("tool", sorted(TOOLS))
@pytest.mark.parametrize("shape", [nops, mixed], ids=["nops", "mixed"])
def test_work_grows_linearly(tool, shape):
    small = executed_lines(TOOLS[tool](shape(400)))
    large = executed_lines(TOOLS[tool](shape(1600)))
    assert large <= 5 * small, (small, large)


# A run of one instruction is decoded, listed and checked in bulk: the
# 49,152 more instructions cost far less than a line each (one each would
# be 49,152 more lines; work per segment of thousands is a few dozen).
@pytest.mark.parametrize("tool", ["decode", "disassemble", "check"])
def test_runs_cost_no_work_per_instruction(tool):
    small = executed_lines(TOOLS[tool](nops(1 << 14)))
    large = executed_lines(TOOLS[tool](nops(1 << 16)))
    assert large - small <= ((1 << 16) - (1 << 14)) // 16, (small, large)
