"""The disassembler: module files to ``.tnasm`` text.

The text re-assembles to the same module: every constant is placed with a
``.const`` directive at its own index, function table entries keep their
order (``.func NAME`` at the entry point where the order allows it, the
explicit ``.func NAME INDEX`` form otherwise), jumps into the instruction
list get labels and any other jump keeps its numeric offset.
"""

from __future__ import annotations

from itertools import chain, repeat
from typing import Dict, Iterator, List, Union

from . import opcodes as oc
from .literals import format_constant, format_name, format_string
from .module import SHARED_LIMIT, Instruction, Module, decode, is_run, opcode_bytes, opcode_class, positions

COMMENT_COLUMN = 40
_JUMP_CLASS = opcode_class(oc.BY_NAME[name].opcode for name in oc.JUMPS)


def _label(index: int) -> str:
    return "L%d" % index


def jump_target(index: int, offset: int) -> int:
    """Instruction index a jump at ``index`` with ``offset`` lands on."""
    return index + 1 + offset


def disassembly_lines(module: Module) -> Iterator[str]:
    """The lines of the disassembly, one at a time (no line ends)."""
    for chunk in disassembly_chunks(module):
        yield from chunk[:-1].split("\n")


def disassembly_chunks(module: Module) -> Iterator[str]:
    """The disassembly as pieces of whole lines (each piece ends with a line
    end), so a listing of millions of lines is written without being held whole."""
    pending: List[str] = []
    size = 0
    for piece in _pieces(module):
        if len(piece) >= CHUNK_CHARS // 2:     # large enough alone: not copied again
            if pending:
                yield "".join(pending)
                pending, size = [], 0
            yield piece
            continue
        pending.append(piece)
        size += len(piece)
        if size >= CHUNK_CHARS:
            yield "".join(pending)
            pending, size = [], 0
    if pending:
        yield "".join(pending)


# Characters gathered before a piece of the listing is handed on.
CHUNK_CHARS = 1 << 20
# Instructions rendered in one go between labels, entries and jumps.
SEGMENT = 1 << 14


def _pieces(module: Module) -> Iterator[str]:
    """The listing in pieces of whole lines, of any size."""
    n = len(module.instructions)
    # An instruction names a constant by its literal when that literal pools
    # to the same index (the lowest index holding an equal constant), by
    # @INDEX otherwise.
    lowest: Dict[object, int] = {}
    for i, const in enumerate(module.constants):
        lowest.setdefault(const.key(), i)
    yield "".join(line + "\n" for line in _head_lines(module))

    def const_operand(idx: int) -> str:
        if idx < len(module.constants) and lowest[module.constants[idx].key()] == idx:
            return format_constant(module.constants[idx])
        return "@%d" % idx

    code = module.instructions
    jumps = positions(_JUMP_CLASS, opcode_bytes(code))
    # Labels for jump targets inside the list (the end counts as inside).
    labels = set()
    for i in jumps:
        target = jump_target(i, code[i].get("offset"))
        if 0 <= target <= n:
            labels.add(target)
    funcs_at = _function_lines(module)

    # Between the places where a label, an entry or a jump is written, the
    # lines are the texts of the instructions with their indexes.
    texts = _PlainTexts(lambda ins: _line_text(render(ins, 0, (), const_operand)))
    jump_set = set(jumps)
    start = 0
    for place in sorted(jump_set | labels | funcs_at.keys() | {n}):
        for a in range(start, place, SEGMENT):
            yield texts.numbered(code, a, min(place, a + SEGMENT))
        extra = funcs_at.get(place, [])
        if place in labels:
            extra = extra + [_label(place) + ":"]
        if place in jump_set:
            text = _line_text(render(code[place], place, labels, const_operand))
            extra = extra + ["%s ; %d" % (text, place)]
            start = place + 1
        else:
            start = place
        if extra:
            yield "\n".join(extra) + "\n"


