"""The program corpus: every program under tests/programs/ and examples/ run
on the VM and compared with the expectations written at its top.

The coverage tests below fail when an instruction kind or a runtime error
message has no program that exercises it.
"""

from __future__ import annotations

import re
from pathlib import Path

import pytest
import tarnel
from program_corpus import (
    EXAMPLES_DIR,
    PROGRAMS_DIR,
    ROOT,
    error_template_patterns,
    parse_expectation,
    run_program,
    same,
)
from tarnel import opcodes as oc

CORPUS = sorted(PROGRAMS_DIR.glob("*/*.tnasm"))
EXAMPLES = sorted(EXAMPLES_DIR.glob("*.tnasm"))


def program_id(path: Path) -> str:
    return str(path.relative_to(ROOT))


@pytest.mark.parametrize("path", CORPUS + EXAMPLES, ids=program_id)
def test_program(path, tmp_path, capfd):
    pytest.importorskip("tarnel_vm")
    expect = parse_expectation(path.read_text("utf-8"), program_id(path))
    got = run_program(path, tmp_path, capfd, expect.debug)
    assert got.error == expect.error
    assert got.output == expect.output
    if expect.error is None:
        assert same(got.result, expect.result), (got.result, expect.result)
    if expect.instructions is not None:
        assert got.instructions == expect.instructions


def test_corpus_is_found():
    areas = {p.parent.name for p in CORPUS}
    assert {"arith", "compare", "control", "calls", "strings", "arrays", "dicts",
            "types", "globals", "errors", "debug"} <= areas
    assert len(EXAMPLES) >= 5


# Kinds the module file cannot hold: the assembler refuses them, so no
# program can contain them. The C++ tests execute them from memory.
NOT_IN_FILES = {"PhiR", "AssertR", "ScopeEnterR", "ScopeExitR"}


def test_every_instruction_kind_has_a_program():
    used = set()
    for path in CORPUS:
        module = tarnel.assemble_module(path.read_text("utf-8"), str(path))
        used |= {ins.name for ins in module.instructions}
    kinds = {info.name for info in oc.OPCODES}
    assert {info.name for info in oc.OPCODES if not info.encodable} == NOT_IN_FILES
    assert kinds - NOT_IN_FILES - used == set()


# Runtime errors no corpus program can raise, and why.
NOT_FROM_PROGRAMS = {
    "ModuleNotLoaded": "raised by execute() before any program is loaded",
    "AssertionFailed": "only AssertR raises it, and AssertR has no file encoding",
    "OutOfMemory": "needs a memory limit on the process; the isolation tests raise it",
    # Declared so the set of messages is complete; the VM never raises these.
    "UndefinedVariable": "never raised: an unset global reads as empty",
    "InvalidRegister": "never raised: every encodable register exists",
    "InvalidInstruction": "never raised",
    "InvalidBytecode": "never raised",
    "InvalidOpcode": "never raised at run time: the loader refuses unknown opcodes",
    "UnexpectedEndOfFile": "never raised at run time",
}

# The texts a type mismatch names as expected, each needing a program.
MISMATCH_EXPECTED = [
    "numeric or string", "numeric", "integer", "float", "integer index",
    "string key", "array", "dict", "string", "empty", "function", "url", "unknown",
]


def expected_errors():
    errors = []
    for path in CORPUS + EXAMPLES:
        error = parse_expectation(path.read_text("utf-8"), program_id(path)).error
        if error is not None:
            errors.append(error)
    return errors


def test_every_runtime_error_message_has_a_program():
    patterns = error_template_patterns(ROOT / "src" / "values" / "errors.hpp")
    assert set(NOT_FROM_PROGRAMS) <= set(patterns)
    errors = expected_errors()
    uncovered = [kind for kind, pattern in patterns.items()
                 if kind not in NOT_FROM_PROGRAMS and not any(re.match(pattern, e) for e in errors)]
    assert uncovered == []
    # Messages no program may expect: a program expecting one is mistaken.
    for kind in NOT_FROM_PROGRAMS:
        assert not any(re.match(patterns[kind], e) for e in errors), kind


@pytest.mark.parametrize("expected", MISMATCH_EXPECTED)
def test_every_type_mismatch_has_a_program(expected):
    prefix = "Type mismatch: expected %s, found " % expected
    assert any(e.startswith(prefix) for e in expected_errors()), "no program expects '%s...'" % prefix


BAD_HEADERS = [
    ("; expect: 1\n; expect: 2\nHalt\n", "second"),
    ("; expect: 1\n; expect runtime error: Stack overflow\nHalt\n", "both"),
    ("; expect outptu: 1\nHalt\n", "unknown expectation"),
    ("; just a comment\nHalt\n", "no expectation"),
    ("; expect: 1\nHalt\n; expect: 2\n", "below the first instruction"),
    ("; expect output:x\nHalt\n", "malformed"),
]


@pytest.mark.parametrize("text,complaint", BAD_HEADERS)
def test_mistaken_headers_are_refused(text, complaint):
    with pytest.raises(ValueError, match=complaint):
        parse_expectation(text, "prog.tnasm")


def test_header_forms():
    expect = parse_expectation(
        "; expect output: a\n; expect output:\n;\n; expect output:  b\n"
        "; expect instructions: 3\n; debug: on\n.func main\nHalt\n", "p")
    assert expect == (None, ["a", "", " b"], None, 3, True)
    assert parse_expectation("; expect: [1, 'x']\n", "p").result == [1, "x"]
    assert parse_expectation("; expect runtime error: Division by zero\n", "p").error == "Division by zero"
