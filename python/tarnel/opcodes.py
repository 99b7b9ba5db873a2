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
  ``None`` for the four kinds that module files cannot hold,
* how control leaves it, the registers it writes and a one-line meaning.

The table itself is generated from the C++ instruction rows, so the two
cannot disagree.
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
    #: how control leaves it: next, jump, branch, call or stop
    flow: str = "next"
    #: register operands it writes, and containers it updates in place
    writes: Tuple[str, ...] = ()
    updates: Tuple[str, ...] = ()
    meaning: str = ""

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


# The table below is generated from the rows of TARNEL_INSTRUCTIONS in
# src/loader/instruction.hpp; edit the rows there and run
# ``python3 python/tools/gen_opcode_table.py``.
# BEGIN GENERATED TABLE (python/tools/gen_opcode_table.py)
# (opcode, name, operands in declared order, file order or None,
#  flow, written operands, updated operands, meaning)
_TABLE = [
    (0, "LoadConstR", "dst:reg const_idx:const", "dst const_idx", "next", "dst", "",
     "dst = constant const_idx"),
    (1, "MoveR", "dst:reg src:reg", "dst src", "next", "dst", "",
     "dst = src"),
    (2, "LoadGlobalR", "dst:reg name_idx:name", "dst name_idx", "next", "dst", "",
     "dst = the global named by constant name_idx"),
    (3, "StoreGlobalR", "src:reg name_idx:name", "src name_idx", "next", "", "",
     "the global named by constant name_idx = src"),
    (4, "DefineR", "dst:reg type_id:type", "dst type_id", "next", "dst", "",
     "declares the type tag of dst (the value stays)"),
    (5, "CheckTypeR", "dst:reg src:reg type_id:type", "dst src type_id", "next", "dst", "",
     "dst = whether the tag of src is type_id"),
    (6, "CastR", "dst:reg src:reg to_type:type", "dst src to_type", "next", "dst", "",
     "dst = src converted to to_type"),
    (7, "AddR", "dst:reg left:reg right:reg", "dst left right", "next", "dst", "",
     "dst = left + right"),
    (8, "SubR", "dst:reg left:reg right:reg", "dst left right", "next", "dst", "",
     "dst = left - right"),
    (9, "MulR", "dst:reg left:reg right:reg", "dst left right", "next", "dst", "",
     "dst = left * right"),
    (10, "DivR", "dst:reg left:reg right:reg", "dst left right", "next", "dst", "",
     "dst = left / right"),
    (11, "ModR", "dst:reg left:reg right:reg", "dst left right", "next", "dst", "",
     "dst = left % right"),
    (12, "NegR", "dst:reg src:reg", "dst src", "next", "dst", "",
     "dst = -src"),
    (13, "NotR", "dst:reg src:reg", "dst src", "next", "dst", "",
     "dst = not src"),
    (14, "AndR", "dst:reg left:reg right:reg", "dst left right", "next", "dst", "",
     "dst = left and right (truthiness)"),
    (15, "OrR", "dst:reg left:reg right:reg", "dst left right", "next", "dst", "",
     "dst = left or right (truthiness)"),
    (16, "EqR", "dst:reg left:reg right:reg", "dst left right", "next", "dst", "",
     "dst = left == right"),
    (17, "NeqR", "dst:reg left:reg right:reg", "dst left right", "next", "dst", "",
     "dst = left != right"),
    (18, "LtR", "dst:reg left:reg right:reg", "dst left right", "next", "dst", "",
     "dst = left < right"),
    (19, "GtR", "dst:reg left:reg right:reg", "dst left right", "next", "dst", "",
     "dst = left > right"),
    (20, "LteR", "dst:reg left:reg right:reg", "dst left right", "next", "dst", "",
     "dst = left <= right"),
    (21, "GteR", "dst:reg left:reg right:reg", "dst left right", "next", "dst", "",
     "dst = left >= right"),
    (22, "JumpR", "offset:offset", "offset", "jump", "", "",
     "pc += offset"),
    (23, "JumpIfR", "cond:reg offset:offset", "cond offset", "branch", "", "",
     "pc += offset when cond is truthy"),
    (24, "JumpIfNotR", "cond:reg offset:offset", "cond offset", "branch", "", "",
     "pc += offset when cond is falsy"),
    (25, "CallR", "func:reg args:regs dst:reg", "func dst args", "call", "dst", "",
     "calls func with args in r0.. and puts its result in dst"),
    (26, "ReturnR", "src:optreg", "src", "stop", "", "",
     "returns src (or nothing) to the caller"),
    (27, "PhiR", "dst:reg sources:phi", None, "next", "dst", "",
     "dst = the source whose label is the last jump's"),
    (28, "AssertR", "reg:reg assert_type:assert msg_idx:const", None, "next", "", "",
     "fails with message msg_idx unless reg meets the condition"),
    (29, "ScopeEnterR", "scope_id:u16", None, "next", "", "",
     "pushes scope_id on the scope stack"),
    (30, "ScopeExitR", "scope_id:u16", None, "next", "", "",
     "pops scope_id when it is the innermost scope"),
    (31, "ConcatStrR", "dst:reg left:reg right:reg", "dst left right", "next", "dst", "",
     "dst = the texts of left and right joined"),
    (32, "StrLenR", "dst:reg str_reg:reg", "dst str_reg", "next", "dst", "",
     "dst = the length of the string in str_reg"),
    (33, "NewArrayR", "dst:reg size:reg", "dst size", "next", "dst", "",
     "dst = a new array of size empty elements"),
    (34, "ArrayGetR", "dst:reg array:reg index:reg", "dst array index", "next", "dst", "",
     "dst = array[index]"),
    (35, "ArraySetR", "array:reg index:reg value:reg", "array index value", "next", "", "array",
     "array[index] = value"),
    (36, "ArrayLenR", "dst:reg array:reg", "dst array", "next", "dst", "",
     "dst = the length of array"),
    (37, "DebugPrint", "src:reg", "src", "next", "", "",
     "writes src to the output"),
    (38, "BreakPoint", "", "", "next", "", "",
     "traces a breakpoint line in debug runs"),
    (39, "Halt", "", "", "stop", "", "",
     "ends the run"),
    (40, "Nop", "", "", "next", "", "",
     "does nothing"),
    (41, "DictNewR", "dst:reg", "dst", "next", "dst", "",
     "dst = a new empty dict"),
    (42, "DictGetR", "dst:reg dict:reg key:reg", "dst dict key", "next", "dst", "",
     "dst = dict[key], empty when absent"),
    (43, "DictSetR", "dict:reg key:reg value:reg", "dict key value", "next", "", "dict",
     "dict[key] = value"),
    (44, "DictRemoveR", "dict:reg key:reg", "dict key", "next", "", "dict",
     "removes key from dict"),
    (45, "DictContainsR", "dst:reg dict:reg key:reg", "dst dict key", "next", "dst", "",
     "dst = whether dict has key"),
    (46, "DictKeysR", "dst:reg dict:reg", "dst dict", "next", "dst", "",
     "dst = an array of the keys of dict"),
    (47, "DictValuesR", "dst:reg dict:reg", "dst dict", "next", "dst", "",
     "dst = an array of the values of dict"),
    (48, "DictClearR", "dict:reg", "dict", "next", "", "dict",
     "removes every entry of dict"),
    (49, "DictLenR", "dst:reg dict:reg", "dst dict", "next", "dst", "",
     "dst = the number of entries of dict"),
]
# END GENERATED TABLE

