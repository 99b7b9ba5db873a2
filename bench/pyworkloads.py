"""The workloads in pure Python, written as plain idiomatic loops.

Each function takes the size n and returns the workload's result. They do
the same work as the VM programs in bench/workloads.py, element by element:
no slice assignment, sum() or str.join shortcuts that would move the loop
into C.
"""

from __future__ import annotations


def int_loop(n):
    total = 0
    for i in range(n):
        total += i
    return total


def _fib(n):
    if n < 2:
        return n
    return _fib(n - 1) + _fib(n - 2)


def fib(n):
    return _fib(n)


def float_loop(n):
    total = 0.0
    sign = 1.0
    d = 1.0
    for _ in range(n):
        total += sign / d
        d += 2.0
        sign = -sign
    return 4.0 * total


def array(n):
    a = [None] * n
    for i in range(n):
        a[i] = i
    total = 0
    for i in range(n):
        total += a[i]
    return total


def dict(n):  # noqa: A001 - the workload's name
    d = {}
    for i in range(n):
        d["k" + str(i)] = i
    total = 0
    for i in range(n):
        total += d["k" + str(i)]
    return total


def sieve(n):
    composite = [False] * n
    count = 0
    for i in range(2, n):
        if not composite[i]:
            count += 1
            for j in range(i * i, n, i):
                composite[j] = True
    return count


def string(n):
    s = ""
    for _ in range(n):
        s += "x"
    return len(s)


FUNCTIONS = {
    "int_loop": int_loop,
    "fib": fib,
    "float_loop": float_loop,
    "array": array,
    "dict": dict,
    "sieve": sieve,
    "string": string,
}
