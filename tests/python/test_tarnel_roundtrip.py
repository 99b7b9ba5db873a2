"""Property tests: module -> bytes -> text -> bytes gives the same bytes."""

from __future__ import annotations

import random
import struct

import tarnel
from hypothesis import given, settings
from hypothesis import strategies as st
from tarnel import Constant, Instruction, Module, decode, encode
from tarnel import opcodes as oc
from tarnel.module import float_from_bits


def random_module(rng: random.Random) -> Module:
    """A module drawn from ``rng`` (cheaper than composed strategies, so many
    more programs fit in the same time)."""
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


@settings(max_examples=1200, deadline=None)
@given(st.integers(0, 2 ** 64 - 1))
def test_round_trip_seeded(seed):
    rng = random.Random(seed)
    order = list(range(4))
    rng.shuffle(order)
    gaps = [bytes(rng.randrange(256) for _ in range(rng.randrange(4))) for _ in range(5)]
    check_round_trip(random_module(rng), order, gaps)
