"""tarnel: assembler, disassembler and checker for tarnel module files.

>>> from tarnel import assemble, disassemble
>>> data = assemble('.func main\nLoadConstR r0, 42\nReturnR r0\n')
>>> print(disassemble(data))  # doctest: +SKIP
"""

from __future__ import annotations

from .asm import AssemblyError, assemble, assemble_module
from .batch import run_many
from .builder import Builder, BuildError
from .check import Finding, check
from .disasm import disassemble, disassemble_module
from .execute import execute
from .isolation import IsolationError, MemoryLimitExceeded, TimeLimitExceeded, WorkerCrashed, parse_size, run_isolated
from .limits import InstructionLimitExceeded, LimitExceeded
from .module import Constant, DecodeError, Instruction, Layout, Module, decode, encode
from .opcodes import OPCODES


def _installed_version() -> str:
    # The one version is pyproject.toml's, read back from the installed
    # distribution (tarnel ships in the tarnel-vm wheel with the extension).
    from importlib.metadata import PackageNotFoundError, version
    try:
        return version("tarnel-vm")
    except PackageNotFoundError:  # run from a source tree that was never installed
        return "0+unknown"


def __getattr__(name: str):
    # `__version__` is read on first use: the metadata machinery costs about
    # a tenth of a second, which every `tarnel` command would otherwise pay.
    if name == "__version__":
        globals()["__version__"] = version = _installed_version()
        return version
    raise AttributeError("module %r has no attribute %r" % (__name__, name))

__all__ = [
    "AssemblyError", "BuildError", "Builder", "Constant", "DecodeError",
    "Finding", "Instruction", "InstructionLimitExceeded", "IsolationError", "Layout",
    "LimitExceeded", "MemoryLimitExceeded", "Module", "OPCODES", "TimeLimitExceeded",
    "WorkerCrashed", "assemble", "assemble_module", "check", "decode", "disassemble",
    "disassemble_module", "encode", "execute", "parse_size", "run_isolated", "run_many",
]
