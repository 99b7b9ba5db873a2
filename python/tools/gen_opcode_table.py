#!/usr/bin/env python3
"""Generate the Python and Markdown instruction tables from the C++ rows.

The instruction set is declared once, as the rows of TARNEL_INSTRUCTIONS in
src/loader/instruction.hpp.  This script reads those rows and rewrites the
text between the generated-table markers of

* python/tarnel/opcodes.py (the table the assembler, disassembler, checker
  and builder use), and
* docs/assembly.md (the instruction table for people).

Usage:
    python3 python/tools/gen_opcode_table.py            # rewrite both files
    python3 python/tools/gen_opcode_table.py --check    # exit 1 if one is stale
"""

from __future__ import annotations

import argparse
import pathlib
import re
import sys
from typing import Dict, List, NamedTuple, Optional

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
HEADER = REPO_ROOT / "src" / "loader" / "instruction.hpp"
PYTHON_TABLE = REPO_ROOT / "python" / "tarnel" / "opcodes.py"
DOCS_TABLE = REPO_ROOT / "docs" / "assembly.md"

BEGIN = "BEGIN GENERATED TABLE (python/tools/gen_opcode_table.py)"
END = "END GENERATED TABLE"

#: C++ operand kind -> operand kind of the Python package.  A message index
#: is written like a constant index in assembly, a scope id as a plain u16.
PYTHON_KIND = {
    "Reg": "reg", "OptReg": "optreg", "Const": "const", "Name": "name",
    "Type": "type", "Scope": "u16", "Msg": "const", "Offset": "offset",
    "Args": "regs", "Sources": "phi", "Assert": "assert",
}
SLOTS = {"A", "B", "C", "Wide", "Lists"}
ACCESSES = {"In", "Out", "InOut"}
FLOWS = {"Next", "Jump", "Branch", "Call", "Stop"}


class GeneratorError(Exception):
    pass


class Operand(NamedTuple):
    name: str
    kind: str
    slot: str
    position: int
    access: str


class Row(NamedTuple):
    opcode: int
    name: str
    encodable: bool
    flow: str
    meaning: str
    operands: List[Operand]

    def file_order(self) -> Optional[List[str]]:
        if not self.encodable:
            return None
        return [op.name for op in sorted(self.operands, key=lambda op: op.position)]


_ROW = re.compile(
    r'X\(\s*(?P<name>\w+)\s*,\s*(?P<enc>true|false)\s*,\s*(?P<flow>\w+)\s*,'
    r'\s*"(?P<meaning>[^"\\]*)"\s*(?P<ops>(?:,\s*\([^()]*\)\s*)*)\)')
_OPERAND = re.compile(r'\(\s*(\w+)\s*,\s*(\w+)\s*,\s*(\w+)\s*,\s*(\d+)\s*,\s*(\w+)\s*\)')


def instruction_block(header: str) -> str:
    """The text of the TARNEL_INSTRUCTIONS macro, continuation lines joined."""
    match = re.search(r'#define TARNEL_INSTRUCTIONS\(X\)((?:.*\\\n)*.*)', header)
    if match is None:
        raise GeneratorError("no TARNEL_INSTRUCTIONS macro in the header")
    body = match.group(1).replace("\\\n", "\n")
    return re.sub(r"/\*.*?\*/", "", body, flags=re.S)


def parse_rows(header: str) -> List[Row]:
    block = instruction_block(header)
    rows = []
    for match in _ROW.finditer(block):
        operands = []
        for name, kind, slot, position, access in _OPERAND.findall(match.group("ops")):
            if kind not in PYTHON_KIND or slot not in SLOTS or access not in ACCESSES:
                raise GeneratorError(f"{match.group('name')}: bad operand ({name}, {kind}, {slot}, {access})")
            operands.append(Operand(name, kind, slot, int(position), access))
        if match.group("flow") not in FLOWS:
            raise GeneratorError(f"{match.group('name')}: unknown flow {match.group('flow')}")
        rows.append(Row(len(rows), match.group("name"), match.group("enc") == "true",
                        match.group("flow"), match.group("meaning"), operands))
    # Every X( must have been understood: a row the pattern skipped would
    # shift every later opcode.
    if len(rows) != block.count("X("):
        raise GeneratorError(f"understood {len(rows)} of {block.count('X(')} rows")
    for row in rows:
        if sorted(op.position for op in row.operands) != list(range(len(row.operands))):
            raise GeneratorError(f"{row.name}: file positions are not 0..{len(row.operands) - 1}")
    return rows


