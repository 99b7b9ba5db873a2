"""docs/instructions.md: up to date with its sources, and every example and
error it shows is what the VM really does."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest
import tarnel
from tarnel.oneliner import one_liner_source
from tarnel.opcodes import OPCODES
from tarnel.results import result_text

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python" / "tools"))

import gen_instruction_docs  # noqa: E402
import instruction_notes  # noqa: E402

tarnel_vm = pytest.importorskip("tarnel_vm")


def run_one_liner(tmp_path, program):
    source, _ = one_liner_source(program)
    path = tmp_path / "example.tnbc"
    path.write_bytes(tarnel.assemble(source, "-e"))
    vm = tarnel_vm.VornVM()
    vm.load_bytecode(str(path))
    return vm.execute()


def test_the_file_is_up_to_date():
    current = (ROOT / "docs" / "instructions.md").read_text("utf-8")
    assert current == gen_instruction_docs.generate(), \
        "run python/tools/gen_instruction_docs.py"


def test_every_kind_has_a_section():
    text = gen_instruction_docs.generate()
    for info in OPCODES:
        assert "### `%s`" % info.name in text
        note = instruction_notes.NOTES[info.name]
        assert (note.example is None) == (not info.encodable)   # only those lack an example


@pytest.mark.parametrize("kind,program,output", instruction_notes.examples(),
                         ids=[k for k, _, _ in instruction_notes.examples()])
def test_example(tmp_path, capfd, kind, program, output):
    capfd.readouterr()
    value = run_one_liner(tmp_path, program)
    printed = capfd.readouterr().out       # DebugPrint writes to descriptor 1 directly
    assert kind in program
    assert printed + result_text(value) == output


@pytest.mark.parametrize("kind,program,message", instruction_notes.error_triggers(),
                         ids=["%s: %s" % (k, m) for k, _, m in instruction_notes.error_triggers()])
def test_error(tmp_path, kind, program, message):
    assert kind in program
    with pytest.raises(RuntimeError) as info:
        run_one_liner(tmp_path, program)
    assert str(info.value) == "Runtime error: " + message
