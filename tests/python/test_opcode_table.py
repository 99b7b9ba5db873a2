"""The generated instruction tables are current, and the generator refuses
rows it cannot read instead of shifting opcodes."""

import importlib.util
import pathlib

import pytest
from tarnel import opcodes as oc

REPO = pathlib.Path(__file__).resolve().parents[2]
GENERATOR = REPO / "python" / "tools" / "gen_opcode_table.py"


def load_generator():
    spec = importlib.util.spec_from_file_location("gen_opcode_table", GENERATOR)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


gen = load_generator()
HEADER = gen.HEADER.read_text(encoding="utf-8")


def test_committed_tables_match_the_generator():
    stale = [str(p.relative_to(REPO)) for p in gen.stale_files(HEADER)]
    assert stale == [], "run python3 python/tools/gen_opcode_table.py"


def test_installed_package_has_the_generated_table():
    # The package under test must be the one built from these rows.
    rows = gen.parse_rows(HEADER)
    assert [(r.opcode, r.name, r.file_order()) for r in rows] == [
        (i.opcode, i.name, None if i.encoding is None else list(i.encoding)) for i in oc.OPCODES]


def macro(*rows):
    body = " \\\n".join(rows)
    return f"#define TARNEL_INSTRUCTIONS(X) \\\n{body}\n"


GOOD = 'X(MoveR, true, Next, "dst = src", (dst, Reg, A, 0, Out), (src, Reg, B, 1, In))'


@pytest.mark.parametrize("row, message", [
    ('X(MoveR, true, Next, (dst, Reg, A, 0, Out))', "understood 1 of 2 rows"),  # meaning left out
    ('X(MoveR, true, Next, "m", (dst, Register, A, 0, Out))', "bad operand"),
    ('X(MoveR, true, Next, "m", (dst, Reg, D, 0, Out))', "bad operand"),
    ('X(MoveR, true, Next, "m", (dst, Reg, A, 0, Written))', "bad operand"),
    ('X(MoveR, true, Falls, "m", (dst, Reg, A, 0, Out))', "unknown flow"),
    ('X(MoveR, true, Next, "m", (dst, Reg, A, 1, Out), (src, Reg, B, 1, In))', "file positions"),
])
def test_malformed_rows_are_refused(row, message):
    with pytest.raises(gen.GeneratorError, match=message):
        gen.parse_rows(macro(GOOD, row))


def test_rows_read_in_order_with_their_file_order():
    rows = gen.parse_rows(macro(
        GOOD,
        'X(CallR, true, Call, "calls", (func, Reg, A, 0, In), (args, Args, Lists, 2, In), (dst, Reg, B, 1, Out))',
        'X(PhiR, false, Next, "phi", (dst, Reg, A, 0, Out), (sources, Sources, Lists, 1, In))',
        'X(Halt, true, Stop, "ends the run")'))
    assert [(r.opcode, r.name) for r in rows] == [(0, "MoveR"), (1, "CallR"), (2, "PhiR"), (3, "Halt")]
    assert rows[1].file_order() == ["func", "dst", "args"]
    assert rows[2].file_order() is None
    assert rows[3].file_order() == []


def test_markers_must_be_present():
    with pytest.raises(gen.GeneratorError, match="missing markers"):
        gen.replace_between_markers("no markers here", "table", ("#", ""))


@pytest.mark.parametrize("name, written", [
    ("CallR", [9]),            # dst, declared last
    ("ArraySetR", [1]),        # the array, updated in its register
    ("DictRemoveR", [1]),
    ("StoreGlobalR", []),
    ("DefineR", [1]),
])
def test_written_registers_follow_the_rows(name, written):
    operands = {"CallR": (1, [2, 3], 9)}.get(name, (1, 2, 3))
    assert oc.written_registers(name, operands) == written
