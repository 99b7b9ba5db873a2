"""The assembler and the builder."""

from __future__ import annotations

import math
import struct
import time

import pytest
import tarnel
from tarnel import AssemblyError, Builder, BuildError, Constant, Instruction, assemble_module
from tarnel.module import float_bits


def body(src: str):
    """Instructions of a one-function program."""
    return assemble_module(src).instructions


def pool(src: str):
    return assemble_module(src).constants


# (source, line, column, message)
ERRORS = [
    ("AddR r1, r2", 1, 1, "AddR takes 3 operands (dst, left, right), got 2"),
    ("AddR r1, r2, r3, r4", 1, 1, "AddR takes 3 operands (dst, left, right), got 4"),
    ("Nop\n  Halt r1", 2, 3, "Halt takes no operands, got 1"),
    ("ReturnR r1, r2", 1, 1, "ReturnR takes at most one operand (src), got 2"),
    ("MoveR r1 r2", 1, 10, "missing ',' before 'r2'"),
    ("MoveR r1,, r2", 1, 10, "missing operand before ','"),
    ("MoveR r1, r2,", 1, 13, "missing operand after ','"),
    ("MoveR r1, r2 r3x", 1, 14, "unexpected 'r3x'"),
    ("addr r1, r2, r3", 1, 1, "unknown instruction 'addr' (did you mean 'AddR'?)"),
    ("Frob r1", 1, 1, "unknown instruction 'Frob'"),
    ("PhiR r1, []", 1, 1, "PhiR has no encoding in module files"),
    ("  AssertR r0", 1, 3, "AssertR has no encoding in module files"),
    ("ScopeEnterR 1", 1, 1, "ScopeEnterR has no encoding in module files"),
    ("ScopeExitR 1", 1, 1, "ScopeExitR has no encoding in module files"),
    ("MoveR r1, r256", 1, 11, "register out of range (r0..r255): r256"),
    ("MoveR r1, x", 1, 11, "expected a register (r0..r255), got 'x'"),
    ("MoveR r1, 5", 1, 11, "expected a register (r0..r255), got '5'"),
    ("LoadConstR r0, url", 1, 16, "URL constants cannot be stored in a module file"),
    ('LoadConstR r0, function "f"', 1, 16,
     "function constants cannot be stored in a module file"),
    (".const 0 url", 1, 10, "URL constants cannot be stored in a module file"),
    ("LoadGlobalR r0, counter", 1, 17,
     'expected a constant, got \'counter\' (strings are written in double quotes: "counter")'),
    ("LoadConstR r0, r5", 1, 16,
     "expected a constant, got 'r5' (a register cannot stand for a constant)"),
    ("LoadConstR r0, 9223372036854775808", 1, 16,
     "integer out of range -9223372036854775808..9223372036854775807: 9223372036854775808"),
    ("LoadConstR r0, -9223372036854775809", 1, 16,
     "integer out of range -9223372036854775808..9223372036854775807: -9223372036854775809"),
    ("LoadConstR r0, 0x8000000000000000", 1, 16,
     "integer out of range -9223372036854775808..9223372036854775807: 0x8000000000000000"),
    ("LoadConstR r0, 1e999", 1, 16, "float literal '1e999' is out of range (write inf)"),
    ("LoadConstR r0, 12abc", 1, 16, "invalid number '12abc'"),
    ("LoadConstR r0, 1.2.3", 1, 16, "invalid number '1.2.3'"),
    ('LoadConstR r0, "abc', 1, 16, "unterminated string"),
    ('LoadConstR r0, "abc\\', 1, 16, "unterminated string"),
    ('LoadConstR r0, "a\\q"', 1, 18, "unknown escape '\\q'"),
    ('LoadConstR r0, "\\u{d800}"', 1, 17, "\\u{d800} is not a Unicode scalar value"),
    ('LoadConstR r0, "\\u{110000}"', 1, 17, "\\u{110000} is not a Unicode scalar value"),
    ('LoadConstR r0, "\\u12"', 1, 17, "malformed \\u escape (write \\u{HEX})"),
    ("LoadConstR r0, @70000", 1, 16, "constant index out of range 0..65535: 70000"),
    ("LoadConstR r0, @x", 1, 16, "expected a constant index after '@', got '@x'"),
    ("LoadConstR r0, nan(0x7ff0000000000000)", 1, 20,
     "0x7ff0000000000000 is not the bit pattern of a NaN"),
    ("LoadConstR r0, nan(0x7ff8000000000001", 1, 38, "expected ')'"),
    ("LoadConstR r0", 1, 1, "LoadConstR takes 2 operands (dst, const_idx), got 1"),
    ("DefineR r0, array", 1, 13,
     "unknown type name 'array' (known: empty, bool, int, float, string, function, url)"),
    ("DefineR r0, 65536", 1, 13, "type id out of range 0..65535: 65536"),
    ("CastR r0, r1, -1", 1, 15, "type id out of range 0..65535: -1"),
    ("JumpR nowhere", 1, 7, "undefined label 'nowhere'"),
    ("JumpR 2147483648", 1, 7, "jump offset out of range -2147483648..2147483647: 2147483648"),
    ("JumpR r1", 1, 7, "expected a label or a jump offset, got register 'r1'"),
    ("JumpIfR r1, 1.5", 1, 13, "expected jump offset, got '1.5'"),
    ("CallR r1, [r2 r3], r4", 1, 15, "expected ',' or ']', got 'r3'"),
    ("CallR r1, r2, r4", 1, 11, "expected '[', got 'r2'"),
    ("CallR r1, [r2,], r4", 1, 15, "expected a register (r0..r255), got ']'"),
    ("CallR r1, [%s], r2" % ", ".join(["r0"] * 256), 1, 11,
     "CallR takes at most 255 arguments, got 256"),
    (".module demo", 1, 9, "expected the module name in double quotes, got 'demo'"),
    ('.module "a"\n\n.module "b"', 3, 1, ".module is already given on line 1"),
    (".version 1\n.version 2", 2, 1, ".version is already given on line 1"),
    (".version -1", 1, 10, "version out of range 0..4294967295: -1"),
    (".version 4294967296", 1, 10, "version out of range 0..4294967295: 4294967296"),
    (".flags", 1, 7, "expected a flags value"),
    (".flags 1 2", 1, 10, "unexpected '2'"),
    (".bogus", 1, 1, "unknown directive '.bogus'"),
    (".const 0 1\n.const 0 2", 2, 1, "constant index 0 is already taken"),
    ("Nop\n.const 1 5", 2, 1, "no constant at index 0 (the pool cannot have gaps)"),
    (".const 0 @1", 1, 10, "a raw constant index cannot be used here"),
    (".const x 1", 1, 8, "expected constant index, got 'x'"),
    (".func", 1, 6, "expected a function name"),
    (".func 12", 1, 7, "expected a function name, got '12'"),
    (".func main 4294967296", 1, 12, "entry point out of range 0..4294967295: 4294967296"),
    ("loop:\nNop\nloop: Nop", 3, 1, "label 'loop' is already defined on line 1"),
    ("r1: Nop", 1, 1, "label 'r1' would read as a register"),
    ("5: Nop", 1, 1, "expected a label name, got '5'"),
    ("Nop ~", 1, 5, "unexpected character '~'"),
    ("42", 1, 1, "expected an instruction or directive, got '42'"),
    ("; fine\n# fine\n\tMoveR r1, r2 ; ok\n\tMoveR r1, rr", 4, 12,
     "expected a register (r0..r255), got 'rr'"),
    ("Nop\r\nMoveR r1, r999\r\n", 2, 11, "register out of range (r0..r255): r999"),
]


