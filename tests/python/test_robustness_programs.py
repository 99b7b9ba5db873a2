"""Random programs built with tarnel.Builder end in a result or a listed error.

Programs are drawn by hypothesis from every instruction kind a module file
can hold, with registers from a small set (so values flow between
instructions), constants of every kind and hostile values, and type ids
in and out of range. They are made to terminate:

* jumps only go forward, and only to the start of a unit (below);
* NewArrayR and CallR come as two-instruction units that first load their
  operand into a register no other instruction touches: the size from a
  table (0, 3, -1, 2^40, a float, a string), the callee's name, which names a
  function whose entry point lies after the call, or a missing name, or a
  boolean;
* joins (ConcatStrR, AddR) are limited in number so strings stay small.

Every run must return None, a bool, int, float, str, list or dict, or raise
RuntimeError "Runtime error: " followed by the message of an error the
program's instructions can produce. Anything else (another exception, a
message of the wrong form, a crash of the test process) is a fault.
"""

from __future__ import annotations

import math
import re

import pytest
import tarnel
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from tarnel import opcodes as oc
from tarnel_vm import VornVM

REGS = [0, 1, 2, 3, 4, 5, 15, 16, 63, 64, 65, 255]
SIZE_REG = 250       # written only by the unit's LoadConstR before NewArrayR
CALLEE_REG = 251     # written only by the unit's LoadConstR before CallR

CONSTANTS = [0, 1, 2, 3, -1, 7, 300, 2 ** 40, 2 ** 63 - 1, -2 ** 63,
             0.0, -0.0, 0.5, 2.5, 1e23, math.inf, -math.inf, math.nan,
             "", "ab", "héllo", "key", "main", "f1", "3", "\x00z",
             True, False, None]
SIZES = [0, 3, -1, 2 ** 40, 2.0, "x"]
PROLOGUE = [0, 1, 2, 3, 7, -1, 300, 0.5, 2.5, "ab", "key", True]

# The messages an encodable instruction can end a run with.
MESSAGE = re.compile(r"""(?x)
    Type\ mismatch:\ expected\ (numeric\ or\ string|numeric|integer|float|integer\ index|string\ key|
                                array|dict|string|empty|function|url|unknown),
                     \ found\ ([A-Za-z]+\ and\ [A-Za-z]+|float\ \S+|[a-z]+)
  | Division\ by\ zero
  | Integer\ overflow
  | Index\ out\ of\ bounds:\ index\ -?\d+\ for\ length\ \d+
  | Undefined\ function:\ .*
  | Invalid\ operation:\ (negation\ on\ type\ [A-Za-z]+|create\ array\ on\ type\ negative\ size:\ -\d+)
  | Invalid\ comparison:\ [A-Za-z]+\ and\ [A-Za-z]+
  | Stack\ overflow
  | Out\ of\ memory
  | Invalid\ constant\ index:\ \d+
""")

SIMPLE = [info for info in oc.OPCODES
          if info.encodable and info.name not in ("NewArrayR", "CallR")
          and not any(op.kind == oc.OFFSET for op in info.operands)]
JUMPS = [oc.BY_NAME[name] for name in ("JumpR", "JumpIfR", "JumpIfNotR")]
MAX_UNITS = 40
RARELY = st.sampled_from([False] * 19 + [True])
MAX_JOINS = 12


@st.composite
def programs(draw):
    """A list of units; each unit is a list of (name, operands) with
    placeholders for jump targets and callees that `build` resolves."""
    count = draw(st.integers(1, MAX_UNITS))
    # A prologue gives most registers a value, mostly numbers, so that more
    # programs get past their first instructions.
    units = [[("LoadConstR", [reg, ("const", draw(st.sampled_from(PROLOGUE)))])]
             for reg in REGS if not draw(st.sampled_from([True, False, False, False]))]
    if draw(st.booleans()):
        units.append([("DictNewR", [draw(st.sampled_from(REGS))])])
    if draw(st.booleans()):
        units.append([("LoadConstR", [SIZE_REG, ("const", 3)]),
                      ("NewArrayR", [draw(st.sampled_from(REGS)), SIZE_REG])])
    count += len(units)
    joins = 0
    while len(units) < count:
        kind = draw(st.sampled_from(["simple"] * 8 + ["jump", "array", "call"]))
        if kind == "jump":
            info = draw(st.sampled_from(JUMPS))
            target = draw(st.integers(0, MAX_UNITS + 2))  # unit number, resolved forward
            ops = [("target", target)] if info.name == "JumpR" else \
                [draw(st.sampled_from(REGS)), ("target", target)]
            units.append([(info.name, ops)])
        elif kind == "array":
            units.append([("LoadConstR", [SIZE_REG, ("const", draw(st.sampled_from(SIZES)))]),
                          ("NewArrayR", [draw(st.sampled_from(REGS)), SIZE_REG])])
        elif kind == "call":
            callee = draw(st.sampled_from(["later", "later", "missing", "bool"]))
            args = draw(st.lists(st.sampled_from(REGS), max_size=18))
            units.append([("LoadConstR", [CALLEE_REG, ("callee", callee)]),
                          ("CallR", [CALLEE_REG, args, draw(st.sampled_from(REGS))])])
        else:
            info = draw(st.sampled_from(SIMPLE))
            if info.name in ("ConcatStrR", "AddR"):
                joins += 1
                if joins > MAX_JOINS:
                    info = oc.BY_NAME["Nop"]
            ops = []
            for op in info.operands:
                if op.kind == oc.REG:
                    ops.append(draw(st.sampled_from(REGS)))
                elif op.kind == oc.OPTREG:
                    ops.append(draw(st.sampled_from(REGS + [None])))
                elif op.kind == oc.CONST:
                    ops.append(("index", draw(st.integers(0, 65535))) if draw(RARELY)
                               else ("const", draw(st.sampled_from(CONSTANTS))))
                elif op.kind == oc.NAME:
                    ops.append(("index", draw(st.integers(0, 65535))) if draw(RARELY)
                               else ("const", draw(st.sampled_from(["g", "h"] * 4 + [5, None]))))
                elif op.kind == oc.TYPE:
                    ops.append(draw(st.one_of(st.integers(0, 9), st.integers(0, 65535))))
                else:  # pragma: no cover
                    raise AssertionError(op.kind)
            units.append([(info.name, ops)])
    functions = draw(st.lists(st.integers(1, len(units)), max_size=3, unique=True))
    return units, sorted(functions)


