"""Programmatic construction of modules.

>>> b = Builder("demo")
>>> b.func("main")
>>> b.emit("LoadConstR", 0, b.const(42))
0
>>> b.emit("ReturnR", 0)
1
>>> data = b.build()

Operands are given in declared order.  Registers are ints (or "r5"),
constant operands are pool indexes (get them from :meth:`Builder.const`),
type operands are ids or names ("int"), jump offsets are ints or label
names, and CallR's argument list is a list of registers.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Set, Tuple

from . import opcodes as oc
from .module import I32_MAX, I32_MIN, U16_MAX, U32_MAX, Constant, Instruction, Module, encode


class BuildError(Exception):
    """A program that cannot be turned into a module.

    ``loc`` is whatever the caller passed along with the offending item
    (the assembler passes ``(line, column)``), or None.
    """

    def __init__(self, message: str, loc: Any = None):
        super().__init__(message)
        self.message = message
        self.loc = loc


class Builder:
    def __init__(self, name: str = "", version: int = 1, flags: int = 0):
        self.name = name
        self.version = version
        self.flags = flags
        self._consts: Dict[int, Constant] = {}
        self._const_loc: Dict[int, Any] = {}
        self._lowest: Dict[Any, int] = {}
        self._next_free = 0
        self._functions: List[Tuple[str, int]] = []
        self._code: List[List[Any]] = []        # [opcode, operands list]
        self._labels: Dict[str, int] = {}
        self._fixups: List[Tuple[int, int, str, Any]] = []
        self._fixed_up: Set[int] = set()        # instructions with label operands

    # -------------------------------------------------------------- places
    def here(self) -> int:
        """Index of the next instruction."""
        return len(self._code)

    def func(self, name: str, entry: Optional[int] = None, loc: Any = None) -> None:
        """Add a function table entry (at the next instruction by default).

        Entries are written in the order they are added; adding a name twice
        writes it twice (the VM keeps the later entry point).
        """
        if not isinstance(name, str):
            raise BuildError("function name must be a string", loc)
        entry = self.here() if entry is None else entry
        if isinstance(entry, bool) or not isinstance(entry, int) or not 0 <= entry <= U32_MAX:
            raise BuildError("entry point out of range 0..%d: %r" % (U32_MAX, entry), loc)
        self._functions.append((name, entry))

    def label(self, name: str, loc: Any = None) -> None:
        if name in self._labels:
            raise BuildError("label '%s' is already defined" % name, loc)
        self._labels[name] = self.here()

    # ----------------------------------------------------------- constants
    def const(self, value: Any) -> int:
        """Pool index of a constant, adding it if no equal one is there."""
        c = self._constant(value)
        index = self._lowest.get(c.key())
        if index is not None:
            return index
        while self._next_free in self._consts:
            self._next_free += 1
        return self._place(self._next_free, c, None)

    def const_at(self, index: int, value: Any, loc: Any = None) -> int:
        """Put a constant at an explicit pool index."""
        c = self._constant(value, loc)
        if isinstance(index, bool) or not isinstance(index, int) or not 0 <= index <= U32_MAX:
            raise BuildError("constant index out of range 0..%d: %r" % (U32_MAX, index), loc)
        old = self._consts.get(index)
        if old is not None:
            if old == c:
                return index
            raise BuildError("constant index %d is already taken" % index, loc)
        return self._place(index, c, loc)

    def _constant(self, value: Any, loc: Any = None) -> Constant:
        try:
            return Constant.of(value)
        except (TypeError, ValueError) as exc:
            raise BuildError(str(exc), loc) from None

    def _place(self, index: int, c: Constant, loc: Any) -> int:
        self._consts[index] = c
        self._const_loc[index] = loc
        key = c.key()
        if key not in self._lowest or index < self._lowest[key]:
            self._lowest[key] = index
        return index

    # -------------------------------------------------------- instructions
    def emit(self, name: str, *operands: Any, loc: Any = None) -> int:
        """Append an instruction; returns its index."""
        info = oc.BY_NAME.get(name)
        if info is None:
            raise BuildError("unknown instruction '%s'" % name, loc)
        if not info.encodable:
            raise BuildError("%s has no encoding in module files" % name, loc)
        ops = list(operands)
        if name == "ReturnR" and not ops:
            ops = [None]
        if len(ops) != len(info.operands):
            raise BuildError("%s takes %d operand%s (%s), got %d" % (
                name, len(info.operands), "" if len(info.operands) == 1 else "s",
                info.signature, len(ops)), loc)
        index = self.here()
        values = []
        for pos, (op, value) in enumerate(zip(info.operands, ops)):
            values.append(self._operand(index, pos, op, value, loc))
        self._code.append([info.opcode, values])
        return index

    def emit_same(self, index: int) -> int:
        """Append a copy of instruction ``index``, which has no label operands; returns its index.

        The copy shares the original's record, and the module shares one
        Instruction between them.
        """
        if index in self._fixed_up:
            raise ValueError("instruction %d has label operands" % index)
        self._code.append(self._code[index])
        return len(self._code) - 1

    def _operand(self, index: int, pos: int, op: oc.Operand, value: Any, loc: Any) -> Any:
        if op.kind == oc.REG:
            return _register(value, loc)
        if op.kind == oc.REGS:
            regs = tuple(_register(v, loc) for v in value)
            if len(regs) > 255:
                raise BuildError("CallR takes at most 255 arguments, got %d" % len(regs), loc)
            return regs
        if op.kind == oc.OPTREG:
            return None if value is None else _register(value, loc)
        if op.kind in (oc.CONST, oc.NAME):
            if isinstance(value, Constant):
                value = self.const(value)
            return _number(value, 0, U16_MAX, "constant index", loc)
        if op.kind == oc.TYPE:
            if isinstance(value, str):
                if value not in oc.TYPE_IDS:
                    raise BuildError("unknown type name '%s'" % value, loc)
                return oc.TYPE_IDS[value]
            return _number(value, 0, U16_MAX, "type id", loc)
        if op.kind == oc.OFFSET:
            if isinstance(value, str):
                self._fixups.append((index, pos, value, loc))
                self._fixed_up.add(index)
                return 0
            return _number(value, I32_MIN, I32_MAX, "jump offset", loc)
        raise BuildError("operand kind %s has no encoding" % op.kind, loc)  # pragma: no cover

    # --------------------------------------------------------------- result
    def module(self) -> Module:
        # Records shared by emit_same become one shared Instruction.
        made: Dict[int, Instruction] = {}
        instructions = []
        for record in self._code:
            ins = made.get(id(record))
            if ins is None:
                ins = made[id(record)] = Instruction(record[0], tuple(record[1]))
            instructions.append(ins)
        for index, pos, label, loc in self._fixups:
            if label not in self._labels:
                raise BuildError("undefined label '%s'" % label, loc)
            operands = list(instructions[index].operands)
            operands[pos] = self._labels[label] - (index + 1)
            instructions[index] = Instruction(instructions[index].opcode, tuple(operands))
        size = max(self._consts) + 1 if self._consts else 0
        if len(self._consts) != size:
            gap = min(i for i in range(size) if i not in self._consts)
            above = min(i for i in self._consts if i > gap)
            raise BuildError("no constant at index %d (the pool cannot have gaps)" % gap,
                             self._const_loc.get(above))
        return Module(
            name=self.name, version=self.version, flags=self.flags,
            constants=[self._consts[i] for i in range(size)],
            functions=list(self._functions),
            instructions=instructions)

    def build(self) -> bytes:
        """The module file's bytes."""
        try:
            return encode(self.module())
        except ValueError as exc:
            raise BuildError(str(exc)) from None


def _register(value: Any, loc: Any) -> int:
    if isinstance(value, str) and value.startswith("r") and value[1:].isdigit():
        value = int(value[1:])
    return _number(value, 0, 255, "register", loc)


def _number(value: Any, low: int, high: int, what: str, loc: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise BuildError("%s must be an integer, got %r" % (what, value), loc)
    if not low <= value <= high:
        raise BuildError("%s out of range %d..%d: %d" % (what, low, high, value), loc)
    return value
