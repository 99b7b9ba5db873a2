"""Module file encoding and decoding, including every loader failure."""

from __future__ import annotations

import math
import struct
import tempfile
from pathlib import Path

import pytest
import tarnel
from hypothesis import given, settings
from hypothesis import strategies as st
from tarnel import Constant, DecodeError, Instruction, Module, decode, encode

EXAMPLE_83 = bytes.fromhex(
    "544E4243" "01000000" "00000000" "1C000000" "24000000" "38000000" "48000000"
    "04000000" "64656D6F"
    "02000000" "012A00000000000000" "03020000006869"
    "01000000" "040000006D61696E" "00000000"
    "02000000" "00000000" "1A0100")

EXAMPLE_SOURCE = """\
.module "demo"
.const 1 "hi"        ; in the pool though nothing uses it
.func main
    LoadConstR r0, 42
    ReturnR r0
"""


def header(o_name=28, o_const=28, o_func=28, o_code=28, version=1, flags=0, magic=b"TNBC"):
    return magic + struct.pack("<6I", version, flags, o_name, o_const, o_func, o_code)


def minimal() -> bytes:
    """All four sections read the same four zero bytes at offset 28."""
    return header() + b"\0\0\0\0"


def module_file(name=b"\0\0\0\0", consts=b"\0\0\0\0", funcs=b"\0\0\0\0", code=b"\0\0\0\0") -> bytes:
    o_name = 28
    o_const = o_name + len(name)
    o_func = o_const + len(consts)
    o_code = o_func + len(funcs)
    return header(o_name, o_const, o_func, o_code) + name + consts + funcs + code


def string(raw: bytes) -> bytes:
    return struct.pack("<I", len(raw)) + raw


def count(n: int) -> bytes:
    return struct.pack("<I", n)


def test_example_assembles_byte_for_byte():
    assert len(EXAMPLE_83) == 83
    assert tarnel.assemble(EXAMPLE_SOURCE) == EXAMPLE_83


def test_example_decodes():
    m = decode(EXAMPLE_83)
    assert (m.name, m.version, m.flags) == ("demo", 1, 0)
    assert m.constants == [Constant("int", 42), Constant("string", "hi")]
    assert m.functions == [("main", 0)]
    assert m.instructions == [Instruction.make("LoadConstR", 0, 0),
                              Instruction.make("ReturnR", 0)]
    assert m.layout.offsets == (28, 36, 56, 72)
    assert m.layout.canonical
    assert encode(m) == EXAMPLE_83


def test_minimal_module_is_valid():
    m = decode(minimal())
    assert m == Module(name="", version=1, flags=0)
    assert not m.layout.canonical     # the sections overlap


