"""Reading and running the program corpus (tests/programs/ and examples/).

Each program states what running it must give in comment lines at its top;
tests/programs/README.md describes the format. This module parses those
lines and runs a program on a VM, capturing what it writes to fd 1.
"""

from __future__ import annotations

import ast
import importlib
import math
import os
import re
from pathlib import Path
from typing import List, NamedTuple, Optional

import tarnel

ROOT = Path(__file__).resolve().parents[2]
PROGRAMS_DIR = ROOT / "tests" / "programs"
EXAMPLES_DIR = ROOT / "examples"

# The VM class the corpus runs on, as "module:attribute". Another engine is
# tried on the whole corpus by naming its class here, e.g.
#   TARNEL_PROGRAM_VM=some_engine:VornVM make test-programs
VM_VARIABLE = "TARNEL_PROGRAM_VM"
DEFAULT_VM = "tarnel_vm:VornVM"

RESULT = "; expect: "
OUTPUT = "; expect output:"
ERROR = "; expect runtime error: "
COUNT = "; expect instructions: "
DEBUG = "; debug: on"

_NO_RESULT = object()


class Expectation(NamedTuple):
    result: object            # a Python value, or None when nothing is returned
    output: List[str]         # lines written to fd 1, in order
    error: Optional[str]      # the runtime error message, without "Runtime error: "
    instructions: Optional[int]
    debug: bool


def header_lines(text: str) -> List[str]:
    """The leading comment block: every line up to the first that is code."""
    lines = []
    for line in text.splitlines():
        stripped = line.strip()
        if stripped and not stripped.startswith(";"):
            break
        lines.append(line)
    return lines


def parse_expectation(text: str, where: str) -> Expectation:
    """The expectation lines of a program; ValueError names what is wrong."""
    header = header_lines(text)
    for number, line in enumerate(text.splitlines()[len(header):], len(header) + 1):
        if line.lstrip().startswith("; expect") or line.lstrip().startswith("; debug:"):
            raise ValueError("%s:%d: expectation below the first instruction" % (where, number))
    result, output, error, count, debug = _NO_RESULT, [], None, None, False
    for number, line in enumerate(header, 1):
        if line.startswith(RESULT):
            if result is not _NO_RESULT:
                raise ValueError("%s:%d: a second '; expect:' line" % (where, number))
            result = ast.literal_eval(line[len(RESULT):].strip())
        elif line.startswith(OUTPUT):
            rest = line[len(OUTPUT):]
            if rest and not rest.startswith(" "):
                raise ValueError("%s:%d: malformed output line" % (where, number))
            output.append(rest[1:])
        elif line.startswith(ERROR):
            if error is not None:
                raise ValueError("%s:%d: a second runtime error" % (where, number))
            error = line[len(ERROR):]
        elif line.startswith(COUNT):
            count = int(line[len(COUNT):])
        elif line.rstrip() == DEBUG:
            debug = True
        elif line.startswith("; expect") or line.startswith("; debug"):
            raise ValueError("%s:%d: unknown expectation: %s" % (where, number, line))
    if error is not None and result is not _NO_RESULT:
        raise ValueError("%s: a program cannot both return a result and fail" % where)
    if result is _NO_RESULT and error is None and not output:
        raise ValueError("%s: no expectation ('; expect...' lines at the top)" % where)
    return Expectation(None if result is _NO_RESULT else result, output, error, count, debug)


def vm_class():
    """The VM class named by TARNEL_PROGRAM_VM, tarnel_vm.VornVM by default."""
    module_name, _, attribute = os.environ.get(VM_VARIABLE, DEFAULT_VM).partition(":")
    return getattr(importlib.import_module(module_name), attribute or "VornVM")


class Outcome(NamedTuple):
    result: object
    output: List[str]
    error: Optional[str]
    instructions: int


def run_program(path: Path, tmp_path: Path, capfd, debug: bool) -> Outcome:
    """Assembles `path`, loads it into a fresh VM and runs it once."""
    module_path = tmp_path / (path.stem + ".tnbc")
    module_path.write_bytes(tarnel.assemble(path.read_text("utf-8"), str(path)))
    vm = vm_class()()
    vm.set_debug(debug)
    vm.load_bytecode(str(module_path))
    capfd.readouterr()
    result, error = None, None
    try:
        result = vm.execute()
    except RuntimeError as exc:
        prefix = "Runtime error: "
        assert str(exc).startswith(prefix), str(exc)
        error = str(exc)[len(prefix):]
    return Outcome(result, capfd.readouterr().out.splitlines(), error, vm.instruction_count())


def same(a, b) -> bool:
    """Equality that tells bool from int and float from int, and -0.0 from 0.0."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, float):
        if math.isnan(a):
            return math.isnan(b)
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    return a == b


def error_template_patterns(header: Path) -> dict:
    """Kind name -> regex for each runtime error message declared in the C++ core."""
    text = header.read_text("utf-8")
    block = re.search(r"#define TARNEL_VM_ERRORS\(X\)(.*?)\n\n", text, re.S)
    assert block, "TARNEL_VM_ERRORS not found in %s" % header
    patterns = {}
    for kind, template in re.findall(r'X\((\w+),\s*"([^"]*)"\)', block.group(1)):
        pieces = re.split(r"\{\d\}", template)
        patterns[kind] = "^" + ".+".join(re.escape(p) for p in pieces) + "$"
    return patterns
