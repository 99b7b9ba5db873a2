"""The version is written once, in pyproject.toml: the extension (through
CMake) and the tarnel package (through the installed metadata) report it."""

import importlib.metadata
import pathlib
import re

import tarnel
import tarnel_vm

PYPROJECT = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"


def declared_version():
    match = re.search(r'^version = "([^"]+)"$', PYPROJECT.read_text(encoding="utf-8"), re.M)
    assert match is not None
    return match.group(1)


def test_every_reported_version_is_the_declared_one():
    declared = declared_version()
    assert importlib.metadata.version("tarnel-vm") == declared
    assert tarnel_vm.__version__ == declared
    assert tarnel.__version__ == declared
