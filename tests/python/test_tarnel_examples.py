"""The example programs: each states its result on its first line."""

from __future__ import annotations

import ast
import math
from pathlib import Path

import pytest
import tarnel
from tarnel import opcodes as oc

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = sorted((ROOT / "examples").glob("*.tnasm"))


def expected_result(path: Path):
    first = path.read_text("utf-8").splitlines()[0]
    assert first.startswith("; expect: "), "%s: first line must be '; expect: ...'" % path
    return ast.literal_eval(first[len("; expect: "):])


def same(a, b) -> bool:
    """Equality that tells bool from int and float from int."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


def test_examples_present_with_results():
    names = {p.name for p in EXAMPLES}
    assert {"fib.tnasm", "sieve.tnasm", "wordfreq.tnasm", "fizzbuzz.tnasm",
            "all_kinds.tnasm"} <= names
    assert expected_result(ROOT / "examples" / "fib.tnasm") == 6765
    assert expected_result(ROOT / "examples" / "sieve.tnasm") == 1229


def test_all_kinds_uses_every_encodable_kind():
    module = tarnel.assemble_module((ROOT / "examples" / "all_kinds.tnasm").read_text("utf-8"))
    used = {ins.name for ins in module.instructions}
    assert used == {info.name for info in oc.ENCODABLE}
    assert len(used) == 46


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_example_result_on_vm(path, tmp_path):
    tarnel_vm = pytest.importorskip("tarnel_vm")
    module_path = tmp_path / (path.stem + ".tnbc")
    module_path.write_bytes(tarnel.assemble(path.read_text("utf-8"), str(path)))
    vm = tarnel_vm.VornVM()
    vm.load_bytecode(str(module_path))
    assert same(vm.execute(), expected_result(path))