# Every failure of the loader's decoder, with the exact message.  The rows
# also pin the order of the checks.
BAD_UTF8 = [b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82", b"\xff", b"\x80"]

FAILURES = [
    ("23 bytes starting with magic", b"TNBC" + b"\0" * 19, "Invalid bytecode format"),
    ("empty file", b"", "Invalid bytecode format"),
    ("24 bytes, other magic", b"TNBX" + b"\0" * 20, "Invalid magic number"),
    ("24 bytes, right magic", b"TNBC" + b"\0" * 20, "Unexpected EOF"),
    ("27 bytes, right magic", b"TNBC" + b"\0" * 23, "Unexpected EOF"),
    ("magic is case sensitive", b"tnbc" + b"\0" * 28, "Invalid magic number"),
    ("name offset past end", header(o_name=33) + b"\0" * 4, "Invalid offset"),
    ("name offset at end", header(o_name=32) + b"\0" * 4, "Unexpected EOF"),
    ("name length past end", header() + count(5) + b"ab", "Unexpected EOF"),
    ("name invalid utf-8", header(o_const=999) + string(b"\xff"), "Invalid UTF-8"),
    ("constants offset past end", header(o_const=33) + b"\0" * 4, "Invalid offset"),
    ("constants offset at end", header(o_const=32) + b"\0" * 4, "Unexpected EOF"),
    ("constant tag 0", module_file(consts=count(1) + b"\x00"), "Invalid constant tag: 0"),
    ("constant tag 6", module_file(consts=count(1) + b"\x06"), "Invalid constant tag: 6"),
    ("constant tag 255", module_file(consts=count(1) + b"\xff"), "Invalid constant tag: 255"),
    ("constant tag missing", module_file(consts=count(1), funcs=b"", code=b""), "Unexpected EOF"),
    ("int payload short", header(o_const=32) + b"\0" * 4 + count(1) + b"\x01" + b"\0" * 7,
     "Unexpected EOF"),
    ("float payload short", header(o_const=32) + b"\0" * 4 + count(1) + b"\x02" + b"\0" * 3,
     "Unexpected EOF"),
    ("bool payload missing", header(o_const=32) + b"\0" * 4 + count(1) + b"\x04",
     "Unexpected EOF"),
    ("string constant invalid utf-8",
     module_file(consts=count(1) + b"\x03" + string(b"a\xed\xa0\x80")), "Invalid UTF-8"),
    ("functions offset past end", header(o_func=33) + b"\0" * 4, "Invalid offset"),
    ("function name invalid utf-8",
     module_file(funcs=count(1) + string(b"\xf4\x90\x80\x80") + count(0)), "Invalid UTF-8"),
    ("function entry point short",
     header(o_func=32) + b"\0" * 4 + count(1) + string(b"main") + b"\0\0", "Unexpected EOF"),
    ("instructions offset past end", header(o_code=33) + b"\0" * 4, "Invalid offset"),
    ("instruction count short", header(o_code=30) + b"\0" * 4, "Unexpected EOF"),
    ("opcode missing", module_file(code=count(1)), "Unexpected EOF"),
    ("opcode 27", module_file(code=count(1) + b"\x1b"), "Invalid opcode: 27"),
    ("opcode 28", module_file(code=count(1) + b"\x1c"), "Invalid opcode: 28"),
    ("opcode 29", module_file(code=count(1) + b"\x1d"), "Invalid opcode: 29"),
    ("opcode 30", module_file(code=count(1) + b"\x1e"), "Invalid opcode: 30"),
    ("opcode 50", module_file(code=count(1) + b"\x32"), "Invalid opcode: 50"),
    ("opcode 255", module_file(code=count(1) + b"\xff"), "Invalid opcode: 255"),
    ("CheckTypeR last byte missing", module_file(code=count(1) + b"\x05\x00\x01\x02"),
     "Unexpected EOF"),
    ("count 3, two instructions", module_file(code=count(3) + b"\x28\x28"), "Unexpected EOF"),
    ("CallR args cut short", module_file(code=count(1) + b"\x19\x03\x09\x02\x04"),
     "Unexpected EOF"),
    ("ReturnR register missing", module_file(code=count(1) + b"\x1a\x01"), "Unexpected EOF"),
    ("JumpR offset short", module_file(code=count(1) + b"\x16\xfe\xff"), "Unexpected EOF"),
    # order: the first failing section decides
    ("bad name before bad constants offset", header(o_const=999) + string(b"\xc0\xaf"),
     "Invalid UTF-8"),
    ("bad constant tag before bad functions offset",
     header(o_const=32, o_func=999) + b"\0" * 4 + count(1) + b"\x09", "Invalid constant tag: 9"),
    ("bad function name before bad opcode",
     header(o_func=32, o_code=40) + b"\0" * 4 + count(1) + string(b"\xff") + b"\xff\xff",
     "Invalid UTF-8"),
]


@pytest.mark.parametrize("data,message", [row[1:] for row in FAILURES],
                         ids=[row[0] for row in FAILURES])
def test_decode_failures(data, message):
    with pytest.raises(DecodeError) as info:
        decode(data)
    assert info.value.message == message
    assert str(info.value) == message
    # the disassembler refuses the same files with the same message
    with pytest.raises(DecodeError, match="^%s$" % message):
        tarnel.disassemble(data)


@pytest.mark.parametrize("raw", BAD_UTF8 + ["", "a\0b", "\u00e9", "\U0010ffff", "\ue000"])
def test_strict_utf8(raw):
    data = module_file(name=string(raw if isinstance(raw, bytes) else raw.encode("utf-8")))
    if isinstance(raw, bytes):
        with pytest.raises(DecodeError, match="^Invalid UTF-8$"):
            decode(data)
    else:
        assert decode(data).name == raw


INSTRUCTIONS = [
    (b"\x1a\x00", "ReturnR", (None,)),
    (b"\x1a\x05\x07", "ReturnR", (7,)),
    (b"\x1a\x01\x07", "ReturnR", (7,)),
    (b"\x19\x03\x09\x02\x04\x05", "CallR", (3, (4, 5), 9)),
    (b"\x19\x03\x09\x00", "CallR", (3, (), 9)),
    (b"\x16\xfe\xff\xff\xff", "JumpR", (-2,)),
    (b"\x00\x02\x05\x01", "LoadConstR", (2, 261)),
    (b"\x18\x04\x03\x00\x00\x00", "JumpIfNotR", (4, 3)),
    (b"\x05\x00\x05\x02\x00", "CheckTypeR", (0, 5, 2)),
    (b"\x23\x00\x01\x02", "ArraySetR", (0, 1, 2)),
    (b"\x27", "Halt", ()),
    (b"\x31\x01\x00", "DictLenR", (1, 0)),
]


@pytest.mark.parametrize("raw,name,operands", INSTRUCTIONS)
def test_decode_instruction(raw, name, operands):
    (ins,) = decode(module_file(code=count(1) + raw)).instructions
    assert (ins.name, ins.operands) == (name, operands)
    if raw[:2] != b"\x1a\x05":   # a presence byte of 5 is written back as 1
        assert tarnel.module.encode_instruction(ins) == raw


def test_duplicate_function_kept_in_order_last_wins():
    funcs = count(2) + string(b"main") + count(0) + string(b"main") + count(7)
    m = decode(module_file(funcs=funcs))
    assert m.functions == [("main", 0), ("main", 7)]
    assert m.function_map() == {"main": 7}
    assert m.entry_point() == 7
    assert encode(m) == module_file(funcs=funcs)


@pytest.mark.parametrize("a,b,equal", [
    (Constant("float", 0.0), Constant("float", -0.0), False),
    (Constant("float", math.nan), Constant("float", math.nan), True),
    (Constant("int", 1), Constant("bool", True), False),
    (Constant("int", 1), Constant("float", 1.0), False),
    (Constant("string", "a"), Constant("string", "a"), True),
    (Constant("empty"), Constant.of(None), True),
])
def test_constant_equality_by_kind_and_bits(a, b, equal):
    assert (a == b) is equal
    assert (hash(a) == hash(b)) or not equal


@pytest.mark.parametrize("name", ["PhiR", "AssertR", "ScopeEnterR", "ScopeExitR"])
def test_in_memory_kinds_cannot_be_encoded(name):
    info = {o.name: o for o in tarnel.OPCODES}[name]
    ins = Instruction(info.opcode, (0,) * len(info.operands))
    with pytest.raises(ValueError, match="no encoding"):
        encode(Module(instructions=[ins]))


ALLOWED = {"Invalid bytecode format", "Invalid magic number", "Unexpected EOF",
           "Invalid offset", "Invalid UTF-8"}


def _allowed(message: str) -> bool:
    if message in ALLOWED:
        return True
    for prefix in ("Invalid constant tag: ", "Invalid opcode: "):
        if message.startswith(prefix):
            return 0 <= int(message[len(prefix):]) <= 255
    return False


@settings(max_examples=400, deadline=None)
@given(st.binary(max_size=80), st.lists(st.integers(0, 90), min_size=4, max_size=4))
def test_arbitrary_bytes_decode_or_fail_cleanly(tail, offsets):
    data = header(*offsets) + tail
    try:
        m = decode(data)
    except DecodeError as exc:
        assert _allowed(exc.message), exc.message
        return
    if m.layout.canonical:
        assert encode(m) == data
    assert decode(encode(m)) == m


def vm_load_message(tarnel_vm, path, data: bytes):
    """The VM loader's verdict on `data`: None when it loads, else its message."""
    path.write_bytes(data)
    try:
        tarnel_vm.VornVM().load_bytecode(str(path))
    except RuntimeError as exc:
        prefix = "Failed to load bytecode: "
        assert str(exc).startswith(prefix)
        return str(exc)[len(prefix):]
    return None


@pytest.mark.parametrize("data,message", [row[1:] for row in FAILURES],
                         ids=[row[0] for row in FAILURES])
def test_vm_agrees_on_failures(data, message, tmp_path):
    tarnel_vm = pytest.importorskip("tarnel_vm")
    assert vm_load_message(tarnel_vm, tmp_path / "m.tnbc", data) == message


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=60), st.lists(st.integers(0, 70), min_size=4, max_size=4))
def test_vm_agrees_on_arbitrary_files(tail, offsets):
    tarnel_vm = pytest.importorskip("tarnel_vm")
    data = header(*offsets) + tail
    try:
        decode(data)
        ours = None
    except DecodeError as exc:
        ours = exc.message
    with tempfile.TemporaryDirectory() as tmp:
        assert vm_load_message(tarnel_vm, Path(tmp) / "m.tnbc", data) == ours
