"""`tarnel run` reports the extension's internal faults in one clean line."""

from __future__ import annotations

import argparse

import pytest
from tarnel import run

ARGS = argparse.Namespace(debug=False, stats=False, timeout=None, max_memory=None,
                          max_instructions=None, program_words=[])


class InternalFault(BaseException):
    """Stands for tarnel_vm.InternalFault: not an Exception, like the real one."""


def fake_vm_module(fail_in: str):
    class VornVM:
        def set_debug(self, flag):
            pass

        def load_bytecode(self, path):
            if fail_in == "load":
                raise InternalFault("out of memory")

        def execute(self):
            if fail_in == "execute":
                raise InternalFault("failed to write to standard output")
            return [[[]]]

        def instruction_count(self):
            return 0

    return argparse.Namespace(VornVM=VornVM)


@pytest.mark.parametrize("fail_in,status,stdout,stderr", [
    ("load", 1, "", "zero.tnbc: InternalFault: out of memory\n"),
    ("execute", 1, "", "zero.tnbc: InternalFault: failed to write to standard output\n"),
    (None, 0, "[[[]]]\n", ""),
])
def test_faults_are_one_line(monkeypatch, capsys, fail_in, status, stdout, stderr):
    monkeypatch.setattr(run, "_import_vm", lambda: fake_vm_module(fail_in))
    monkeypatch.setattr(run, "execute", lambda vm, **limits: vm.execute())
    entry = run._Entry("zero.tnbc", "zero.tnbc", None, False)
    args = ARGS
    assert run._run_in_process(entry, args) == status
    assert capsys.readouterr() == (stdout, stderr)


@pytest.mark.parametrize("interruption", [KeyboardInterrupt, SystemExit])
def test_interruptions_are_not_reported_as_faults(monkeypatch, interruption):
    module = fake_vm_module(None)

    def execute(self):
        raise interruption()

    module.VornVM.execute = execute
    monkeypatch.setattr(run, "_import_vm", lambda: module)
    monkeypatch.setattr(run, "execute", lambda vm, **limits: vm.execute())
    entry = run._Entry("p.tnbc", "p.tnbc", None, False)
    with pytest.raises(interruption):
        run._run_in_process(entry, ARGS)
