"""Assembly programs and process helpers shared by the run and isolation tests."""

import os

LOOP = "loop:\n        JumpR loop\n"

# Arrays of ten million elements, each kept in an outer array: far beyond
# 256 MB long before the hundredth.
GROW = """
.func main
        LoadConstR r0, 100
        NewArrayR r1, r0
        LoadConstR r2, 10000000
        LoadConstR r3, 0
        LoadConstR r4, 1
again:
        NewArrayR r5, r2
        ArraySetR r1, r3, r5
        AddR r3, r3, r4
        LtR r6, r3, r0
        JumpIfR r6, again
        ArrayLenR r7, r1
        ReturnR r7
"""

DIVIDE_BY_ZERO = """
.func main
        LoadConstR r0, 1
        LoadConstR r1, 0
        DivR r2, r0, r1
        ReturnR r2
"""


def alive(pid: int) -> bool:
    """Whether a process with this id still exists."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True
