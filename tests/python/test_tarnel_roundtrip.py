"""Property tests: module -> bytes -> text -> bytes gives the same bytes."""

from __future__ import annotations

import random
import struct

from hypothesis import HealthCheck, given, settings, strategies as st

import tarnel
from tarnel import Constant, Instruction, Module, decode, encode
from tarnel import opcodes as oc
from tarnel.module import float_from_bits

TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12)

CONSTANTS = st.one_of(
    st.integers(-2 ** 63, 2 ** 63 - 1).map(lambda v: Constant("int", v)),
    st.integers(0, 2 ** 64 - 1).map(lambda b: Constant("float", float_from_bits(b))),
    st.sampled_from([0.0, -0.0, 1.5, 1e16, 1e-5, float("inf"), float("-inf"), float("nan")])
      .map(lambda v: Constant("float", v)),
    TEXT.map(lambda s: Constant("string", s)),
    st.sampled_from(["main", "f", "x", ""]).map(lambda s: Constant("string", s)),
    st.booleans().map(lambda v: Constant("bool", v)),
    st.just(Constant("empty")),
)

REG = st.integers(0, 255)


@st.composite
def instructions(draw, n_consts: int, n_code: int):
    info = draw(st.sampled_from(oc.ENCODABLE))
    ops = []
    for op in info.operands:
        kind = op.kind
        if kind == oc.REG:
            ops.append(draw(REG))
        elif kind == oc.REGS:
            ops.append(tuple(draw(st.lists(REG, max_size=20))))
        elif kind == oc.OPTREG:
            ops.append(draw(st.none() | REG))
        elif kind in (oc.CONST, oc.NAME):
            ops.append(draw(st.integers(0, n_consts + 1) | st.integers(0, 0xFFFF)))
        elif kind == oc.TYPE:
            ops.append(draw(st.integers(0, 8) | st.integers(0, 0xFFFF)))
        elif kind == oc.OFFSET:
            ops.append(draw(st.integers(-n_code - 2, n_code + 1)
                            | st.integers(-2 ** 31, 2 ** 31 - 1)))
    return Instruction(info.opcode, tuple(ops))


@st.composite
def modules(draw):
    consts = draw(st.lists(CONSTANTS, max_size=8))
    n_code = draw(st.integers(0, 14))
    code = [draw(instructions(len(consts), n_code)) for _ in range(n_code)]
    names = st.sampled_from(["main", "f", "g", "", "odd name", "true", "r1", "a.b"]) | TEXT
    entries = st.integers(0, n_code + 1) | st.integers(0, 2 ** 32 - 1)
    funcs = draw(st.lists(st.tuples(names, entries), max_size=5))
    return Module(name=draw(TEXT), version=draw(st.integers(0, 2 ** 32 - 1)),
                  flags=draw(st.integers(0, 2 ** 32 - 1)), constants=consts,
                  functions=funcs, instructions=code)


