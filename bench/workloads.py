"""The benchmark workloads: one algorithm, written once per engine.

Each workload has a full size and a quick size, the VM program as tarnel
assembly (with ``{n}`` for the size), the name of its pure-Python function
(bench/pyworkloads.py), its Lua script (bench/lua/NAME.lua, shared by Lua 5.4
and LuaJIT) and its C program (bench/c/NAME.c).

The VM programs are written the way a compiler for this instruction set
would reasonably emit them: loops are tested at the bottom (one guard before
the loop), loop constants are loaded once, and values that a callee only
reads (fib's callee name and constants) live in r64 and up, which a call does
not save.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable


@dataclass(frozen=True)
class Workload:
    name: str           # identifier: file names, JSON keys, --workloads
    title: str          # one line for tables
    full: int           # size of the full run
    quick: int          # size of --quick
    kind: str           # "int" or "float": how results are compared
    program: str        # tarnel assembly; {n} is the size
    expected: Callable[[int], object]   # the answer for size n
    counted: int = 0    # size of the machine-instruction count (run.py --callgrind)

    def vm_source(self, n: int) -> str:
        return self.program.replace("{n}", str(n))


def _triangle(n: int) -> int:
    return n * (n - 1) // 2


def _fib(n: int) -> int:
    a, b = 0, 1
    for _ in range(n):
        a, b = b, a + b
    return a


def _leibniz(n: int) -> float:
    """The float workload's answer, by the same operations in the same order
    (IEEE-754 arithmetic makes every engine agree to the last bit)."""
    total, sign, d = 0.0, 1.0, 1.0
    for _ in range(n):
        total += sign / d
        d += 2.0
        sign = -sign
    return 4.0 * total


def _prime_count(n: int) -> int:
    """Primes below n, by a slice-assignment sieve (fast enough for checks)."""
    if n < 3:
        return 0
    mark = bytearray([1]) * n
    mark[0] = mark[1] = 0
    for i in range(2, math.isqrt(n - 1) + 1):
        if mark[i]:
            mark[i * i::i] = bytes(len(range(i * i, n, i)))
    return sum(mark)


INT_LOOP = """\
; sum of i for 0 <= i < n
.module "int_loop"
.func main
        LoadConstR r0, 0            ; i
        LoadConstR r1, 0            ; sum
        LoadConstR r2, {n}
        LoadConstR r3, 1
        LtR r4, r0, r2
        JumpIfNotR r4, done
loop:
        AddR r1, r1, r0
        AddR r0, r0, r3
        LtR r4, r0, r2
        JumpIfR r4, loop
done:
        ReturnR r1
"""

FIB = """\
; recursive fib(n) through CallR
.module "fib"
.func main
        LoadConstR r64, "fib"       ; callee name: r64 up is not saved by calls
        LoadConstR r65, 1
        LoadConstR r66, 2
        LoadConstR r1, {n}
        CallR r64, [r1], r0
        ReturnR r0

.func fib                           ; n in r0
        LtR r2, r0, r66
        JumpIfNotR r2, recurse
        ReturnR r0                  ; fib(0) = 0, fib(1) = 1
recurse:
        SubR r3, r0, r65
        CallR r64, [r3], r5         ; fib(n - 1)
        SubR r3, r0, r66
        CallR r64, [r3], r6         ; fib(n - 2)
        AddR r7, r5, r6
        ReturnR r7
"""

FLOAT_LOOP = """\
; Leibniz series: 4 * sum of (-1)^k / (2k + 1) for 0 <= k < n
.module "float_loop"
.func main
        LoadConstR r0, 0            ; k
        LoadConstR r1, {n}
        LoadConstR r2, 1
        LoadConstR r3, 0.0          ; sum
        LoadConstR r4, 1.0          ; sign
        LoadConstR r5, 1.0          ; denominator
        LoadConstR r6, 2.0
        LtR r7, r0, r1
        JumpIfNotR r7, done
loop:
        DivR r8, r4, r5
        AddR r3, r3, r8
        AddR r5, r5, r6
        NegR r4, r4
        AddR r0, r0, r2
        LtR r7, r0, r1
        JumpIfR r7, loop
done:
        LoadConstR r9, 4.0
        MulR r3, r3, r9
        ReturnR r3
