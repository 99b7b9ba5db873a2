"""The README's Python example does what its comments say."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

pytest.importorskip("tarnel_vm")


def test_python_example(tmp_path, monkeypatch, capfd):
    readme = (ROOT / "README.md").read_text("utf-8")
    code = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README.md", "exec"), {})
    lines = capfd.readouterr().out.splitlines()
    # First run, halted VM, then a reload with the trace on.
    assert lines[:4] == ["42", "4", "None", "4"]
    assert lines[4] == "PC: 0, Instruction: LoadConstR { dst: 0, const_idx: 0 }"
    assert lines[-1] == "42"
    # What the comments promise, line by line.
    for promised in ("# 42", "# 4", "# None", "# still 4"):
        assert promised in code
