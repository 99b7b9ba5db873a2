"""The bulk paths of the tools (runs of one instruction, repeated source
lines) give what instruction-at-a-time work gives."""

from __future__ import annotations

import struct
import sys

import pytest
from tarnel import Builder, DecodeError, assemble, decode, disassemble, encode
from tarnel.module import Instruction, Module

disasm = sys.modules["tarnel.disasm"]
module_code = sys.modules["tarnel.module"]

NOP = Instruction.make("Nop")
HALT = Instruction.make("Halt")
ADD = Instruction.make("AddR", 1, 2, 3)
ADD2 = Instruction.make("AddR", 1, 2, 4)


@pytest.mark.parametrize("a,b", [(0, 0), (0, 1), (0, 10), (0, 11), (3, 9), (9, 21), (10, 20),
                                 (95, 105), (99, 101), (100, 100), (7, 1234), (99, 201), (100, 300),
                                 (250, 250), (999_990, 1_000_013), (16_380, 32_769)])
def test_numbered_lines_are_the_lines_one_by_one(a, b):
    text = "    Nop".ljust(disasm.COMMENT_COLUMN)
    assert disasm.numbered_lines(text, a, b) == "".join("%s ; %d\n" % (text, i) for i in range(a, b))


def file_of(code, count=None):
    """A module file whose instruction section holds ``code``, announcing ``count`` instructions."""
    data = encode(Module("m", 1, 0, [], [], code))
    if count is not None:
        at = struct.unpack("<I", data[24:28])[0]
        data = data[:at] + struct.pack("<I", count) + data[at + 4:]
    return data


@pytest.mark.parametrize("code", [
    [NOP] * 1000,
    [NOP] * 5 + [HALT] + [NOP] * 7,
    [ADD] * 33 + [ADD2] * 2 + [ADD] * 64,
    [ADD, ADD2] * 40,
    [NOP, HALT] * 50 + [HALT] * 3,
    [HALT] * 1 + [ADD] * 1,
])
def test_runs_decode_like_single_instructions(code):
    assert decode(file_of(code)).instructions == code


@pytest.mark.parametrize("code,count,message", [
    ([NOP] * 100, 60, None),              # a run longer than the count stops at the count
    ([NOP] * 100, 101, "Unexpected EOF"),
    ([ADD] * 50, 49, None),
    ([ADD] * 50, 51, "Unexpected EOF"),
])
def test_runs_stop_at_the_count(code, count, message):
    data = file_of(code, count)
    if message is None:
        module = decode(data)
        assert module.instructions == code[:count]
        assert "bytes after the instruction section are ignored" in module.layout.notes[0]
    else:
        with pytest.raises(DecodeError, match=message):
            decode(data)


def test_a_run_cut_by_the_end_of_the_file():
    data = file_of([ADD] * 40)
    with pytest.raises(DecodeError, match="Unexpected EOF"):
        decode(data[:-2])


def test_encoding_repeated_objects_matches_distinct_ones():
    shared = [ADD] * 30 + [NOP] * 30
    distinct = [Instruction.make("AddR", 1, 2, 3) for _ in range(30)] + \
        [Instruction.make("Nop") for _ in range(30)]
    assert file_of(shared) == file_of(distinct)


@pytest.mark.parametrize("source", [
    # a repeated line pools its constant once, wherever it stands
    'LoadConstR r0, "x"\nLoadConstR r1, 2\nLoadConstR r0, "x"\nLoadConstR r0, "x" ; again',
    # a repeated jump line jumps from where it stands
    "top:\nJumpIfR r0, top\nNop\nJumpIfR r0, top\nJumpIfR r0, top\nend: JumpIfR r0, top",
    # a repeated line after a label, with the label on its own line or before it
    "a: Nop\nNop\nb:\nNop\n c: Nop ; x",
    # '#' and ';' start comments; in a string they do not
    'LoadConstR r0, "a;b#c" ; x\nLoadConstR r0, "a;b#c"\nNop # y\nNop;z',
])
def test_repeated_source_lines_assemble_like_their_first(source):
    # The same program with every line made distinct by its indentation.
    text = "\n".join(" " * i + line for i, line in enumerate(source.split("\n")))
    assert assemble(source) == assemble(text)


def test_emit_same_refuses_an_instruction_with_label_operands():
    b = Builder()
    b.label("top")
    b.emit("JumpR", "top")
    b.emit("Nop")
    assert b.emit_same(1) == 2
    with pytest.raises(ValueError):
        b.emit_same(0)
    module = b.module()
    assert module.instructions[1] is module.instructions[2]
    assert module.instructions[0].operands == (-1,)


def test_the_listing_of_a_run_around_labels_and_entries():
    b = Builder("m")
    b.func("main")
    for _ in range(25):
        b.emit("Nop")
    b.label("mid")
    b.func("g")
    for _ in range(25):
        b.emit("Nop")
    b.emit("JumpR", "mid")
    lines = disassemble(b.build()).split("\n")
    body = [line for line in lines if line.startswith("    ")]
    assert [int(line.rsplit(" ; ", 1)[1]) for line in body] == list(range(51))
    assert lines.index("L25:") == lines.index(".func g") + 1
    assert lines[lines.index("L25:") + 1].endswith(" ; 25")
    assert body[-1].startswith("    JumpR L25")
    assert module_code.opcode_bytes(decode(b.build()).instructions) == bytes([40] * 50 + [22])


@pytest.mark.parametrize("text", ["", "\n", "a", "a\n", "ab\ncd", "ab\r\ncd\r\n", "\n\n\nabc\n\nd",
                                  "abcdefgh\nij\nklmnopq\n", "x" * 20 + "\n" + "y" * 3])
@pytest.mark.parametrize("block", [1, 3, 1 << 20])
def test_source_lines_are_split_a_block_at_a_time(monkeypatch, text, block):
    asm = sys.modules["tarnel.asm"]
    monkeypatch.setattr(asm, "_LINES_BLOCK", block)
    assert list(asm._lines(text)) == text.split("\n")
