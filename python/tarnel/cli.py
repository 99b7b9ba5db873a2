"""The ``tarnel`` command.

Each subcommand is one ``cmd_*`` function taking the parsed arguments and
returning the exit status; :data:`COMMANDS` lists them for argparse.
"""

from __future__ import annotations

import argparse
import os
import signal
import stat
import sys
import tempfile
import threading
from typing import Callable, List, NamedTuple, Optional

from .asm import AssemblyError, assemble_with_map
from .check import Finding, check
from .disasm import disassembly_chunks
from .listing import function_listing, with_bytes
from .module import MAGIC, DecodeError, Module, decode
from .paths import metadata_path, metadata_problem, module_path
from .run import add_run_args, cmd_run, split_program_words

STDIO = "-"
STDIN_NAME = "<stdin>"

# Exit statuses shared by the commands; `check` adds NOT_LOADABLE.
OK, FAILED, NOT_LOADABLE = 0, 1, 2


class ToolError(Exception):
    """A failure of the tool's own work (reading or writing a file): ``tarnel: message``."""


def _read(path: str) -> bytes:
    """The whole file, or standard input for ``-``; refuses FIFOs and devices."""
    if path == STDIO:
        return sys.stdin.buffer.read()
    try:
        if not stat.S_ISREG(os.stat(path).st_mode) and not os.path.isdir(path):
            raise ToolError("cannot read %s: not a regular file" % path)
        with open(path, "rb") as fh:
            return fh.read()
    except OSError as exc:
        raise ToolError("cannot read %s: %s" % (path, exc.strerror or exc)) from None


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


def _write_output(path: str, data: bytes, binary: bool) -> None:
    """Write to a file, or to standard output for ``-``."""
    if path == STDIO:
        if binary and sys.stdout.isatty():
            raise ToolError("not writing a module file to a terminal "
                            "(give -o FILE, or redirect standard output)")
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    try:
        write_atomic(path, data)
    except OSError as exc:
        raise ToolError("cannot write %s: %s" % (path, exc.strerror or exc)) from None


def _fail(message: str, status: int = FAILED) -> int:
    print("tarnel: %s" % message, file=sys.stderr)
    return status


def _program_error(line: str, status: int) -> int:
    print(line, file=sys.stderr)
    return status


def _is_source(path: str) -> bool:
    return path.lower().endswith(".tnasm")


def _text(name: str, data: bytes) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ToolError("%s is not UTF-8 text: %s" % (name, exc)) from None


class _Input(NamedTuple):
    """A module to show or check, however it was given."""

    name: str                       # the file actually read, or <stdin>
    module: Module
    data: bytes                     # the module file's bytes
    source_map: Optional[list]      # (line, column) per instruction, for assembled sources
    function_lines: Optional[list] = None   # (line, column) per function table entry, likewise


class _NotLoadable(Exception):
    """The input holds no module: the message is already printed."""


def _assembled_input(name: str, text: str) -> _Input:
    try:
        result = assemble_with_map(text, name)
    except AssemblyError as exc:
        print(str(exc), file=sys.stderr)
        raise _NotLoadable() from None
    return _Input(name, decode(result.data), result.data, result.source_map,
                  result.function_lines)


def _decoded_input(name: str, data: bytes) -> _Input:
    try:
        return _Input(name, decode(data), data, None)
    except DecodeError as exc:
        print("%s: %s" % (name, exc.message), file=sys.stderr)
        raise _NotLoadable() from None


def _open_input(path: str, metadata: bool = False) -> _Input:
    """Read a module file (the one the VM would load for ``path``) or an assembly source.

    ``-`` is standard input, holding either. With ``metadata``, the metadata
    file beside a module file is checked as the loader checks it.
    """
    if path == STDIO:
        data = _read(path)
        if data[:len(MAGIC)] == MAGIC:
            return _decoded_input(STDIN_NAME, data)
        return _assembled_input(STDIN_NAME, _text(STDIN_NAME, data))
    if _is_source(path):
        return _assembled_input(path, _text(path, _read(path)))
    tried = module_path(path)
    data = _read(tried)
    if metadata:
        problem = metadata_problem(path)
        if problem is not None:
            print("%s: %s" % (metadata_path(path), problem), file=sys.stderr)
            raise _NotLoadable()
    return _decoded_input(tried, data)


# ------------------------------------------------------------------ asm
def add_asm_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("input", help="assembly source (.tnasm); - reads standard input")
    p.add_argument("-o", "--output",
                   help="module file to write (default: INPUT with .tnbc; "
                        "standard output for - or when INPUT is -)")


def _asm_output(args: argparse.Namespace) -> str:
    if args.output:
        return args.output
    if args.input == STDIO:
        return STDIO
    return os.path.splitext(args.input)[0] + ".tnbc"


def cmd_asm(args: argparse.Namespace) -> int:
    name = STDIN_NAME if args.input == STDIO else args.input
    data = _read(args.input)
    if data[:len(MAGIC)] == MAGIC:
        raise ToolError("%s is a module file, not assembly source "
                        "(tarnel dis shows it as assembly)" % name)
    try:
        result = assemble_with_map(_text(name, data), name)
    except AssemblyError as exc:
        return _program_error(str(exc), FAILED)
    _write_output(_asm_output(args), result.data, binary=True)
    return OK