@pytest.mark.parametrize("src,line,column,message", ERRORS)
def test_assembly_errors(src, line, column, message):
    with pytest.raises(AssemblyError) as info:
        tarnel.assemble(src, "prog.tnasm")
    err = info.value
    assert (err.message, err.line, err.column) == (message, line, column)
    assert str(err) == "prog.tnasm:%d:%d: %s" % (line, column, message)
    assert err.filename == "prog.tnasm"


def test_default_filename():
    with pytest.raises(AssemblyError, match=r"^<string>:1:1: unknown instruction 'X'$"):
        tarnel.assemble("X")


INT, FLOAT, STR, BOOL = "int", "float", "string", "bool"

LITERALS = [
    ("0", INT, 0),
    ("-17", INT, -17),
    ("+5", INT, 5),
    ("0x2A", INT, 42),
    ("-0x10", INT, -16),
    ("9223372036854775807", INT, 2 ** 63 - 1),
    ("-9223372036854775808", INT, -2 ** 63),
    ("-0x8000000000000000", INT, -2 ** 63),
    ("1.5", FLOAT, 1.5),
    ("1e16", FLOAT, 1e16),
    ("1E-5", FLOAT, 1e-5),
    ("2.", FLOAT, 2.0),
    ("-2.5e+3", FLOAT, -2500.0),
    ("5e-324", FLOAT, 5e-324),
    ('""', STR, ""),
    ('"hi there"', STR, "hi there"),
    ('"a;b#c"', STR, "a;b#c"),
    (r'"\n\t\r\0\"\\"', STR, "\n\t\r\0\"\\"),
    (r'"\u{301}\u{1F600}\u{0}"', STR, "\u0301\U0001F600\0"),
    ('"caf\u00e9"', STR, "caf\u00e9"),
    ("true", BOOL, True),
    ("false", BOOL, False),
]


