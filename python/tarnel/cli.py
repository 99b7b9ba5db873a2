"""The ``tarnel`` command.

Each subcommand is one ``cmd_*`` function taking the parsed arguments and
returning the exit status; :data:`COMMANDS` lists them for argparse.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from typing import Callable, List, NamedTuple, Optional

from .asm import AssemblyError, assemble
from .check import check
from .disasm import disassemble_module, disassembly_lines
from .module import DecodeError, decode
from .run import add_run_args, cmd_run, split_program_words


def _read(path: str, mode: str = "rb"):
    with open(path, mode) as fh:
        return fh.read()


def write_atomic(path: str, data: bytes) -> None:
    """Write a file completely or not at all (temporary file + rename)."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".tarnel-", dir=directory)
    try:
        with os.fdopen(fd, "wb") as fh:
            fh.write(data)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)   # as a plain open() would have made it
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def _fail(message: str, status: int = 1) -> int:
    print("tarnel: %s" % message, file=sys.stderr)
    return status


def _load(path: str):
    """Read and decode a module file; returns (module, None) or (None, status)."""
    try:
        data = _read(path)
    except OSError as exc:
        return None, _fail("cannot read %s: %s" % (path, exc.strerror or exc))
    try:
        return decode(data), None
    except DecodeError as exc:
        print("%s: %s" % (path, exc.message), file=sys.stderr)
        return None, None


# ------------------------------------------------------------------ asm
def add_asm_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("input", help="assembly source (.tnasm)")
    p.add_argument("-o", "--output", help="module file to write (default: INPUT with .tnbc)")


def cmd_asm(args: argparse.Namespace) -> int:
    try:
        text = _read(args.input, "rb").decode("utf-8")
    except OSError as exc:
        return _fail("cannot read %s: %s" % (args.input, exc.strerror or exc))
    except UnicodeDecodeError as exc:
        return _fail("%s is not UTF-8 text: %s" % (args.input, exc))
    try:
        data = assemble(text, args.input)
    except AssemblyError as exc:
        print(str(exc), file=sys.stderr)
        return 1
    output = args.output or os.path.splitext(args.input)[0] + ".tnbc"
    try:
        write_atomic(output, data)
    except OSError as exc:
        return _fail("cannot write %s: %s" % (output, exc.strerror or exc))
    return 0


# ------------------------------------------------------------------ dis
def add_dis_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("input", help="module file (.tnbc)")
    p.add_argument("-o", "--output", help="write the text here instead of standard output")


def cmd_dis(args: argparse.Namespace) -> int:
    module, status = _load(args.input)
    if module is None:
        return status or 1
    if args.output:
        try:
            write_atomic(args.output, disassemble_module(module).encode("utf-8"))
        except OSError as exc:
            return _fail("cannot write %s: %s" % (args.output, exc.strerror or exc))
    else:
        for line in disassembly_lines(module):  # streamed: listings can be huge
            sys.stdout.write(line + "\n")
    return 0


# ---------------------------------------------------------------- check
def add_check_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("input", help="module file (.tnbc)")


def cmd_check(args: argparse.Namespace) -> int:
    module, status = _load(args.input)
    if module is None:
        return status or 2
    findings = check(module)
    for finding in findings:
        print("%s: %s" % (args.input, finding))
    return 1 if findings else 0


class Command(NamedTuple):
    name: str
    help: str
    add_args: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


COMMANDS: List[Command] = [
    Command("asm", "assemble a .tnasm file into a module file", add_asm_args, cmd_asm),
    Command("dis", "disassemble a module file", add_dis_args, cmd_dis),
    Command("check", "report what will fail or misbehave at run time "
            "(exit 0 clean, 1 findings, 2 not loadable)", add_check_args, cmd_check),
    Command("run", "execute modules (.tnbc) or sources (.tnasm) with the VM, in this process; "
            "with --isolate or several files, in worker processes "
            "(exit 0 all succeeded, 1 otherwise, 130 interrupted)", add_run_args, cmd_run),
]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="tarnel", description="tarnel bytecode tools")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    for command in COMMANDS:
        p = sub.add_parser(command.name, help=command.help, description=command.help)
        command.add_args(p)
        p.set_defaults(run=command.run)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    argv, words = split_program_words(list(sys.argv[1:] if argv is None else argv))
    args = build_parser().parse_args(argv)
    if words:
        args.program_words = words
    return args.run(args)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