def build(units, function_units):
    """The module file of a drawn program. Function k ("f<k>") starts at
    unit function_units[k]; a callee "later" names the first function that
    starts after its call unit (or a missing name when there is none)."""
    b = tarnel.Builder("random")
    starts = []
    index = 0
    for unit in units:
        starts.append(index)
        index += len(unit)
    end = index
    b.func("main", 0)
    for k, unit_no in enumerate(function_units):
        b.func("f%d" % k, starts[unit_no] if unit_no < len(units) else end)
    # Index operands beyond the pool must stay beyond it: fill the pool first.
    for value in CONSTANTS + SIZES + ["g", "h", "nope", 5] + ["f%d" % k for k in range(len(function_units))]:
        b.const(value)
    pool = len(b.module().constants)

    for u, unit in enumerate(units):
        for name, ops in unit:
            resolved = []
            position = b.here()
            for op in ops:
                if isinstance(op, tuple) and op[0] == "const":
                    resolved.append(b.const(op[1]))
                elif isinstance(op, tuple) and op[0] == "index":
                    resolved.append(pool + op[1] % (65536 - pool))
                elif isinstance(op, tuple) and op[0] == "target":
                    # Forward only, onto the start of a unit (or past the end).
                    target_unit = max(op[1], u + 1)
                    target = starts[target_unit] if target_unit < len(starts) else end + (target_unit - len(starts))
                    resolved.append(target - (position + 1))
                elif isinstance(op, tuple) and op[0] == "callee":
                    if op[1] == "bool":
                        resolved.append(b.const(True))
                    else:
                        later = [k for k, unit_no in enumerate(function_units) if unit_no > u]
                        resolved.append(b.const("f%d" % later[0]) if op[1] == "later" and later
                                        else b.const("nope"))
                else:
                    resolved.append(op)
            b.emit(name, *resolved)
    return b.build()


def check_result(value):
    """Every part of a result is one of the host types of a VM value."""
    pending = [value]
    while pending:
        v = pending.pop()
        if isinstance(v, list):
            pending.extend(v)
        elif isinstance(v, dict):
            assert all(type(k) is str for k in v)
            pending.extend(v.values())
        else:
            assert v is None or type(v) in (bool, int, float, str), repr(v)


@pytest.fixture(scope="module")
def module_path(tmp_path_factory):
    return str(tmp_path_factory.mktemp("programs") / "random.tnbc")


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(program=programs())
def test_random_programs_end_in_a_result_or_a_listed_error(module_path, program):
    units, functions = program
    with open(module_path, "wb") as f:
        f.write(build(units, functions))
    vm = VornVM()
    vm.load_bytecode(module_path)
    try:
        result = vm.execute()
    except RuntimeError as error:
        assert len(error.args) == 1
        message = error.args[0]
        assert message.startswith("Runtime error: "), message
        assert MESSAGE.fullmatch(message[len("Runtime error: "):]), message
    else:
        check_result(result)
    assert vm.instruction_count() >= 1
    # A second run continues from the state the first left, and is bounded
    # the same way.
    try:
        check_result(vm.execute())
    except RuntimeError as error:
        assert MESSAGE.fullmatch(error.args[0][len("Runtime error: "):]), error.args[0]


@pytest.mark.parametrize("size, message", [
    (2 ** 40, "Runtime error: Out of memory"),
    (-1, "Runtime error: Invalid operation: create array on type negative size: -1"),
    (2.0, "Runtime error: Type mismatch: expected integer, found float"),
])
def test_array_size_table(module_path, size, message):
    # The generator's NewArrayR unit, checked on its own.
    units = [[("LoadConstR", [SIZE_REG, ("const", size)]), ("NewArrayR", [0, SIZE_REG])]]
    with open(module_path, "wb") as f:
        f.write(build(units, []))
    vm = VornVM()
    vm.load_bytecode(module_path)
    with pytest.raises(RuntimeError) as failure:
        vm.execute()
    assert failure.value.args == (message,)
