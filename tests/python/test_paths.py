"""The tools name the files the loader really reads: the same path rule."""

from __future__ import annotations

import os

import pytest
import tarnel
from tarnel.paths import metadata_path, metadata_problem, module_path

CASES = [
    ("prog", "prog.tnbc", "prog.tnbm"),
    ("prog.tnbc", "prog.tnbc", "prog.tnbm"),
    ("dir/prog.txt", "dir/prog.tnbc", "dir/prog.tnbm"),
    ("prog.TNBC", "prog.tnbc", "prog.tnbm"),
    ("prog.", "prog.tnbc", "prog.tnbm"),
    (".tnbc", ".tnbc.tnbc", ".tnbc.tnbm"),
    ("dir.x/prog", "dir.x/prog.tnbc", "dir.x/prog.tnbm"),
    ("a.b.c", "a.b.tnbc", "a.b.tnbm"),
    ("dir/prog.tnbc/.", "dir/prog.tnbc/.", "dir/prog.tnbm"),
]


@pytest.mark.parametrize("given,module,metadata", CASES)
def test_rule(given, module, metadata):
    assert (module_path(given), metadata_path(given)) == (module, metadata)


@pytest.mark.parametrize("given,module,metadata", [c for c in CASES if not c[1].endswith("/.")])
def test_the_loader_reads_the_same_file(tmp_path, monkeypatch, given, module, metadata):
    tarnel_vm = pytest.importorskip("tarnel_vm")
    monkeypatch.chdir(tmp_path)
    os.makedirs(os.path.dirname(module) or ".", exist_ok=True)
    with open(module, "wb") as fh:
        fh.write(tarnel.assemble("LoadConstR r0, 7\nReturnR r0\n"))
    with open(metadata, "wb") as fh:
        fh.write(b"XXXX" + bytes(20))       # named as the culprit when wrong
    vm = tarnel_vm.VornVM()
    with pytest.raises(RuntimeError, match="Invalid magic number"):
        vm.load_bytecode(given)
    assert metadata_problem(given) == "Invalid magic number"
    os.unlink(metadata)
    vm.load_bytecode(given)
    assert vm.execute() == 7 and metadata_problem(given) is None


@pytest.mark.parametrize("content,problem", [
    (b"TNBM" + bytes(16), None),
    (b"TNBM" + bytes(15), "Invalid bytecode format"),
    (b"", "Invalid bytecode format"),
    (b"TNBC" + bytes(16), "Invalid magic number"),
    ("directory", "IO error: Is a directory (os error 21)"),
])
def test_metadata_problem_matches_the_loader(tmp_path, content, problem):
    target = tmp_path / "m.tnbm"
    if content == "directory":
        target.mkdir()
    else:
        target.write_bytes(content)
    (tmp_path / "m.tnbc").write_bytes(tarnel.assemble("Halt\n"))
    assert metadata_problem(str(tmp_path / "m")) == problem
    tarnel_vm = pytest.importorskip("tarnel_vm")
    vm = tarnel_vm.VornVM()
    if problem is None:
        vm.load_bytecode(str(tmp_path / "m"))
    else:
        with pytest.raises(RuntimeError) as info:
            vm.load_bytecode(str(tmp_path / "m"))
        assert str(info.value) == "Failed to load bytecode: " + problem
