"""Every `tarnel.X` / `tarnel_vm.X` name that the README and docs/ show exists."""

from __future__ import annotations

import importlib
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))

# Dotted names (tarnel.run_many, tarnel.isolation.worker_pids) and the
# names of `from tarnel... import a, b` lines.
DOTTED = re.compile(r"\b(tarnel(?:_vm)?(?:\.[A-Za-z_][A-Za-z0-9_]*)+)")
FROM_IMPORT = re.compile(r"^\s*from (tarnel(?:_vm)?(?:\.\w+)*) import \(?([\w, ]+)\)?", re.M)


def shown_names():
    names = set()
    for path in DOCUMENTS:
        text = path.read_text("utf-8")
        # Quoted texts are messages ("worker failed with tarnel_vm.InternalFault: ..."),
        # not names to import.
        for m in DOTTED.finditer(re.sub(r'"[^"\n]*"', '""', text)):
            name = m.group(1)
            if not re.search(r"\.(tnasm|tnbc|tnbm|py|md|so)$", name):
                names.add((path.name, name))
        for m in FROM_IMPORT.finditer(text):
            for item in m.group(2).split(","):
                if item.strip():
                    names.add((path.name, "%s.%s" % (m.group(1), item.strip().split()[0])))
    return sorted(names)


def resolve(dotted: str):
    parts = dotted.split(".")
    for cut in range(len(parts), 0, -1):
        try:
            obj = importlib.import_module(".".join(parts[:cut]))
        except ImportError:
            continue
        for attr in parts[cut:]:
            obj = getattr(obj, attr)
        return obj
    raise ImportError(dotted)


def test_the_scan_finds_names():
    found = {name for _, name in shown_names()}
    assert {"tarnel.run_many", "tarnel.assemble"} <= found


@pytest.mark.parametrize("document,name", shown_names())
def test_name_exists(document, name):
    if name.startswith("tarnel_vm"):
        pytest.importorskip("tarnel_vm")
    resolve(name)