@pytest.mark.parametrize("text,kind,value", LITERALS)
def test_literals(text, kind, value):
    consts = pool("LoadConstR r0, %s" % text)
    assert consts == [Constant(kind, value)]


@pytest.mark.parametrize("text,bits", [
    ("-0.0", 0x8000000000000000),
    ("0.0", 0),
    ("inf", 0x7FF0000000000000),
    ("+inf", 0x7FF0000000000000),
    ("-inf", 0xFFF0000000000000),
    ("nan", 0x7FF8000000000000),
    ("-nan", 0xFFF8000000000000),
    ("nan(0x7ff0000000000001)", 0x7FF0000000000001),
    ("nan(0xFFFFFFFFFFFFFFFF)", 0xFFFFFFFFFFFFFFFF),
])
def test_float_bits(text, bits):
    (const,) = pool("LoadConstR r0, %s" % text)
    assert const.kind == "float" and float_bits(const.value) == bits


def test_empty_literal():
    assert pool("LoadConstR r0, empty") == [Constant("empty")]


def test_identical_constants_pooled_once():
    src = """
        LoadConstR r0, 42
        LoadConstR r1, 0x2a
        LoadConstR r2, "x"
        LoadGlobalR r3, "x"
        StoreGlobalR r3, "x"
        LoadConstR r4, 1
        LoadConstR r5, true
        LoadConstR r6, 1.0
        LoadConstR r7, 0.0
        LoadConstR r8, -0.0
        LoadConstR r9, nan
        LoadConstR r10, nan
    """
    m = assemble_module(src)
    assert m.constants == [Constant("int", 42), Constant("string", "x"), Constant("int", 1),
                           Constant("bool", True), Constant("float", 1.0),
                           Constant("float", 0.0), Constant("float", -0.0),
                           Constant("float", math.nan)]
    idx = [ins.operands[1] for ins in m.instructions]
    assert idx == [0, 0, 1, 1, 1, 2, 3, 4, 5, 6, 7, 7]


def test_const_directive_places_constants_and_literals_fill_gaps():
    src = """
        LoadConstR r0, 7          ; goes to the first free slot, 0
        LoadConstR r1, "two"      ; already at 2 (directive below)
        LoadConstR r2, 8          ; next free slot, 1
        LoadConstR r3, @2
        .const 2 "two"
        .const 3 "two"            ; a duplicate on purpose
        LoadConstR r4, @3
    """
    m = assemble_module(src)
    assert m.constants == [Constant("int", 7), Constant("int", 8), Constant("string", "two"),
                           Constant("string", "two")]
    assert [ins.operands[1] for ins in m.instructions] == [0, 2, 1, 2, 3]


def test_raw_index_beyond_pool_is_allowed():
    m = assemble_module("LoadConstR r0, @65535")
    assert m.constants == [] and m.instructions[0].operands == (0, 65535)


def test_labels_and_offsets():
    src = """
    top:
        Nop                     ; 0
        JumpR end               ; 1 -> 6: offset 4
        JumpIfR r1, top         ; 2 -> 0: offset -3
    mid: JumpIfNotR r2, mid     ; 3 -> 3: offset -1
        JumpR 0                 ; 4
        JumpR -7                ; 5
    end:
    """
    ins = body(src)
    offsets = [i.operands[-1] for i in ins[1:]]
    assert offsets == [4, -3, -1, 0, -7]


def test_label_at_end_and_several_labels_on_a_line():
    ins = body("JumpR done\na: b: Nop\nJumpR a\nJumpR b\ndone:")
    assert [i.operands[-1] for i in ins if i.name == "JumpR"] == [3, -2, -3]


def test_module_directives_and_function_entries():
    src = """
        .module "m"
        .version 7
        .flags 0xdeadbeef
        .func main
        Nop
        .func helper
        .func "odd name"
        Halt
        .func main            ; duplicate on purpose: both are written
        .func gone 999
    """
    m = assemble_module(src)
    assert (m.name, m.version, m.flags) == ("m", 7, 0xDEADBEEF)
    assert m.functions == [("main", 0), ("helper", 1), ("odd name", 1), ("main", 2),
                           ("gone", 999)]
    assert tarnel.decode(tarnel.encode(m)).functions == m.functions


def test_defaults_and_bom():
    data = tarnel.assemble("\ufeff")
    assert data == b"TNBC" + struct.pack("<6I", 1, 0, 28, 32, 36, 40) + b"\0" * 16


# ------------------------------------------------------------------ builder

def test_builder_example():
    b = Builder()
    b.func("main")
    r = b.const(42)
    b.emit("LoadConstR", 0, b.const(42))
    b.label("loop")
    b.emit("JumpR", "loop")
    m = b.module()
    assert r == 0
    assert m.instructions == [Instruction.make("LoadConstR", 0, 0), Instruction.make("JumpR", -1)]
    assert tarnel.decode(b.build()) == m


