"""The instruction table of the tarnel VM.

This is the one place in the Python package that knows the instruction
kinds.  Parsing, encoding, decoding, rendering and checking are all driven
by :data:`OPCODES`.

Every kind has:

* its opcode (the byte value in module files and the tag of the in-memory
  record),
* its name (``AddR``),
* its operands in *declared order* -- the order in which they are written
  in assembly and rendered in debug forms,
* its *encoding*: the operand names in file order after the opcode byte, or
  ``None`` for the four kinds that module files cannot hold.
"""

from __future__ import annotations

from typing import Dict, List, NamedTuple, Optional, Tuple

# Operand kinds.  The kind decides how an operand is written in assembly,
# how wide it is in a file and how it is rendered.
REG = "reg"          # register number, u8, written r0..r255
REGS = "regs"        # CallR argument list: count byte, then one byte each
OPTREG = "optreg"    # ReturnR source: presence byte, then the register if nonzero
CONST = "const"      # u16 index into the constant pool
NAME = "name"        # u16 index of a string constant naming a global
TYPE = "type"        # u16 type identifier
OFFSET = "offset"    # i32 jump distance in instructions
U16 = "u16"          # plain u16 number (scope ids)
PHI = "phi"          # PhiR source list (in-memory only)
ASSERT = "assert"    # AssertR condition (in-memory only)

#: Width in bytes of the fixed-size operand kinds in a module file.
FIXED_WIDTH = {REG: 1, CONST: 2, NAME: 2, TYPE: 2, U16: 2, OFFSET: 4}


class Operand(NamedTuple):
    name: str
    kind: str


class OpInfo(NamedTuple):
    opcode: int
    name: str
    operands: Tuple[Operand, ...]
    encoding: Optional[Tuple[str, ...]]

    @property
    def encodable(self) -> bool:
        return self.encoding is not None

    def operand(self, name: str) -> Operand:
        for op in self.operands:
            if op.name == name:
                return op
        raise KeyError(name)

    def index_of(self, name: str) -> int:
        for i, op in enumerate(self.operands):
            if op.name == name:
                return i
        raise KeyError(name)

    @property
    def signature(self) -> str:
        return ", ".join(op.name for op in self.operands)


def _ops(spec: str) -> Tuple[Operand, ...]:
    """Parse a compact operand list such as ``"dst:reg src:reg"``."""
    result = []
    for item in spec.split():
        name, kind = item.split(":")
        result.append(Operand(name, kind))
    return tuple(result)


_R3 = "dst:reg left:reg right:reg"
_R2 = "dst:reg src:reg"

