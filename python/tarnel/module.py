"""Modules in memory, and their file form.

:func:`encode` writes the canonical layout (header, then name, constant
pool, function table and instruction section back to back).  :func:`decode`
reads any file the VM's loader accepts, applies the same checks in the
same order and fails with the same messages.
"""

from __future__ import annotations

import re
import struct
from dataclasses import dataclass, field
from itertools import repeat
from operator import attrgetter
from typing import Dict, Iterable, List, Optional, Sequence, Tuple

from . import opcodes as oc

MAGIC = b"TNBC"
HEADER_SIZE = 28

# Constant kinds that a module file can hold, with their file tags.
INT, FLOAT, STRING, BOOL, EMPTY = "int", "float", "string", "bool", "empty"
CONST_TAGS = {INT: 1, FLOAT: 2, STRING: 3, BOOL: 4, EMPTY: 5}
TAG_KINDS = {tag: kind for kind, tag in CONST_TAGS.items()}

I64_MIN, I64_MAX = -(1 << 63), (1 << 63) - 1
U32_MAX = (1 << 32) - 1
I32_MIN, I32_MAX = -(1 << 31), (1 << 31) - 1
U16_MAX = 0xFFFF


class DecodeError(Exception):
    """A module file the VM would refuse; ``message`` is the loader's text."""

    def __init__(self, message: str):
        super().__init__(message)
        self.message = message


