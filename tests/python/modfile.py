"""Module files written byte by byte, for the VornVM tests.

Independent of the assembler on purpose: the tests of the extension should
not fail because of a bug elsewhere. Only the encodable instructions that the
tests need are listed.
"""

from __future__ import annotations

import struct
from typing import Dict, Iterable, List, Optional, Sequence, Union

Constant = Union[None, bool, int, float, str, bytes]

# Operand layout after the opcode byte: "r" one register byte, "c" a u16,
# "o" an i32 jump offset.
_FORMATS: Dict[str, tuple] = {
    "LoadConstR": (0x00, "rc"),
    "MoveR": (0x01, "rr"),
    "LoadGlobalR": (0x02, "rc"),
    "StoreGlobalR": (0x03, "rc"),
    "CastR": (0x06, "rrc"),
    "AddR": (0x07, "rrr"),
    "SubR": (0x08, "rrr"),
    "DivR": (0x0A, "rrr"),
    "LtR": (0x12, "rrr"),
    "JumpR": (0x16, "o"),
    "JumpIfR": (0x17, "ro"),
    "JumpIfNotR": (0x18, "ro"),
    "ConcatStrR": (0x1F, "rrr"),
    "NewArrayR": (0x21, "rr"),
    "ArraySetR": (0x23, "rrr"),
    "DebugPrint": (0x25, "r"),
    "Halt": (0x27, ""),
    "Nop": (0x28, ""),
    "DictNewR": (0x29, "r"),
    "DictSetR": (0x2B, "rrr"),
}
_PACK = {"r": "<B", "c": "<H", "o": "<i"}

# Type identifiers of CastR.
INT, FLOAT, STRING = 2, 3, 4


def op(name: str, *operands: int) -> bytes:
    """One encoded instruction (ReturnR and CallR have helpers of their own)."""
    opcode, layout = _FORMATS[name]
    if len(operands) != len(layout):
        raise ValueError("%s takes %d operands" % (name, len(layout)))
    return bytes([opcode]) + b"".join(struct.pack(_PACK[k], v) for k, v in zip(layout, operands))


def ret(src: Optional[int] = None) -> bytes:
    return b"\x1a\x00" if src is None else bytes([0x1A, 1, src])


def call(func: int, dst: int, args: Sequence[int] = ()) -> bytes:
    return bytes([0x19, func, dst, len(args), *args])


def text(value: Union[str, bytes]) -> bytes:
    data = value.encode("utf-8") if isinstance(value, str) else value
    return struct.pack("<I", len(data)) + data


def constant(value: Constant) -> bytes:
    if value is None:
        return b"\x05"
    if isinstance(value, bool):
        return bytes([4, int(value)])
    if isinstance(value, int):
        return b"\x01" + struct.pack("<q", value)
    if isinstance(value, float):
        return b"\x02" + struct.pack("<d", value)
    return b"\x03" + text(value)


def module(code: Iterable[bytes], constants: Sequence[Constant] = (),
           functions: Optional[Dict[str, int]] = None, name: str = "test",
           version: int = 1, flags: int = 0) -> bytes:
    """A complete module file: header, name, constants, functions, code.

    `functions` defaults to {"main": 0}; pass {} for a module without one.
    """
    if functions is None:
        functions = {"main": 0}
    code = list(code)
    sections: List[bytes] = [
        text(name),
        struct.pack("<I", len(constants)) + b"".join(constant(c) for c in constants),
        struct.pack("<I", len(functions)) + b"".join(text(f) + struct.pack("<I", e) for f, e in functions.items()),
        struct.pack("<I", len(code)) + b"".join(code),
    ]
    offsets = []
    position = 28
    for section in sections:
        offsets.append(position)
        position += len(section)
    header = b"TNBC" + struct.pack("<II4I", version, flags, *offsets)
    return header + b"".join(sections)


#: The 83-byte example module: returns the integer 42 from "main".
DEMO = bytes.fromhex(
    "544E4243 01000000 00000000 1C000000 24000000 38000000 48000000"
    "04000000 64656D6F 02000000 012A0000 00000000 00 03020000 006869"
    "01000000 04000000 6D61696E 00000000 02000000 00000000 1A0100".replace(" ", ""))


def write(directory, data: bytes, name: str = "prog.tnbc") -> str:
    """Writes `data` as `name` in `directory` and returns the path as a str."""
    path = directory / name
    path.write_bytes(data)
    return str(path)
