"""execute() results as Python objects, for every kind of value and nesting."""

from __future__ import annotations

import math
import sys

import modfile
import pytest
from modfile import op, ret
from tarnel_vm import VornVM


class Program:
    """Straight-line code with a constant pool, built one instruction at a time."""

    def __init__(self):
        self.constants = []
        self.code = []

    def const(self, value) -> int:
        self.constants.append(value)
        return len(self.constants) - 1

    def load(self, reg: int, value) -> "Program":
        self.code.append(op("LoadConstR", reg, self.const(value)))
        return self

    def emit(self, *instructions: bytes) -> "Program":
        self.code.extend(instructions)
        return self

    def array(self, dst: int, items) -> "Program":
        """r[dst] = [items...]; scratch registers 200..202."""
        self.load(200, len(items)).emit(op("NewArrayR", dst, 200))
        for i, item in enumerate(items):
            self.load(201, i)
            self._value(202, item)
            self.emit(op("ArraySetR", dst, 201, 202))
        return self

    def dict(self, dst: int, entries) -> "Program":
        """r[dst] = {key: value...}; scratch registers 203..204."""
        self.emit(op("DictNewR", dst))
        for key, item in entries:
            self.load(203, key)
            self._value(204, item)
            self.emit(op("DictSetR", dst, 203, 204))
        return self

    def _value(self, reg: int, item):
        # A nested container is built in a register of its own first.
        if isinstance(item, Reg):
            self.emit(op("MoveR", reg, item.number))
        else:
            self.load(reg, item)

    def returning(self, reg: int) -> bytes:
        return modfile.module(self.code + [ret(reg)], self.constants)


class Reg:
    def __init__(self, number: int):
        self.number = number


def run(tmp_path, data: bytes):
    vm = VornVM()
    vm.load_bytecode(modfile.write(tmp_path, data))
    return vm.execute()


def returning_constant(value) -> bytes:
    return Program().load(0, value).returning(0)


# (constant returned by the program, expected Python object)
SCALARS = [
    (None, None),
    (True, True),
    (False, False),
    (0, 0),
    (42, 42),
    (-1, -1),
    (2**63 - 1, 2**63 - 1),
    (-(2**63), -(2**63)),
    (1.5, 1.5),
    (-2.25e300, -2.25e300),
    (5e-324, 5e-324),
    (math.inf, math.inf),
    (-math.inf, -math.inf),
    ("", ""),
    ("hi", "hi"),
    ("é\0x", "é\0x"),
    ("日本語 🎉\n\t", "日本語 🎉\n\t"),
    ("a" * 100_000, "a" * 100_000),
]


@pytest.mark.parametrize("constant,expected", SCALARS, ids=lambda v: repr(v)[:30])
def test_scalar_results(tmp_path, constant, expected):
    result = run(tmp_path, returning_constant(constant))
    assert type(result) is type(expected)
    assert result == expected


def test_bool_results_are_the_singletons(tmp_path):
    assert run(tmp_path, returning_constant(True)) is True
    assert run(tmp_path, returning_constant(False)) is False


def test_nan(tmp_path):
    result = run(tmp_path, returning_constant(math.nan))
    assert type(result) is float and math.isnan(result)


def test_negative_zero(tmp_path):
    result = run(tmp_path, returning_constant(-0.0))
    assert result == 0.0 and math.copysign(1.0, result) == -1.0


def test_return_without_value(tmp_path):
    assert run(tmp_path, modfile.module([ret()])) is None


def test_computed_strings(tmp_path):
    program = Program().load(0, 4096).emit(op("CastR", 1, 0, modfile.STRING))
    program.load(2, "é\0").emit(op("ConcatStrR", 3, 2, 1))
    assert run(tmp_path, program.returning(3)) == "é\x004096"


# (build the result into r0, expected object)
CONTAINERS = [
    (lambda p: p.array(0, []), []),
    (lambda p: p.array(0, [1, "a"]).array(1, []).array(0, [1, "a", Reg(1)]), [1, "a", []]),
    (lambda p: p.array(0, [None, True, 2.5, -0.0, "x\0y"]), [None, True, 2.5, -0.0, "x\0y"]),
    (lambda p: p.dict(0, []), {}),
    (lambda p: p.dict(0, [("k", 1)]), {"k": 1}),
    (lambda p: p.array(1, [1, 2]).dict(2, [("z", False)]).dict(0, [("arr", Reg(1)), ("map", Reg(2)), ("", None)]),
     {"arr": [1, 2], "map": {"z": False}, "": None}),
    (lambda p: p.dict(1, [("é\0", 1.0)]).array(0, [Reg(1), Reg(1), 3]), [{"é\0": 1.0}, {"é\0": 1.0}, 3]),
    (lambda p: p.array(3, []).dict(2, [("inner", Reg(3))]).array(1, [Reg(2), 7])
     .dict(0, [("a", Reg(1)), ("b", "s")]), {"a": [{"inner": []}, 7], "b": "s"}),
]