def float_bits(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def float_from_bits(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


class Constant:
    """One entry of the constant pool.

    Two constants are equal when they have the same kind and value; floats
    compare by their bits, so ``-0.0`` differs from ``0.0`` and a NaN equals
    a NaN with the same bits.
    """

    __slots__ = ("kind", "value")

    def __init__(self, kind: str, value=None):
        if kind not in CONST_TAGS:
            raise ValueError("unknown constant kind %r" % (kind,))
        if kind == INT:
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError("integer constant needs an int")
            if not I64_MIN <= value <= I64_MAX:
                raise ValueError("integer constant out of 64-bit range: %d" % value)
        elif kind == FLOAT:
            value = float(value)
        elif kind == STRING:
            if not isinstance(value, str):
                raise TypeError("string constant needs a str")
            value.encode("utf-8")  # rejects lone surrogates
        elif kind == BOOL:
            value = bool(value)
        else:
            value = None
        self.kind = kind
        self.value = value

    @classmethod
    def of(cls, value) -> "Constant":
        """The constant for a Python value (None is the empty constant)."""
        if isinstance(value, Constant):
            return value
        if value is None:
            return cls(EMPTY)
        if isinstance(value, bool):
            return cls(BOOL, value)
        if isinstance(value, int):
            return cls(INT, value)
        if isinstance(value, float):
            return cls(FLOAT, value)
        if isinstance(value, str):
            return cls(STRING, value)
        raise TypeError("no constant kind for %r" % (value,))

    def key(self):
        if self.kind == FLOAT:
            return (FLOAT, float_bits(self.value))
        return (self.kind, self.value)

    def __eq__(self, other):
        return isinstance(other, Constant) and self.key() == other.key()

    def __hash__(self):
        return hash(self.key())

    def __repr__(self):
        if self.kind == EMPTY:
            return "Constant(empty)"
        return "Constant(%s, %r)" % (self.kind, self.value)


class Instruction:
    """An instruction: opcode plus operands in declared order.

    Register lists (CallR ``args``, PhiR ``sources``) are tuples; the
    optional ``src`` of ReturnR is ``None`` when absent.
    """

    __slots__ = ("opcode", "operands")

    def __init__(self, opcode: int, operands: tuple = ()):
        self.opcode = opcode
        self.operands = tuple(operands)

    @classmethod
    def make(cls, name: str, *operands) -> "Instruction":
        info = oc.BY_NAME[name]
        ops = list(operands)
        if name == "ReturnR" and not ops:
            ops = [None]
        if name == "CallR" and len(ops) == 3:
            ops[1] = tuple(ops[1])
        if len(ops) != len(info.operands):
            raise ValueError("%s takes %d operands" % (name, len(info.operands)))
        return cls(info.opcode, tuple(ops))

    @property
    def info(self) -> oc.OpInfo:
        return oc.BY_OPCODE[self.opcode]

    @property
    def name(self) -> str:
        return self.info.name

    def get(self, operand: str):
        return self.operands[self.info.index_of(operand)]

    def debug_text(self) -> str:
        """The one-line debug form, e.g. ``AddR { dst: 2, left: 0, right: 1 }``."""
        info = self.info
        if not info.operands:
            return info.name
        items = []
        for op, value in zip(info.operands, self.operands):
            if op.kind == oc.REGS:
                text = "[" + ", ".join(str(v) for v in value) + "]"
            elif op.kind == oc.OPTREG:
                text = "None" if value is None else "Some(%d)" % value
            elif op.kind == oc.PHI:
                text = "[" + ", ".join("(%d, %d)" % p for p in value) + "]"
            elif op.kind == oc.ASSERT:
                text = value if isinstance(value, str) else \
                    "Range { min: %d, max: %d }" % tuple(value)
            else:
                text = str(value)
            items.append("%s: %s" % (op.name, text))
        return "%s { %s }" % (info.name, ", ".join(items))

    def __eq__(self, other):
        return (isinstance(other, Instruction) and self.opcode == other.opcode
                and self.operands == other.operands)

    def __hash__(self):
        return hash((self.opcode, self.operands))

    def __repr__(self):
        return "Instruction(%s)" % self.debug_text()


@dataclass
class Layout:
    """Where the sections of a decoded file were, and what re-encoding loses."""

    length: int
    name_offset: int
    constants_offset: int
    functions_offset: int
    instructions_offset: int
    # end position of each section (exclusive)
    name_end: int = 0
    constants_end: int = 0
    functions_end: int = 0
    instructions_end: int = 0
    #: Things in the file that :func:`encode` writes differently.
    notes: List[str] = field(default_factory=list)

    @property
    def offsets(self) -> Tuple[int, int, int, int]:
        return (self.name_offset, self.constants_offset,
                self.functions_offset, self.instructions_offset)

    @property
    def canonical(self) -> bool:
        """True when :func:`encode` reproduces the file byte for byte."""
        return not self.notes


@dataclass
class Module:
    name: str = ""
    version: int = 1
    flags: int = 0
    constants: List[Constant] = field(default_factory=list)
    #: Function table entries in file order; a name may occur twice, and
    #: the loader keeps the last entry point of a name.
    functions: List[Tuple[str, int]] = field(default_factory=list)
    instructions: List[Instruction] = field(default_factory=list)
    layout: Optional[Layout] = field(default=None, compare=False, repr=False)

    def function_map(self) -> Dict[str, int]:
        """The function table as the loader sees it (last entry wins)."""
        return dict(self.functions)

    def entry_point(self) -> int:
        """Where execution starts: "main" if present, else instruction 0."""
        return self.function_map().get("main", 0)


# ---------------------------------------------------------------- encoding

def _string(text: str) -> bytes:
    raw = text.encode("utf-8")
    return struct.pack("<I", len(raw)) + raw


def encode_constant(const: Constant) -> bytes:
    tag = bytes([CONST_TAGS[const.kind]])
    if const.kind == INT:
        return tag + struct.pack("<q", const.value)
    if const.kind == FLOAT:
        return tag + struct.pack("<Q", float_bits(const.value))
    if const.kind == STRING:
        return tag + _string(const.value)
    if const.kind == BOOL:
        return tag + bytes([1 if const.value else 0])
    return tag


def encode_instruction(ins: Instruction) -> bytes:
    info = ins.info
    if info.encoding is None:
        raise ValueError("%s has no encoding in module files" % info.name)
    out = bytearray([info.opcode])
    for field_name in info.encoding:
        op = info.operand(field_name)
        value = ins.operands[info.index_of(field_name)]
        if op.kind == oc.REG:
            out.append(_check(value, 0, 255, op.name))
        elif op.kind in (oc.CONST, oc.NAME, oc.TYPE, oc.U16):
            out += struct.pack("<H", _check(value, 0, U16_MAX, op.name))
        elif op.kind == oc.OFFSET:
            out += struct.pack("<i", _check(value, I32_MIN, I32_MAX, op.name))
        elif op.kind == oc.REGS:
            if len(value) > 255:
                raise ValueError("CallR takes at most 255 arguments")
            out.append(len(value))
            out += bytes(_check(r, 0, 255, "args") for r in value)
        elif op.kind == oc.OPTREG:
            if value is None:
                out.append(0)
            else:
                out += bytes([1, _check(value, 0, 255, op.name)])
        else:  # pragma: no cover - only the non-encodable kinds have these
            raise ValueError("operand kind %s has no encoding" % op.kind)
    return bytes(out)


def _check(value, low: int, high: int, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError("%s out of range %d..%d: %r" % (what, low, high, value))
    return value


def _encode_instructions(instructions: List[Instruction]) -> bytes:
    """The instruction records back to back. An instruction object that occurs
    many times (decoding and assembling share them) is encoded once."""
    out = []
    for a in range(0, len(instructions), _OPCODE_SEGMENT):
        segment = instructions[a:a + _OPCODE_SEGMENT]
        ids = list(map(id, segment))
        encoded = {key: encode_instruction(ins) for key, ins in dict(zip(ids, segment)).items()}
        out.append(b"".join(map(encoded.__getitem__, ids)))
    return b"".join(out)


def encode(module: Module) -> bytes:
    """Write a module in the canonical layout."""
    name = _string(module.name)
    consts = bytearray(struct.pack("<I", len(module.constants)))
    for const in module.constants:
        consts += encode_constant(const)
    funcs = bytearray(struct.pack("<I", len(module.functions)))
    for fname, entry in module.functions:
        funcs += _string(fname) + struct.pack("<I", _check(entry, 0, U32_MAX, "entry point"))
    code = bytearray(struct.pack("<I", len(module.instructions)))
    code += _encode_instructions(module.instructions)
    off_name = HEADER_SIZE
    off_const = off_name + len(name)
    off_func = off_const + len(consts)
    off_code = off_func + len(funcs)
    header = MAGIC + struct.pack("<6I", _check(module.version, 0, U32_MAX, "version"),
                                 _check(module.flags, 0, U32_MAX, "flags"),
                                 off_name, off_const, off_func, off_code)
    return header + name + bytes(consts) + bytes(funcs) + bytes(code)


# ---------------------------------------------------------------- decoding

class _Reader:
    __slots__ = ("data", "pos")

    def __init__(self, data: bytes, pos: int):
        self.data = data
        self.pos = pos

    def take(self, n: int) -> bytes:
        if len(self.data) - self.pos < n:
            raise DecodeError("Unexpected EOF")
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def u8(self) -> int:
        return self.take(1)[0]

    def u16(self) -> int:
        return struct.unpack("<H", self.take(2))[0]

    def u32(self) -> int:
        return struct.unpack("<I", self.take(4))[0]

    def i32(self) -> int:
        return struct.unpack("<i", self.take(4))[0]

    def string(self) -> str:
        raw = self.take(self.u32())
        try:
            return raw.decode("utf-8", "strict")
        except UnicodeDecodeError:
            raise DecodeError("Invalid UTF-8") from None


def _decode_constants(r: _Reader, notes: List[str]) -> List[Constant]:
    count = r.u32()
    consts: List[Constant] = []
    for i in range(count):
        tag = r.u8()
        kind = TAG_KINDS.get(tag)
        if kind == INT:
            consts.append(Constant(INT, struct.unpack("<q", r.take(8))[0]))
        elif kind == FLOAT:
            consts.append(Constant(FLOAT, float_from_bits(struct.unpack("<Q", r.take(8))[0])))
        elif kind == STRING:
            consts.append(Constant(STRING, r.string()))
        elif kind == BOOL:
            byte = r.u8()
            if byte > 1:
                notes.append("constant %d: boolean stored as byte %d (written back as 1)"
                             % (i, byte))
            consts.append(Constant(BOOL, byte != 0))
        elif kind == EMPTY:
            consts.append(Constant(EMPTY))
        else:
            raise DecodeError("Invalid constant tag: %d" % tag)
    return consts


def _decode_functions(r: _Reader) -> List[Tuple[str, int]]:
    count = r.u32()
    funcs = []
    for _ in range(count):
        name = r.string()
        funcs.append((name, r.u32()))
    return funcs


def decode_instruction(r: _Reader, index: int, notes: List[str]) -> Instruction:
    opcode = r.u8()
    info = oc.BY_OPCODE.get(opcode)
    if info is None or info.encoding is None:
        raise DecodeError("Invalid opcode: %d" % opcode)
    values = {}
    for field_name in info.encoding:
        kind = info.operand(field_name).kind
        if kind == oc.REG:
            values[field_name] = r.u8()
        elif kind == oc.OFFSET:
            values[field_name] = r.i32()
        elif kind == oc.REGS:
            n = r.u8()
            values[field_name] = tuple(r.take(n))
        elif kind == oc.OPTREG:
            flag = r.u8()
            if flag == 0:
                values[field_name] = None
            else:
                if flag != 1:
                    notes.append("instruction %d: ReturnR presence byte %d "
                                 "(written back as 1)" % (index, flag))
                values[field_name] = r.u8()
        else:
            values[field_name] = r.u16()
    return Instruction(opcode, tuple(values[op.name] for op in info.operands))


# Bytes after the opcode of each encodable instruction whose length is fixed.
_FIELD_SIZE = {oc.REG: 1, oc.OFFSET: 4}
_FIXED_SIZE = {
    info.opcode: 1 + sum(_FIELD_SIZE.get(info.operand(name).kind, 2) for name in info.encoding)
    for info in oc.OPCODES
    if info.encoding is not None
    and all(info.operand(name).kind not in (oc.REGS, oc.OPTREG) for name in info.encoding)
}


# How many distinct instructions (or texts about them) the tools keep to share
# between identical ones; past that, each is handled on its own, as if never
# seen, so a file of all-distinct instructions costs no more than without.
SHARED_LIMIT = 1 << 16


def _encoded_size(data: bytes, pos: int, opcode: int) -> Optional[int]:
    """The length of the instruction at ``pos``; None when only decoding it can tell."""
    size = _FIXED_SIZE.get(opcode)
    if size is not None:
        return size
    info = oc.BY_OPCODE.get(opcode)
    if info is None or info.encoding is None:
        return None
    size = 1
    for name in info.encoding:
        kind = info.operand(name).kind
        if kind in (oc.REGS, oc.OPTREG):
            if pos + size >= len(data):
                return None
            flag = data[pos + size]
            size += 1 + (flag if kind == oc.REGS else (0 if flag == 0 else 1))
        else:
            size += _FIELD_SIZE.get(kind, 2)
    return size


def _repeats(data: bytes, pos: int, size: int, limit: int) -> int:
    """How many copies (at most ``limit``) of the ``size`` bytes at ``pos`` follow them.

    The comparisons double in length while they match, then halve: a run
    costs a few byte comparisons per instruction, done in C, and a lone
    instruction costs one.
    """
    unit = data[pos:pos + size]
    count = 0
    pos += size
    step = 1
    growing = True
    while step > 0 and count < limit:
        step = min(step, limit - count)
        width = step * size
        if data[pos:pos + width] == unit * step:
            count += step
            pos += width
            if growing:
                step *= 2
        else:
            growing = False
            step //= 2
    return count


def _decode_instructions(data: bytes, pos: int, count: int,
                         notes: List[str]) -> Tuple[List[Instruction], int]:
    """``count`` instructions from ``pos``, and the position after them.

    Identical encodings decode to one shared Instruction (nothing changes an
    instruction after decoding): a file of a million Nops holds one Nop
    object, and each distinct encoding is decoded once, so decoding costs
    little more than a dictionary lookup per instruction. A run of one
    fixed-size encoding is measured with byte comparisons and added whole.
    """
    instructions: List[Instruction] = []
    append = instructions.append
    seen: Dict[object, Instruction] = {}
    fixed = _FIXED_SIZE
    length = len(data)
    index = 0
    while index < count:
        if pos >= length:
            raise DecodeError("Unexpected EOF")
        opcode = data[pos]
        size = fixed.get(opcode)
        if size is not None and pos + size <= length:  # the common case, inline
            ins = seen.get(opcode if size == 1 else data[pos:pos + size])
            if ins is not None:
                append(ins)
                index += 1
                if pos + size < length and data[pos + size] == opcode and index < count:
                    run = _repeats(data, pos, size, count - index)
                    instructions.extend(repeat(ins, run))
                    index += run
                    pos += run * size
                pos += size
                continue
        size = _encoded_size(data, pos, opcode)
        key: object = None
        if size is not None and pos + size <= length:
            key = opcode if size == 1 else data[pos:pos + size]
        ins = seen.get(key) if key is not None else None
        if ins is None:
            r = _Reader(data, pos)
            noted = len(notes)
            ins = decode_instruction(r, index, notes)
            # A noted oddity is per index; and a file of distinct encodings
            # gains nothing from the table, so it stops growing.
            if key is not None and len(notes) == noted and len(seen) < SHARED_LIMIT:
                seen[key] = ins
            pos = r.pos
        else:
            pos += size
        append(ins)
        index += 1
    return instructions, pos


def decode(data: bytes) -> Module:
    """Decode a module file, failing exactly where the VM's loader fails."""
    data = bytes(data)
    length = len(data)
    if length < 24:
        raise DecodeError("Invalid bytecode format")
    if data[:4] != MAGIC:
        raise DecodeError("Invalid magic number")
    if length < HEADER_SIZE:
        raise DecodeError("Unexpected EOF")
    version, flags, o_name, o_const, o_func, o_code = struct.unpack("<6I", data[4:28])
    layout = Layout(length, o_name, o_const, o_func, o_code)
    notes: List[str] = []

    def start(offset: int) -> _Reader:
        if offset > length:
            raise DecodeError("Invalid offset")
        return _Reader(data, offset)

    r = start(o_name)
    name = r.string()
    layout.name_end = r.pos
    r = start(o_const)
    constants = _decode_constants(r, notes)
    layout.constants_end = r.pos
    r = start(o_func)
    functions = _decode_functions(r)
    layout.functions_end = r.pos
    r = start(o_code)
    count = r.u32()
    instructions, layout.instructions_end = _decode_instructions(data, r.pos, count, notes)

    expected = [HEADER_SIZE, layout.name_end, layout.constants_end, layout.functions_end]
    if list(layout.offsets) != expected:
        notes.insert(0, "sections are not back to back in the usual order "
                        "(re-assembly places them so)")
    if layout.instructions_end != length and list(layout.offsets) == expected:
        notes.insert(0, "%d bytes after the instruction section are ignored"
                     % (length - layout.instructions_end))
    layout.notes = notes
    return Module(name, version, flags, constants, functions, instructions, layout)


_OPCODE_OF = attrgetter("opcode")


def opcode_bytes(instructions: Sequence[Instruction]) -> bytes:
    """The opcode of each instruction, one byte each.

    The tools search this string (with :func:`opcode_class`) for the few
    instructions that matter to them, so a million instructions that do not
    matter cost no Python loop.
    """
    parts = []
    for a in range(0, len(instructions), _OPCODE_SEGMENT):
        segment = instructions[a:a + _OPCODE_SEGMENT]
        if is_run(segment):
            parts.append(bytes([segment[0].opcode]) * len(segment))
        else:
            parts.append(bytes(map(_OPCODE_OF, segment)))
    return b"".join(parts)


_OPCODE_SEGMENT = 1 << 14


def is_run(segment: List[Instruction]) -> bool:
    """True when every instruction of a nonempty list equals the first.

    The list comparison runs in C, skips identical objects without calling
    ``__eq__`` and stops at the first difference.
    """
    return segment == [segment[0]] * len(segment)


def opcode_class(opcodes: Iterable[int]) -> "re.Pattern[bytes]":
    """A pattern matching one opcode byte among ``opcodes``."""
    members = b"".join(re.escape(bytes([o])) for o in sorted(set(opcodes)))
    return re.compile(b"[" + members + b"]" if members else b"(?!)")


def positions(pattern: "re.Pattern[bytes]", ops: bytes) -> List[int]:
    """The indexes in ``ops`` (from :func:`opcode_bytes`) where ``pattern`` matches."""
    return [m.start() for m in pattern.finditer(ops)]


def is_nan_bits(bits: int) -> bool:
    return (bits >> 52) & 0x7FF == 0x7FF and bits & ((1 << 52) - 1) != 0


__all__ = ["Constant", "Instruction", "Module", "Layout", "DecodeError",
           "encode", "decode", "float_bits", "float_from_bits"]
