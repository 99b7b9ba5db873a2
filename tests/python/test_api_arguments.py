"""The runners refuse a single path where they want several, and the reverse."""

from __future__ import annotations

import pathlib

import pytest
import tarnel


@pytest.mark.parametrize("paths", ["fact.tnbc", b"fact.tnbc", bytearray(b"fact"),
                                   pathlib.Path("fact.tnbc")], ids=repr)
def test_run_many_wants_an_iterable_of_paths(paths):
    with pytest.raises(TypeError, match="not a single"):
        tarnel.run_many(paths)


@pytest.mark.parametrize("path", [["fact.tnbc"], ("a", "b"), b"fact.tnbc", 7], ids=repr)
def test_run_isolated_wants_one_path(path):
    with pytest.raises(TypeError):
        tarnel.run_isolated(path)


def test_interrupted_command_exits_130(monkeypatch):
    import signal

    from tarnel import cli

    def interrupted(args):
        raise KeyboardInterrupt

    previous = signal.getsignal(signal.SIGINT)
    monkeypatch.setattr(cli, "cmd_check", interrupted)
    monkeypatch.setattr(cli, "COMMANDS", [c._replace(run=interrupted) if c.name == "check" else c
                                          for c in cli.COMMANDS])
    try:
        assert cli.main(["check", "x.tnbc"]) == 130
        assert signal.getsignal(signal.SIGINT) == signal.SIG_IGN   # a second Ctrl-C is ignored
    finally:
        signal.signal(signal.SIGINT, previous)