@pytest.mark.parametrize("build,expected", CONTAINERS)
def test_container_results(tmp_path, build, expected):
    program = Program()
    build(program)
    result = run(tmp_path, program.returning(0))
    assert result == expected
    check_types(result, expected)


def check_types(result, expected):
    assert type(result) is type(expected)
    if isinstance(expected, list):
        for got, want in zip(result, expected):
            check_types(got, want)
    elif isinstance(expected, dict):
        for key in expected:
            assert type(key) is str
            check_types(result[key], expected[key])


def test_shared_payload_gives_separate_objects(tmp_path):
    program = Program().array(1, [1]).array(0, [Reg(1), Reg(1)])
    result = run(tmp_path, program.returning(0))
    assert result == [[1], [1]]
    assert result[0] is not result[1]
    result[0].append(2)
    assert result[1] == [1]


def loop(body, setup=(), result_reg: int = 0):
    """Code that runs `body` N times, then returns r`result_reg`.

    Constants 0, 1 and 2 must be 1, 0 and N: r10 = 1, r11 = 0, r12 = N, and
    r13 counts the rounds from 0.
    """
    setup = list(setup)
    head = [op("LoadConstR", 10, 0), op("LoadConstR", 11, 1), op("LoadConstR", 12, 2),
            op("LoadConstR", 13, 1)] + setup
    body = list(body) + [op("AddR", 13, 13, 10), op("LtR", 14, 13, 12)]
    back = -(len(body) + 1)  # relative to the instruction after the jump
    return head + body + [op("JumpIfR", 14, back), ret(result_reg)]


def test_dict_keys_come_in_map_order(tmp_path):
    # d[str(i)] = i for i in 0..999; the order is the map's own, not insertion order.
    body = [op("CastR", 1, 13, modfile.STRING), op("DictSetR", 0, 1, 13)]
    code = loop(body, setup=[op("DictNewR", 0)])
    result = run(tmp_path, modfile.module(code, [1, 0, 1000]))
    assert result == {str(i): i for i in range(1000)}
    assert all(type(key) is str for key in result)


DEPTH = 1_000_000


@pytest.mark.slow
def test_array_nested_a_million_deep(tmp_path):
    # r0 = [] ; repeat: r1 = [Empty]; r1[0] = r0; r0 = r1
    body = [op("NewArrayR", 1, 10), op("ArraySetR", 1, 11, 0), op("MoveR", 0, 1)]
    code = loop(body, setup=[op("NewArrayR", 0, 11)])
    vm = VornVM()
    vm.load_bytecode(modfile.write(tmp_path, modfile.module(code, [1, 0, DEPTH])))
    result = vm.execute()
    node = result
    for _ in range(DEPTH):
        assert type(node) is list and len(node) == 1
        node = node[0]
    assert node == []
    del vm, result, node


@pytest.mark.slow
def test_dict_nested_a_million_deep(tmp_path):
    # r0 = {} ; repeat: r1 = {}; r1["k"] = r0; r0 = r1   (constant 3 is "k")
    body = [op("DictNewR", 1), op("DictSetR", 1, 15, 0), op("MoveR", 0, 1)]
    code = loop(body, setup=[op("DictNewR", 0), op("LoadConstR", 15, 3)])
    result = run(tmp_path, modfile.module(code, [1, 0, DEPTH, "k"]))
    node = result
    for _ in range(DEPTH):
        assert type(node) is dict and list(node) == ["k"]
        node = node["k"]
    assert node == {}


def test_alternating_nesting(tmp_path):
    # r0 = 7 ; repeat: r1 = [Empty]; r1[0] = r0; r2 = {}; r2["k"] = r1; r0 = r2
    depth = 50_000
    body = [op("NewArrayR", 1, 10), op("ArraySetR", 1, 11, 0), op("DictNewR", 2),
            op("DictSetR", 2, 15, 1), op("MoveR", 0, 2)]
    code = loop(body, setup=[op("LoadConstR", 0, 4), op("LoadConstR", 15, 3)])
    node = run(tmp_path, modfile.module(code, [1, 0, depth, "k", 7]))
    for _ in range(depth):
        assert type(node) is dict and len(node) == 1
        node = node["k"]
        assert type(node) is list and len(node) == 1
        node = node[0]
    assert node == 7


def test_result_does_not_depend_on_the_recursion_limit(tmp_path):
    body = [op("NewArrayR", 1, 10), op("ArraySetR", 1, 11, 0), op("MoveR", 0, 1)]
    code = loop(body, setup=[op("NewArrayR", 0, 11)])
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(100)
    try:
        result = run(tmp_path, modfile.module(code, [1, 0, 10_000]))
    finally:
        sys.setrecursionlimit(old)
    for _ in range(10_000):
        result = result[0]
    assert result == []