def random_module(rng: random.Random) -> Module:
    """A module drawn from ``rng``: cheaper than composing strategies, so the
    seeded tests below can try many more programs in the same time."""
    def text() -> str:
        pick = rng.random()
        if pick < 0.3:
            return rng.choice(["main", "f", "", "odd name", "true", "r1", "a.b", "x\ny"])
        chars = []
        for _ in range(rng.randrange(8)):
            c = rng.choice([rng.randrange(32, 127), rng.randrange(0, 32),
                            rng.randrange(0x80, 0xD800), rng.randrange(0xE000, 0x110000),
                            0x2028, 0x301, 0x85, ord('"'), ord("\\")])
            chars.append(chr(c))
        return "".join(chars)

    def const() -> Constant:
        kind = rng.randrange(7)
        if kind == 0:
            return Constant("int", rng.choice([0, 1, -1, 2 ** 63 - 1, -2 ** 63,
                                               rng.randrange(-2 ** 63, 2 ** 63)]))
        if kind == 1:
            return Constant("float", float_from_bits(rng.getrandbits(64)))
        if kind == 2:
            return Constant("float", rng.choice([0.0, -0.0, 1.5, 1e16, 1e-5, 0.1,
                                                 float("inf"), float("-inf"), float("nan")]))
        if kind in (3, 4):
            return Constant("string", text())
        if kind == 5:
            return Constant("bool", rng.random() < 0.5)
        return Constant("empty")

    consts = [const() for _ in range(rng.randrange(10))]
    if consts and rng.random() < 0.3:
        consts.append(rng.choice(consts))          # an equal constant twice
    n_code = rng.randrange(20)
    code = []
    for _ in range(n_code):
        info = rng.choice(oc.ENCODABLE)
        ops = []
        for op in info.operands:
            kind = op.kind
            if kind == oc.REG:
                ops.append(rng.randrange(256))
            elif kind == oc.REGS:
                ops.append(tuple(rng.randrange(256) for _ in range(rng.choice([0, 1, 3, 17]))))
            elif kind == oc.OPTREG:
                ops.append(None if rng.random() < 0.4 else rng.randrange(256))
            elif kind in (oc.CONST, oc.NAME):
                ops.append(rng.randrange(len(consts) + 2) if rng.random() < 0.9
                           else rng.randrange(0x10000))
            elif kind == oc.TYPE:
                ops.append(rng.randrange(9) if rng.random() < 0.9 else rng.randrange(0x10000))
            else:
                ops.append(rng.randrange(-n_code - 2, n_code + 2) if rng.random() < 0.9
                           else rng.randrange(-2 ** 31, 2 ** 31))
        code.append(Instruction(info.opcode, tuple(ops)))
    funcs = [(text(), rng.randrange(n_code + 2) if rng.random() < 0.8
              else rng.randrange(2 ** 32)) for _ in range(rng.randrange(5))]
    return Module(name=text(), version=rng.choice([1, 0, rng.getrandbits(32)]),
                  flags=rng.choice([0, rng.getrandbits(32)]), constants=consts,
                  functions=funcs, instructions=code)


def _sections(data: bytes):
    lay = decode(data).layout
    return [data[lay.name_offset:lay.name_end], data[lay.constants_offset:lay.constants_end],
            data[lay.functions_offset:lay.functions_end],
            data[lay.instructions_offset:lay.instructions_end]]


def relayout(data: bytes, order, gaps) -> bytes:
    """The same module with its sections in another order, with gaps."""
    parts = _sections(data)
    body = bytearray()
    offsets = [0] * 4
    for i, which in enumerate(order):
        body += gaps[i]
        offsets[which] = 28 + len(body)
        body += parts[which]
    body += gaps[4]
    return data[:12] + struct.pack("<4I", *offsets) + bytes(body)


def check_round_trip(module: Module, order=(0, 1, 2, 3), gaps=(b"",) * 5) -> None:
    data = encode(module)
    back = decode(data)
    assert back == module and back.layout.canonical
    text = tarnel.disassemble(data)
    assert tarnel.assemble(text, "roundtrip.tnasm") == data
    moved = relayout(data, order, gaps)
    again = decode(moved)
    assert again == module
    assert again.layout.canonical == (moved == data)
    # only the header comments differ, so the text assembles to `data` too
    assert _code(tarnel.disassemble(moved)) == _code(text)


def _code(text: str):
    return [line for line in text.splitlines() if line and not line.startswith(";")]


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(modules(), st.permutations(range(4)),
       st.lists(st.binary(max_size=5), min_size=5, max_size=5))
def test_round_trip(module, order, gaps):
    check_round_trip(module, order, gaps)


@settings(max_examples=1000, deadline=None)
@given(st.integers(0, 2 ** 64 - 1))
def test_round_trip_seeded(seed):
    rng = random.Random(seed)
    order = list(range(4))
    rng.shuffle(order)
    gaps = [bytes(rng.randrange(256) for _ in range(rng.randrange(4))) for _ in range(5)]
    check_round_trip(random_module(rng), order, gaps)