def _head_lines(module: Module) -> List[str]:
    """What the file's header held, the module directives and the constant pool."""
    lines = []
    lay = module.layout
    if lay is not None:
        lines.append("; module file of %d bytes" % lay.length)
        lines.append("; header: version %d, flags 0x%08x" % (module.version, module.flags))
        lines.append("; sections: name at %d, constants at %d, functions at %d, "
                     "instructions at %d" % lay.offsets)
        lines.extend("; note: " + note for note in lay.notes)
        lines.append("")
    lines.append(".module %s" % format_string(module.name))
    lines.append(".version %d" % module.version)
    lines.append(".flags 0x%x" % module.flags)
    # Constants: all of them, at their own indexes.
    if module.constants:
        lines.append("")
        lines.append("; constant pool: %d entr%s" % (
            len(module.constants), "y" if len(module.constants) == 1 else "ies"))
    for i, const in enumerate(module.constants):
        lines.append(".const %d %s" % (i, format_constant(const)))
    n = len(module.instructions)
    lines.append("")
    lines.append("; %d instruction%s" % (n, "" if n == 1 else "s"))
    return lines


def _function_lines(module: Module) -> Dict[int, List[str]]:
    """The .func lines to write before each instruction index (n: after the last one).

    Entries are written inline at their entry point while the table order
    allows it, in the explicit ``.func NAME INDEX`` form otherwise.
    """
    n = len(module.instructions)
    funcs_at: Dict[int, List[str]] = {}
    cursor = 0
    for name, entry in module.functions:
        if cursor <= entry <= n:
            cursor = entry
            funcs_at.setdefault(cursor, []).append(".func %s" % format_name(name))
        else:
            funcs_at.setdefault(cursor, []).append(
                ".func %s %d" % (format_name(name), entry))
    return funcs_at


def _line_text(rendered: str) -> str:
    return ("    " + rendered).ljust(COMMENT_COLUMN)


class _PlainTexts:
    """Lines ``TEXT ; INDEX`` of instructions that do not jump.

    Such a text does not depend on where the instruction stands, and a
    decoded module shares one object per distinct encoding: each text is
    rendered once (while the table is below SHARED_LIMIT entries), and the
    lines of a segment are formatted with one operation, not one per line.
    """

    def __init__(self, text_of):
        self.text_of = text_of
        self.by_id: Dict[int, str] = {}

    def numbered(self, code: List[Instruction], a: int, b: int) -> str:
        segment = code[a:b]
        if len(self.by_id) > SHARED_LIMIT:
            self.by_id.clear()
        by_id = self.by_id
        if is_run(segment):
            text = by_id.get(id(segment[0]))
            if text is None:
                text = by_id[id(segment[0])] = self.text_of(segment[0])
            return numbered_lines(text, a, b)
        ids = list(map(id, segment))
        for key, ins in dict(zip(ids, segment)).items():
            if key not in by_id:
                by_id[key] = self.text_of(ins)
        texts = map(by_id.__getitem__, ids)
        return ("%s ; %d\n" * len(ids)) % tuple(chain.from_iterable(zip(texts, range(a, b))))


# The hundred lines ``TEXT ; 100q+k`` (k = 0..99) are these pieces joined by str(q).
def _hundreds_pieces(head: str) -> List[str]:
    return [head] + ["%02d\n%s" % (k, head) for k in range(99)] + ["99\n"]


def numbered_lines(text: str, a: int, b: int) -> str:
    """The lines ``TEXT ; i`` for i in [a, b): the text of a run of one instruction.

    A hundred consecutive indexes from a multiple of a hundred share all but
    their last two digits, so they take one str() and one join, both in C.
    """
    head = text + " ; "
    sep = "\n" + head
    start = max(a, 100)
    low = min(start + (-start) % 100, b)    # the first multiple of 100 from 100 on
    high = max(low, b - b % 100)
    out = []
    if a < low:
        out.append(head + sep.join(map(str, range(a, low))) + "\n")
    if low < high:
        pieces = _hundreds_pieces(head)
        out.append("".join(map(str.join, map(str, range(low // 100, high // 100)),
                               repeat(pieces))))
    if high < b:
        out.append(head + sep.join(map(str, range(high, b))) + "\n")
    return "".join(out)


def disassemble_module(module: Module) -> str:
    return "".join(disassembly_chunks(module))


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