"""

ARRAY = """\
; a[i] = i for 0 <= i < n with ArraySetR, then the sum of a[i] with ArrayGetR
.module "array"
.func main
        LoadConstR r0, {n}
        NewArrayR r1, r0
        LoadConstR r3, 1
        LoadConstR r2, 0            ; i
        LtR r4, r2, r0
        JumpIfNotR r4, filled
fill:
        ArraySetR r1, r2, r2
        AddR r2, r2, r3
        LtR r4, r2, r0
        JumpIfR r4, fill
filled:
        LoadConstR r2, 0            ; i
        LoadConstR r5, 0            ; sum
        LtR r4, r2, r0
        JumpIfNotR r4, done
sum:
        ArrayGetR r6, r1, r2
        AddR r5, r5, r6
        AddR r2, r2, r3
        LtR r4, r2, r0
        JumpIfR r4, sum
done:
        ReturnR r5
"""

DICT = """\
; d["k" .. i] = i for 0 <= i < n, then the sum of d["k" .. i]
.module "dict"
.func main
        LoadConstR r0, {n}
        DictNewR r1
        LoadConstR r3, 1
        LoadConstR r7, "k"
        LoadConstR r2, 0            ; i
        LtR r4, r2, r0
        JumpIfNotR r4, built
insert:
        ConcatStrR r5, r7, r2       ; key
        DictSetR r1, r5, r2
        AddR r2, r2, r3
        LtR r4, r2, r0
        JumpIfR r4, insert
built:
        LoadConstR r2, 0            ; i
        LoadConstR r6, 0            ; sum
        LtR r4, r2, r0
        JumpIfNotR r4, done
read:
        ConcatStrR r5, r7, r2
        DictGetR r8, r1, r5
        AddR r6, r6, r8
        AddR r2, r2, r3
        LtR r4, r2, r0
        JumpIfR r4, read
done:
        ReturnR r6
"""

SIEVE = """\
; sieve of Eratosthenes on an array: how many primes are below n?
; The array starts out all empty (falsy); composites get marked true.
.module "sieve"
.func main
        LoadConstR r0, {n}
        NewArrayR r1, r0
        LoadConstR r2, 2            ; i
        LoadConstR r3, 0            ; primes found
        LoadConstR r4, 1
        LoadConstR r9, true
        LtR r5, r2, r0
        JumpIfNotR r5, done
outer:
        ArrayGetR r6, r1, r2
        JumpIfR r6, next            ; marked: composite
        AddR r3, r3, r4
        MulR r7, r2, r2             ; j = i * i
        LtR r5, r7, r0
        JumpIfNotR r5, next
inner:
        ArraySetR r1, r7, r9
        AddR r7, r7, r2
        LtR r5, r7, r0
        JumpIfR r5, inner
next:
        AddR r2, r2, r4
        LtR r5, r2, r0
        JumpIfR r5, outer
done:
        ReturnR r3
"""

STRING = """\
; n one-character appends, then the length of the text
.module "string"
.func main
        LoadConstR r0, {n}
        LoadConstR r1, ""           ; the text
        LoadConstR r2, "x"
        LoadConstR r4, 1
        LoadConstR r3, 0            ; i
        LtR r5, r3, r0
        JumpIfNotR r5, done
loop:
        ConcatStrR r1, r1, r2
        AddR r3, r3, r4
        LtR r5, r3, r0
        JumpIfR r5, loop
done:
        StrLenR r6, r1
        ReturnR r6
"""

WORKLOADS = [
    Workload("int_loop", "integer loop", 10_000_000, 1_000_000, "int", INT_LOOP, _triangle, 2_000_000),
    Workload("fib", "fib (recursive)", 27, 20, "int", FIB, _fib, 22),
    Workload("float_loop", "float loop (Leibniz)", 5_000_000, 500_000, "float", FLOAT_LOOP, _leibniz, 1_000_000),
    Workload("array", "array set/get", 200_000, 20_000, "int", ARRAY, _triangle, 100_000),
    Workload("dict", "dict string keys", 100_000, 10_000, "int", DICT, _triangle, 50_000),
    Workload("sieve", "sieve", 1_000_000, 100_000, "int", SIEVE, _prime_count, 300_000),
    Workload("string", "string building", 100_000, 10_000, "int", STRING, lambda n: n, 50_000),
]

BY_NAME = {w.name: w for w in WORKLOADS}


def result_text(value) -> str:
    """How results are written and compared: integers in decimal, floats
    with 17 significant digits (enough to tell any two doubles apart)."""
    if isinstance(value, float):
        return "%.17g" % value
    return str(value)