# ------------------------------------------------------------------ dis
def add_dis_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("input", help="module file (.tnbc), or assembly source (.tnasm) "
                                 "assembled first; - reads either from standard input")
    p.add_argument("-o", "--output", help="write the text here instead of standard output")
    p.add_argument("--bytes", action="store_true",
                   help="show each instruction's file offset and encoded bytes")
    p.add_argument("--function", metavar="NAME",
                   help="show only this function (from its entry point to the next one)")


def cmd_dis(args: argparse.Namespace) -> int:
    try:
        given = _open_input(args.input)
    except _NotLoadable:
        return FAILED
    data = given.data if args.bytes else None
    if args.function is not None:
        try:
            text = function_listing(given.module, args.function, data)
        except KeyError:
            names = ", ".join(sorted(given.module.function_map())) or "none"
            raise ToolError("%s has no function '%s' (functions: %s)"
                            % (given.name, args.function, names)) from None
    elif data is None and not (args.output and args.output != STDIO):
        write = sys.stdout.write
        for chunk in disassembly_chunks(given.module):  # streamed: listings can be huge
            write(chunk)
        return OK
    else:
        text = "".join(disassembly_chunks(given.module))
        if data is not None:
            text = with_bytes(text, given.module, data)
    if args.output and args.output != STDIO:
        _write_output(args.output, text.encode("utf-8"), binary=False)
    else:
        sys.stdout.write(text)
    return OK


# ---------------------------------------------------------------- check
def add_check_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("input", help="module file (.tnbc), or assembly source (.tnasm) "
                                 "assembled first; - reads either from standard input")


def _finding_line(given: _Input, finding: Finding) -> str:
    """``FILE: message``, with the source line and column when the module was assembled here.

    A finding about an instruction cites the instruction's line, one about
    the function table the line of the ``.func`` directive that wrote the entry.
    """
    index, entry = finding.index, finding.entry
    where = None
    if given.source_map is not None and index is not None and index < len(given.source_map):
        where = given.source_map[index]
    elif given.function_lines is not None and entry is not None \
            and entry < len(given.function_lines):
        where = given.function_lines[entry]
    if where is not None:
        return "%s:%d:%d: %s" % (given.name, where[0], where[1], finding)
    return "%s: %s" % (given.name, finding)


def cmd_check(args: argparse.Namespace) -> int:
    try:
        given = _open_input(args.input, metadata=True)
    except _NotLoadable:
        return NOT_LOADABLE
    except ToolError as exc:
        return _fail(str(exc), NOT_LOADABLE)
    findings = check(given.module)
    sys.stdout.write("".join(_finding_line(given, finding) + "\n" for finding in findings))
    return FAILED if findings else OK


class Command(NamedTuple):
    name: str
    help: str
    add_args: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


COMMANDS: List[Command] = [
    Command("asm", "assemble a .tnasm file into a module file "
            "(exit 0 written, 1 not)", add_asm_args, cmd_asm),
    Command("dis", "disassemble a module file (exit 0 shown, 1 not)", add_dis_args, cmd_dis),
    Command("check", "report what will fail or misbehave at run time "
            "(exit 0 clean, 1 findings, 2 not loadable)", add_check_args, cmd_check),
    Command("run", "execute modules (.tnbc) or sources (.tnasm) with the VM, in this process; "
            "with --isolate or several files, in worker processes "
            "(exit 0 all succeeded, 1 otherwise, 130 interrupted)", add_run_args, cmd_run),
]


def version_text() -> str:
    """This package's version, the extension's, and the features of the extension's build."""
    from . import __version__
    lines = ["tarnel %s" % __version__]
    try:
        import tarnel_vm
    except ImportError as exc:
        lines.append("tarnel_vm: not available (%s)" % exc)
        return "\n".join(lines)
    line = "tarnel_vm %s" % getattr(tarnel_vm, "__version__", "(unknown version)")
    features = getattr(tarnel_vm, "__features__", None)   # an older extension has none
    if features:
        line += " (%s)" % ", ".join(features)
    lines.append(line)
    return "\n".join(lines)


class _VersionAction(argparse.Action):
    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="show the versions of tarnel and of the VM extension, then exit")

    def __call__(self, parser, namespace, values, option_string=None):
        print(version_text())
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarnel", description="tarnel bytecode tools",
        epilog="Errors of the tool itself read 'tarnel: ...'; errors about a program read "
               "'FILE: ...' (FILE:LINE:COLUMN for assembly sources). Exit status 2 is "
               "also a command line that cannot be understood.")
    parser.add_argument("--version", action=_VersionAction)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    for command in COMMANDS:
        p = sub.add_parser(command.name, help=command.help, description=command.help)
        command.add_args(p)
        p.set_defaults(run=command.run)
    return parser


def _interrupt_once(signum, frame):
    """The first Ctrl-C interrupts; later ones are ignored while the command cleans up.

    A second KeyboardInterrupt in the middle of cleaning up (killing workers,
    removing temporary files, closing generators) would end in "Exception
    ignored" messages or a traceback instead of the exit status 130.
    """
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    raise KeyboardInterrupt


def _catch_ctrl_c_once() -> None:
    if threading.current_thread() is threading.main_thread() \
            and signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        signal.signal(signal.SIGINT, _interrupt_once)


def main(argv: Optional[List[str]] = None) -> int:
    argv, words = split_program_words(list(sys.argv[1:] if argv is None else argv))
    args = build_parser().parse_args(argv)
    if words:
        args.program_words = words
    _catch_ctrl_c_once()
    try:
        return args.run(args)
    except ToolError as exc:
        return _fail(str(exc))
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # no second interruption on the way out
        return _fail("interrupted", 130)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