def python_table(rows: List[Row]) -> str:
    lines = [
        "# (opcode, name, operands in declared order, file order or None,",
        "#  flow, written operands, updated operands, meaning)",
        "_TABLE = [",
    ]
    for row in rows:
        operands = " ".join(f"{op.name}:{PYTHON_KIND[op.kind]}" for op in row.operands)
        order = row.file_order()
        encoding = "None" if order is None else f'"{" ".join(order)}"'
        writes = " ".join(op.name for op in row.operands if op.access == "Out")
        updates = " ".join(op.name for op in row.operands if op.access == "InOut")
        lines.append(f'    ({row.opcode}, "{row.name}", "{operands}", {encoding},'
                     f' "{row.flow.lower()}", "{writes}", "{updates}",')
        lines.append(f'     "{row.meaning}"),')
    lines.append("]")
    return "\n".join(lines)


def docs_table(rows: List[Row]) -> str:
    lines = ["| Opcode | Kind | Operands | File order | Meaning |", "|---|---|---|---|---|"]
    for row in rows:
        names = ", ".join(op.name + (" (optional)" if op.kind == "OptReg" else "") for op in row.operands)
        order = row.file_order()
        if order is None:
            file_order = "none: in memory only"
        else:
            file_order = ", ".join(order) if order else "—"
        meaning = row.meaning.replace("|", "\\|")
        lines.append(f"| {row.opcode} | `{row.name}` | {names or '—'} | {file_order} | {meaning} |")
    return "\n".join(lines)


def replace_between_markers(text: str, generated: str, comment: str) -> str:
    """`text` with the lines between the two marker lines replaced."""
    begin = f"{comment[0]} {BEGIN}{comment[1]}"
    end = f"{comment[0]} {END}{comment[1]}"
    start = text.find(begin)
    stop = text.find(end)
    if start < 0 or stop < start:
        raise GeneratorError(f"missing markers: {begin!r} ... {end!r}")
    head = text[: start + len(begin)]
    return f"{head}\n{generated}\n{text[stop:]}"


def outputs(header: str) -> Dict[pathlib.Path, str]:
    """The wanted contents of each generated file."""
    rows = parse_rows(header)
    return {
        PYTHON_TABLE: replace_between_markers(PYTHON_TABLE.read_text(encoding="utf-8"),
                                              python_table(rows), ("#", "")),
        DOCS_TABLE: replace_between_markers(DOCS_TABLE.read_text(encoding="utf-8"),
                                            docs_table(rows), ("<!--", " -->")),
    }


def stale_files(header: str) -> List[pathlib.Path]:
    return [path for path, wanted in outputs(header).items()
            if path.read_text(encoding="utf-8") != wanted]


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="exit 1 if a generated table is stale")
    args = parser.parse_args(argv)
    header = HEADER.read_text(encoding="utf-8")
    try:
        if args.check:
            stale = stale_files(header)
            for path in stale:
                print(f"{path.relative_to(REPO_ROOT)} is stale: run python3 python/tools/gen_opcode_table.py",
                      file=sys.stderr)
            return 1 if stale else 0
        for path, wanted in outputs(header).items():
            if path.read_text(encoding="utf-8") != wanted:
                path.write_text(wanted, encoding="utf-8")
                print(f"wrote {path.relative_to(REPO_ROOT)}")
    except GeneratorError as error:
        print(f"gen_opcode_table: {error}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