# (opcode, name, operands in declared order, encoding order or None)
_TABLE = [
    (0, "LoadConstR", "dst:reg const_idx:const", "dst const_idx"),
    (1, "MoveR", _R2, "dst src"),
    (2, "LoadGlobalR", "dst:reg name_idx:name", "dst name_idx"),
    (3, "StoreGlobalR", "src:reg name_idx:name", "src name_idx"),
    (4, "DefineR", "dst:reg type_id:type", "dst type_id"),
    (5, "CheckTypeR", "dst:reg src:reg type_id:type", "dst src type_id"),
    (6, "CastR", "dst:reg src:reg to_type:type", "dst src to_type"),
    (7, "AddR", _R3, "dst left right"),
    (8, "SubR", _R3, "dst left right"),
    (9, "MulR", _R3, "dst left right"),
    (10, "DivR", _R3, "dst left right"),
    (11, "ModR", _R3, "dst left right"),
    (12, "NegR", _R2, "dst src"),
    (13, "NotR", _R2, "dst src"),
    (14, "AndR", _R3, "dst left right"),
    (15, "OrR", _R3, "dst left right"),
    (16, "EqR", _R3, "dst left right"),
    (17, "NeqR", _R3, "dst left right"),
    (18, "LtR", _R3, "dst left right"),
    (19, "GtR", _R3, "dst left right"),
    (20, "LteR", _R3, "dst left right"),
    (21, "GteR", _R3, "dst left right"),
    (22, "JumpR", "offset:offset", "offset"),
    (23, "JumpIfR", "cond:reg offset:offset", "cond offset"),
    (24, "JumpIfNotR", "cond:reg offset:offset", "cond offset"),
    (25, "CallR", "func:reg args:regs dst:reg", "func dst args"),
    (26, "ReturnR", "src:optreg", "src"),
    (27, "PhiR", "dst:reg sources:phi", None),
    (28, "AssertR", "reg:reg assert_type:assert msg_idx:const", None),
    (29, "ScopeEnterR", "scope_id:u16", None),
    (30, "ScopeExitR", "scope_id:u16", None),
    (31, "ConcatStrR", _R3, "dst left right"),
    (32, "StrLenR", "dst:reg str_reg:reg", "dst str_reg"),
    (33, "NewArrayR", "dst:reg size:reg", "dst size"),
    (34, "ArrayGetR", "dst:reg array:reg index:reg", "dst array index"),
    (35, "ArraySetR", "array:reg index:reg value:reg", "array index value"),
    (36, "ArrayLenR", "dst:reg array:reg", "dst array"),
    (37, "DebugPrint", "src:reg", "src"),
    (38, "BreakPoint", "", ""),
    (39, "Halt", "", ""),
    (40, "Nop", "", ""),
    (41, "DictNewR", "dst:reg", "dst"),
    (42, "DictGetR", "dst:reg dict:reg key:reg", "dst dict key"),
    (43, "DictSetR", "dict:reg key:reg value:reg", "dict key value"),
    (44, "DictRemoveR", "dict:reg key:reg", "dict key"),
    (45, "DictContainsR", "dst:reg dict:reg key:reg", "dst dict key"),
    (46, "DictKeysR", "dst:reg dict:reg", "dst dict"),
    (47, "DictValuesR", "dst:reg dict:reg", "dst dict"),
    (48, "DictClearR", "dict:reg", "dict"),
    (49, "DictLenR", "dst:reg dict:reg", "dst dict"),
]

OPCODES: List[OpInfo] = [
    OpInfo(code, name, _ops(ops), None if enc is None else tuple(enc.split()))
    for code, name, ops, enc in _TABLE
]

BY_NAME: Dict[str, OpInfo] = {info.name: info for info in OPCODES}
BY_OPCODE: Dict[int, OpInfo] = {info.opcode: info for info in OPCODES}
ENCODABLE: List[OpInfo] = [info for info in OPCODES if info.encodable]

#: Kinds after which execution never falls through to the next instruction.
TERMINATORS = frozenset({"JumpR", "ReturnR", "Halt"})
#: Kinds that carry a jump offset.
JUMPS = frozenset(info.name for info in OPCODES
                  if any(op.kind == OFFSET for op in info.operands))

#: Register operands that an instruction writes (besides ``dst``).
#: The container updates write the container's own register.
UPDATED_REGISTER = {"ArraySetR": "array", "DictSetR": "dict",
                    "DictRemoveR": "dict", "DictClearR": "dict"}

#: Type identifiers with a name.  Every other identifier selects "unknown".
TYPE_NAMES = ["empty", "bool", "int", "float", "string", "function", "url"]
TYPE_IDS = {name: i for i, name in enumerate(TYPE_NAMES)}

#: Number of registers saved by a call, and of arguments passed.
SAVED_REGISTERS = 64
MAX_PASSED_ARGS = 16


def written_registers(name: str, operands: tuple) -> List[int]:
    """Registers an instruction stores into (not counting CallR's effects)."""
    info = BY_NAME[name]
    regs = []
    for op, value in zip(info.operands, operands):
        if op.kind == REG and (op.name == "dst"
                               or UPDATED_REGISTER.get(name) == op.name):
            regs.append(value)
    return regs
