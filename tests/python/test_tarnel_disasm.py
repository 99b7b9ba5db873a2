"""The disassembler: exact output and the forms it picks."""

from __future__ import annotations

import math
from pathlib import Path

import pytest
import tarnel
from tarnel import Constant, Instruction, Module, encode

ROOT = Path(__file__).resolve().parents[2]
GOLDEN = Path(__file__).resolve().parent / "golden"


def code_lines(text: str):
    """The lines that carry the program (no comments, no blank lines)."""
    out = []
    for line in text.splitlines():
        line = line.split(" ; ")[0].rstrip() if not line.startswith(";") else ""
        if line:
            out.append(line.strip())
    return out


def dis(module: Module) -> str:
    return tarnel.disassemble(encode(module))


def test_golden_fib():
    data = tarnel.assemble((ROOT / "examples" / "fib.tnasm").read_text("utf-8"))
    expected = (GOLDEN / "fib.tnasm.dis").read_text("utf-8")
    assert tarnel.disassemble(data) == expected
    assert tarnel.assemble(expected) == data


@pytest.mark.parametrize("path", sorted((ROOT / "examples").glob("*.tnasm")),
                         ids=lambda p: p.name)
def test_examples_round_trip(path):
    data = tarnel.assemble(path.read_text("utf-8"), str(path))
    assert tarnel.assemble(tarnel.disassemble(data)) == data


def test_header_comments_and_directives():
    text = dis(Module(name="m", version=3, flags=0x10))
    lines = text.splitlines()
    assert lines[0] == "; module file of 45 bytes"
    assert lines[1] == "; header: version 3, flags 0x00000010"
    assert lines[2] == "; sections: name at 28, constants at 33, functions at 37, " \
                       "instructions at 41"
    assert code_lines(text) == ['.module "m"', ".version 3", ".flags 0x10"]


def jumps(offsets, n_extra=0):
    code = [Instruction.make("JumpR", off) for off in offsets]
    code += [Instruction.make("Nop")] * n_extra
    return Module(instructions=code)


@pytest.mark.parametrize("offsets,lines", [
    ([0], ["L1:"]),                         # to the end of the list
    ([-1], ["L0:", "JumpR L0"]),            # to itself
    ([1], ["JumpR 1"]),                     # beyond the end: number kept
    ([-2], ["JumpR -2"]),                   # before the start: number kept
    ([2147483647, -2147483648], ["JumpR 2147483647", "JumpR -2147483648"]),
    ([1, -2, 0], ["L0:", "JumpR L2", "JumpR L0", "L2:", "JumpR L3", "L3:"]),
])
def test_jump_operands(offsets, lines):
    got = code_lines(dis(jumps(offsets)))
    for line in lines:
        assert line in got


def test_constants_literal_or_raw_index():
    consts = [Constant("int", 42), Constant("int", 42), Constant("float", -0.0),
              Constant("string", 'a"b\n'), Constant("bool", False), Constant("empty")]
    code = [Instruction.make("LoadConstR", 0, i) for i in (0, 1, 2, 3, 4, 5, 6, 999)]
    code.append(Instruction.make("LoadGlobalR", 1, 3))
    code.append(Instruction.make("StoreGlobalR", 1, 1))
    got = code_lines(dis(Module(constants=consts, instructions=code)))
    assert got[3:9] == [".const 0 42", ".const 1 42", ".const 2 -0.0", '.const 3 "a\\"b\\n"',
                        ".const 4 false", ".const 5 empty"]
    assert got[9:] == ["LoadConstR r0, 42", "LoadConstR r0, @1", "LoadConstR r0, -0.0",
                       'LoadConstR r0, "a\\"b\\n"', "LoadConstR r0, false",
                       "LoadConstR r0, empty", "LoadConstR r0, @6", "LoadConstR r0, @999",
                       'LoadGlobalR r1, "a\\"b\\n"', "StoreGlobalR r1, @1"]


@pytest.mark.parametrize("value,text", [
    (1.5, "1.5"), (1e16, "1e+16"), (-0.0, "-0.0"), (math.inf, "inf"), (-math.inf, "-inf"),
    (float("nan"), "nan"), (-float("nan"), "-nan"), (5e-324, "5e-324"),
])
def test_float_text(value, text):
    got = code_lines(dis(Module(constants=[Constant("float", value)])))
    assert got[-1] == ".const 0 %s" % text


@pytest.mark.parametrize("text,written", [
    ("plain", '"plain"'),
    ("tab\there", '"tab\\there"'),
    ("nul\0", '"nul\\0"'),
    ("back\\slash", '"back\\\\slash"'),
    ("e\u0301", '"e\\u{301}"'),          # combining mark: escaped
    ("caf\u00e9", '"caf\u00e9"'),        # printable letter: as is
    ("line\u2028sep", '"line\\u{2028}sep"'),
    ("bell\x07", '"bell\\u{7}"'),
    ("a b", '"a b"'),
])
def test_string_text(text, written):
    got = code_lines(dis(Module(constants=[Constant("string", text)])))
    assert got[-1] == ".const 0 %s" % written


@pytest.mark.parametrize("type_id,text", [(0, "empty"), (2, "int"), (6, "url"), (7, "7"),
                                          (65535, "65535")])
def test_type_operands(type_id, text):
    got = code_lines(dis(Module(instructions=[Instruction.make("CastR", 1, 2, type_id)])))
    assert got[-1] == "CastR r1, r2, %s" % text


def test_function_entries_keep_their_order():
    nops = [Instruction.make("Nop")] * 4
    funcs = [("b", 3), ("a", 1), ("main", 0), ("far", 99), ("end", 4), ("", 2),
             ("two words", 4), ("true", 4), ("b", 3)]
    m = Module(functions=funcs, instructions=nops)
    text = dis(m)
    got = [line for line in code_lines(text) if line.startswith(".func") or line == "Nop"]
    assert got == ["Nop", "Nop", "Nop",
                   ".func b", ".func a 1", ".func main 0", ".func far 99",
                   "Nop",
                   ".func end", '.func "" 2', '.func "two words"', '.func "true"',
                   ".func b 3"]
    assert tarnel.decode(tarnel.assemble(text)).functions == funcs


def test_notes_for_what_re_assembly_changes():
    data = bytearray(tarnel.assemble("ReturnR r7\n.const 0 true"))
    data[data.index(b"\x1a\x01\x07") + 1] = 5
    data[data.index(b"\x04\x01") + 1] = 2
    text = tarnel.disassemble(bytes(data) + b"xy")
    notes = [line for line in text.splitlines() if line.startswith("; note:")]
    assert notes == ["; note: 2 bytes after the instruction section are ignored",
                     "; note: constant 0: boolean stored as byte 2 (written back as 1)",
                     "; note: instruction 0: ReturnR presence byte 5 (written back as 1)"]
    assert tarnel.assemble(text) == tarnel.assemble("ReturnR r7\n.const 0 true")
