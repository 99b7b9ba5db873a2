"""The built extension: exported symbols, stable ABI, every CPython from 3.9."""

from __future__ import annotations

import glob
import json
import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import modfile
import pytest
import tarnel_vm

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXTENSION = pathlib.Path(tarnel_vm.__file__)

# Runs in another interpreter with only the extension's directory on its path.
SMOKE = """
import sys
sys.path.insert(0, sys.argv[1])
import tarnel_vm
vm = tarnel_vm.VornVM()
vm.load_bytecode(sys.argv[2])
print(tarnel_vm.__all__, tarnel_vm.VornVM.__module__, vm.execute(), vm.execute(), vm.instruction_count())
try:
    vm.set_debug(1)
except TypeError as error:
    print(error)
"""
SMOKE_OUTPUT = ("['VornVM', '__version__'] builtins 42 None 2\n"
                "argument 'debug': 'int' object cannot be converted to 'PyBool'\n")


def interpreter(minor: int):
    """An installed CPython 3.<minor>, or None."""
    names = [shutil.which("python3.%d" % minor)]
    names += sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.%d.*/bin/python3.%d" % (minor, minor))))
    for name in names:
        if not name:
            continue
        try:
            out = subprocess.run([name, "-c", "import sys; print(sys.version_info[:2])"],
                                 capture_output=True, text=True, timeout=30)
        except OSError:
            continue
        if out.returncode == 0 and out.stdout.strip() == "(3, %d)" % minor:
            return name
    return None


def test_extension_is_a_stable_abi_build():
    assert EXTENSION.name.endswith(".abi3.so")


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", str(EXTENSION)], capture_output=True, text=True,
                         check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_tarnel_vm"]


@pytest.mark.slow
@pytest.mark.parametrize("minor", range(9, 15))
def test_imports_under_every_cpython(tmp_path, minor):
    python = interpreter(minor)
    if python is None:
        pytest.skip("no CPython 3.%d on this machine" % minor)
    # A directory holding nothing but the extension.
    only = tmp_path / "ext"
    only.mkdir()
    shutil.copy2(EXTENSION, only / EXTENSION.name)
    program = modfile.write(tmp_path, modfile.DEMO)
    out = subprocess.run([python, "-I", "-c", SMOKE, str(only), program], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout == SMOKE_OUTPUT


def abi3audit():
    found = shutil.which("abi3audit")
    if found is None:
        pytest.skip("abi3audit is not installed")
    return found


def audit(*arguments):
    out = subprocess.run([abi3audit(), "--strict", "--report", *arguments], capture_output=True, text=True,
                         timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
    return json.loads(out.stdout)


def check_report(report):
    results = []

    def collect(node):
        if isinstance(node, dict):
            if "is_abi3" in node:
                results.append(node)
            node = list(node.values())
        if isinstance(node, list):
            for value in node:
                collect(value)

    collect(report)
    assert results, report
    for result in results:
        assert result["is_abi3"] and result["is_abi3_baseline_compatible"], result
        assert result["non_abi3_symbols"] == [] and result["future_abi3_objects"] == {}, result
        assert result["computed"] == "3.9", result


@pytest.mark.slow
def test_abi3audit_installed_extension():
    check_report(audit("--assume-minimum-abi3", "3.9", str(EXTENSION)))


@pytest.mark.slow
def test_abi3audit_wheel(tmp_path):
    abi3audit()
    build = subprocess.run([sys.executable, "-m", "pip", "wheel", str(ROOT), "-w", str(tmp_path), "--no-deps",
                            "-q"], capture_output=True, text=True, timeout=1200, cwd=str(ROOT))
    assert build.returncode == 0, build.stdout + build.stderr
    wheels = list(tmp_path.glob("*.whl"))
    assert len(wheels) == 1, wheels
    assert "-cp39-abi3-" in wheels[0].name
    with zipfile.ZipFile(wheels[0]) as wheel:
        names = wheel.namelist()
    assert any(name.startswith("tarnel_vm.") and name.endswith(".abi3.so") for name in names)
    assert "tarnel_vm.pyi" in names
    check_report(audit(str(wheels[0])))
