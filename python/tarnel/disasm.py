"""The disassembler: module files to ``.tnasm`` text.

The text re-assembles to the same module: every constant is placed with a
``.const`` directive at its own index, function table entries keep their
order (``.func NAME`` at the entry point where the order allows it, the
explicit ``.func NAME INDEX`` form otherwise), jumps into the instruction
list get labels and any other jump keeps its numeric offset.
"""

from __future__ import annotations

from typing import Dict, Iterator, List, Union

from . import opcodes as oc
from .literals import format_constant, format_name, format_string
from .module import SHARED_LIMIT, Instruction, Module, decode

COMMENT_COLUMN = 40
_JUMP_OPCODES = frozenset(oc.BY_NAME[name].opcode for name in oc.JUMPS)


def _label(index: int) -> str:
    return "L%d" % index


def jump_target(index: int, offset: int) -> int:
    """Instruction index a jump at ``index`` with ``offset`` lands on."""
    return index + 1 + offset


def disassembly_lines(module: Module) -> Iterator[str]:
    """The lines of the disassembly, one at a time (no line ends), so a
    listing of millions of lines never has to be held whole."""
    n = len(module.instructions)
    lay = module.layout
    if lay is not None:
        yield "; module file of %d bytes" % lay.length
        yield "; header: version %d, flags 0x%08x" % (module.version, module.flags)
        yield ("; sections: name at %d, constants at %d, functions at %d, "
                   "instructions at %d" % lay.offsets)
        for note in lay.notes:
            yield "; note: " + note
        yield ""
    yield ".module %s" % format_string(module.name)
    yield ".version %d" % module.version
    yield ".flags 0x%x" % module.flags

    # Constants: all of them, at their own indexes.  An instruction names a
    # constant by its literal when that literal pools to the same index
    # (the lowest index holding an equal constant), by @INDEX otherwise.
    lowest: Dict[object, int] = {}
    if module.constants:
        yield ""
        yield ("; constant pool: %d entr%s" % (
            len(module.constants), "y" if len(module.constants) == 1 else "ies"))
    for i, const in enumerate(module.constants):
        lowest.setdefault(const.key(), i)
        yield ".const %d %s" % (i, format_constant(const))

    def const_operand(idx: int) -> str:
        if idx < len(module.constants) and lowest[module.constants[idx].key()] == idx:
            return format_constant(module.constants[idx])
        return "@%d" % idx

    # Labels for jump targets inside the list (the end counts as inside).
    labels = set()
    for i, ins in enumerate(module.instructions):
        if ins.opcode in _JUMP_OPCODES:
            target = jump_target(i, ins.get("offset"))
            if 0 <= target <= n:
                labels.add(target)

    # Function entries: inline at the entry point while the table order
    # allows it, explicit otherwise.  `funcs_at[i]` are written before
    # instruction i (i == n: after the last one).
    funcs_at: Dict[int, List[str]] = {}
    cursor = 0
    for name, entry in module.functions:
        if cursor <= entry <= n:
            cursor = entry
            funcs_at.setdefault(cursor, []).append(".func %s" % format_name(name))
        else:
            funcs_at.setdefault(cursor, []).append(
                ".func %s %d" % (format_name(name), entry))

    yield ""
    yield "; %d instruction%s" % (n, "" if n == 1 else "s")
    # The text of an instruction that is not a jump does not depend on where
    # it stands; decoded modules share one object per distinct encoding, so
    # each such text is rendered once.
    texts: Dict[int, str] = {}
    for i, ins in enumerate(module.instructions):
        if i in funcs_at:
            yield from funcs_at[i]
        if i in labels:
            yield "%s:" % _label(i)
        if ins.opcode in _JUMP_OPCODES:
            text = ("    " + render(ins, i, labels, const_operand)).ljust(COMMENT_COLUMN)
        else:
            text = texts.get(id(ins))
            if text is None:
                text = ("    " + render(ins, i, labels, const_operand)).ljust(COMMENT_COLUMN)
                if len(texts) < SHARED_LIMIT:
                    texts[id(ins)] = text
        yield "%s ; %d" % (text, i)
    yield from funcs_at.get(n, ())
    if n in labels:
        yield "%s:" % _label(n)


def disassemble_module(module: Module) -> str:
    return "".join(line + "\n" for line in disassembly_lines(module))


def render(ins: Instruction, index: int, labels, const_operand) -> str:
    info = ins.info
    parts = []
    for op, value in zip(info.operands, ins.operands):
        kind = op.kind
        if kind == oc.REG:
            parts.append("r%d" % value)
        elif kind == oc.OPTREG:
            if value is not None:
                parts.append("r%d" % value)
        elif kind == oc.REGS:
            parts.append("[" + ", ".join("r%d" % r for r in value) + "]")
        elif kind in (oc.CONST, oc.NAME):
            parts.append(const_operand(value))
        elif kind == oc.TYPE:
            parts.append(oc.TYPE_NAMES[value] if value < len(oc.TYPE_NAMES) else str(value))
        elif kind == oc.OFFSET:
            target = jump_target(index, value)
            parts.append(_label(target) if target in labels else str(value))
        else:
            raise ValueError("%s cannot be written as assembly" % info.name)
    if not parts:
        return info.name
    return "%s %s" % (info.name, ", ".join(parts))


def disassemble(data: Union[bytes, bytearray, Module]) -> str:
    """Module file bytes (or a decoded module) to assembly text.

    Raises :class:`tarnel.DecodeError` with the loader's message when the
    VM would refuse the file.
    """
    module = data if isinstance(data, Module) else decode(data)
    return disassemble_module(module)
