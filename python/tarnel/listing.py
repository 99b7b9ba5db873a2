"""Views of a disassembly for ``tarnel dis``: encoded bytes, and one function alone."""

from __future__ import annotations

import re
from typing import Dict, List, Optional, Tuple

from . import opcodes as oc
from .disasm import COMMENT_COLUMN, jump_target, render
from .literals import format_constant, format_name
from .module import Module, encode_instruction

# The index comment that ends every instruction line of a listing.
_INDEX_COMMENT = re.compile(r" ; (\d+)\Z")


def byte_spans(module: Module) -> List[Tuple[int, int]]:
    """(file offset, length) of each instruction.

    An instruction's length follows from its opcode and operand counts, so
    it is the same in any file that holds it; the offsets start after the
    instruction count of the file's instruction section.
    """
    if module.layout is None:
        raise ValueError("the module was not decoded from a file")
    offset = module.layout.instructions_offset + 4
    spans = []
    for ins in module.instructions:
        length = len(encode_instruction(ins))
        spans.append((offset, length))
        offset += length
    return spans


def _bytes_comment(data: bytes, span: Tuple[int, int]) -> str:
    offset, length = span
    return " @0x%x: %s" % (offset, data[offset:offset + length].hex(" "))


def with_bytes(listing: str, module: Module, data: bytes) -> str:
    """A listing whose instruction comments also give the offset and the bytes."""
    spans = byte_spans(module)
    lines = []
    for line in listing.split("\n"):
        m = _INDEX_COMMENT.search(line) if line.startswith("    ") else None
        if m is not None and int(m.group(1)) < len(spans):
            line += _bytes_comment(data, spans[int(m.group(1))])
        lines.append(line)
    return "\n".join(lines)


def function_range(module: Module, name: str) -> Optional[Tuple[int, int]]:
    """Instructions [start, stop) of function ``name``: from its entry point to the next one.

    None when the function table has no such name. The file records entry
    points only, so a function is taken to run until the next entry point.
    """
    table = module.function_map()
    if name not in table:
        return None
    start = table[name]
    n = len(module.instructions)
    later = [entry for entry in table.values() if entry > start]
    stop = min(later + [n])
    return min(start, n), stop


def function_listing(module: Module, name: str, data: Optional[bytes] = None) -> str:
    """Assembly text of one function; with ``data``, each line also shows its bytes."""
    found = function_range(module, name)
    if found is None:
        raise KeyError(name)
    start, stop = found
    code = module.instructions
    labels = {jump_target(i, ins.get("offset")) for i, ins in enumerate(code)
              if ins.name in oc.JUMPS}
    spans = byte_spans(module) if data is not None else None
    out = ["; function %s: instructions %d to %d" % (format_name(name), start, stop - 1)
           if stop > start else "; function %s: no instructions" % format_name(name),
           ".func %s" % format_name(name)]
    for i in range(start, stop):
        if i in labels:
            out.append("L%d:" % i)
        text = "    " + render(code[i], i, labels, _const_operand(module))
        line = "%s ; %d" % (text.ljust(COMMENT_COLUMN), i)
        if spans is not None:
            line += _bytes_comment(data, spans[i])
        out.append(line)
    return "\n".join(out) + "\n"


def _const_operand(module: Module):
    constants = module.constants
    lowest: Dict[object, int] = {}
    for i, const in enumerate(constants):
        lowest.setdefault(const.key(), i)

    def operand(idx: int) -> str:
        if idx < len(constants) and lowest[constants[idx].key()] == idx:
            return format_constant(constants[idx])
        return "@%d" % idx

    return operand