OPCODES: List[OpInfo] = [
    OpInfo(code, name, _ops(ops), None if enc is None else tuple(enc.split()),
           flow, tuple(writes.split()), tuple(updates.split()), meaning)
    for code, name, ops, enc, flow, writes, updates, meaning in _TABLE
]

BY_NAME: Dict[str, OpInfo] = {info.name: info for info in OPCODES}
BY_OPCODE: Dict[int, OpInfo] = {info.opcode: info for info in OPCODES}
ENCODABLE: List[OpInfo] = [info for info in OPCODES if info.encodable]

#: Kinds after which execution never falls through to the next instruction.
TERMINATORS = frozenset(info.name for info in OPCODES if info.flow in ("jump", "stop"))
#: Kinds that carry a jump offset.
JUMPS = frozenset(info.name for info in OPCODES
                  if any(op.kind == OFFSET for op in info.operands))

#: Register operands that an instruction writes (besides ``dst``).
#: The container updates write the container's own register.
UPDATED_REGISTER = {info.name: info.updates[0] for info in OPCODES if info.updates}

#: Type identifiers with a name.  Every other identifier selects "unknown".
TYPE_NAMES = ["empty", "bool", "int", "float", "string", "function", "url"]
TYPE_IDS = {name: i for i, name in enumerate(TYPE_NAMES)}

#: Number of registers saved by a call, and of arguments passed.
SAVED_REGISTERS = 64
MAX_PASSED_ARGS = 16


def written_registers(name: str, operands: tuple) -> List[int]:
    """Registers an instruction stores into (not counting CallR's effects)."""
    info = BY_NAME[name]
    written = info.writes + info.updates
    return [value for op, value in zip(info.operands, operands)
            if op.kind == REG and op.name in written]