def test_builder_forward_label_and_constants():
    b = Builder()
    b.emit("JumpIfR", 1, "end")
    b.emit("DefineR", 2, "string")
    b.emit("LoadGlobalR", 0, Constant("string", "g"))
    b.label("end")
    m = b.module()
    assert m.instructions[0].operands == (1, 2)
    assert m.instructions[1].operands == (2, 4)
    assert m.constants == [Constant("string", "g")]


@pytest.mark.parametrize("call,message", [
    (lambda b: b.emit("AddR", 1, 2), "AddR takes 3 operands (dst, left, right), got 2"),
    (lambda b: b.emit("PhiR", 0, []), "PhiR has no encoding in module files"),
    (lambda b: b.emit("MoveR", 0, 256), "register out of range 0..255: 256"),
    (lambda b: b.emit("DefineR", 0, "array"), "unknown type name 'array'"),
    (lambda b: b.emit("LoadConstR", 0, 70000), "constant index out of range 0..65535: 70000"),
    (lambda b: b.emit("JumpR", 2 ** 31), "jump offset out of range -2147483648..2147483647: "
                                         "2147483648"),
    (lambda b: b.emit("CallR", 0, [1] * 256, 2), "CallR takes at most 255 arguments, got 256"),
    (lambda b: (b.label("x"), b.label("x")), "label 'x' is already defined"),
    (lambda b: (b.emit("JumpR", "nowhere"), b.module()), "undefined label 'nowhere'"),
    (lambda b: (b.const_at(2, 1), b.module()), "no constant at index 0 (the pool cannot have gaps)"),
    (lambda b: (b.const_at(0, 1), b.const_at(0, 2)), "constant index 0 is already taken"),
    (lambda b: b.const(2 ** 63), "integer constant out of 64-bit range: 9223372036854775808"),
    (lambda b: b.func("f", -1), "entry point out of range 0..4294967295: -1"),
])
def test_builder_errors(call, message):
    with pytest.raises(BuildError) as info:
        call(Builder())
    assert info.value.message == message


# Integer literals far too long for any operand, in every place a number is
# read: Python refuses to convert more than 4,300 digits, and the assembler
# must report a located error instead of failing with ValueError.
HUGE = "9" * 5000

LONG_LITERALS = [
    ("MoveR r%s, r1" % HUGE, 7, "register out of range (r0..r255)"),
    ("JumpR %s" % HUGE, 7, "jump offset out of range"),
    ("JumpR -%s" % HUGE, 7, "jump offset out of range"),
    ("LoadConstR r0, %s" % HUGE, 16, "integer out of range"),
    ("LoadConstR r0, -%s" % HUGE, 16, "integer out of range"),
    ("LoadConstR r0, 0x%s" % ("f" * 5000), 16, "integer out of range"),
    ("LoadConstR r0, @%s" % HUGE, 16, "constant index out of range"),
    ("LoadConstR r0, nan(%s)" % HUGE, 20, "NaN bits out of range"),
    ("CastR r0, r1, %s" % HUGE, 15, "type id out of range"),
    (".const %s 1" % HUGE, 8, "constant index out of range"),
    (".const 0 %s" % HUGE, 10, "integer out of range"),
    (".version %s" % HUGE, 10, "version out of range"),
    (".flags %s" % HUGE, 8, "flags out of range"),
    (".func main %s" % HUGE, 12, "entry point out of range"),
]


@pytest.mark.parametrize("src,column,start", LONG_LITERALS,
                         ids=[src.split()[0] + str(i) for i, (src, _, _) in enumerate(LONG_LITERALS)])
def test_overlong_literals_are_located_errors(src, column, start):
    with pytest.raises(AssemblyError) as info:
        tarnel.assemble("Nop\n" + src)
    err = info.value
    assert (err.line, err.column) == (2, column)
    assert err.message.startswith(start)
    assert len(err.message) < 200   # the literal is shortened in the message


def test_long_float_literals_still_read():
    digits = "1" * 5000
    assert pool("LoadConstR r0, 0.%s" % digits)[0].value == float("0." + digits)


def _best_time(action, runs=3):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return min(times)


def test_many_labels_on_one_line_assemble_in_linear_time():
    # Eight times the labels must cost about eight times the time; slicing
    # the token list per label made it sixty-four times.
    def source(n):
        return " ".join("l%d:" % i for i in range(n)) + " Nop\n"
    small, large = source(2000), source(16000)
    ratio = _best_time(lambda: tarnel.assemble(large)) / _best_time(lambda: tarnel.assemble(small))
    assert ratio < 24
