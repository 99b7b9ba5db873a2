"""The ``tarnel run`` command: execute modules with the VM.

One file runs in this process with :func:`tarnel.execute`, which applies
``--timeout``, ``--max-memory`` and ``--max-instructions`` and lets Ctrl-C
stop the program. Words after ``--`` are passed to the program as its
arguments (r0, r1, ...). ``--isolate``, or several files, run each file in
a worker process of its own instead (:mod:`tarnel.isolation`).
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import functools
import os
import re
import signal
import sys
import tempfile
import threading
import time
from typing import Any, Iterator, List, NamedTuple, Optional

from . import where
from .asm import AssemblyError, assemble_with_map
from .execute import execute
from .isolation import Cancelled, TimeLimitExceeded, WorkerCrashed, check_jobs, ordered_outcomes, parse_size, run_worker
from .module import MAGIC, DecodeError, Module, decode
from .oneliner import ONE_LINER_NAME, one_liner_source
from .paths import metadata_path, metadata_problem, module_path
from .results import result_text, write_result

# Exit statuses.
OK, FAILED, INTERRUPTED = 0, 1, 130


# ---------------------------------------------------------------- options
def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number of seconds: %r" % text) from None
    if not value > 0:
        raise argparse.ArgumentTypeError("must be more than 0 seconds: %r" % text)
    return value


def _size(text: str) -> int:
    try:
        return parse_size(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    if not 0 <= value < 1 << 64:
        raise argparse.ArgumentTypeError("must be between 0 and 2**64 - 1: %r" % text)
    return value


_FLOAT = re.compile(r"[+-]?(\d+\.\d*|\.\d+|\d+(?=[eE]))([eE][+-]?\d+)?\Z")


def program_value(word: str) -> Any:
    """A command-line word as a program argument: an int, a float, or the text itself."""
    try:
        return int(word, 10)
    except ValueError:
        pass
    if _FLOAT.match(word):
        return float(word)
    return word


def split_program_words(argv: List[str]) -> "tuple[List[str], List[str]]":
    """``tarnel run FILE ... -- WORD ...``: the arguments for the parser, and the words."""
    if argv[:1] == ["run"] and "--" in argv:
        cut = argv.index("--")
        return argv[:cut], argv[cut + 1:]
    return argv, []


def _jobs(text: str) -> int:
    try:
        return check_jobs(int(text))
    except ValueError:
        raise argparse.ArgumentTypeError("not a positive whole number: %r" % text) from None


def add_run_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("files", nargs="*", metavar="FILE",
                   help="module file (.tnbc), or assembly source (.tnasm) assembled first; "
                        "- reads either from standard input")
    p.add_argument("-e", dest="program", metavar="PROGRAM",
                   help="run this assembly text; ';' separates statements here "
                        "(comments start with '#' and end at the next ';')")
    p.add_argument("--debug", action="store_true",
                   help="trace every executed instruction on standard output")
    p.add_argument("--stats", action="store_true",
                   help="instructions executed and wall time, on standard error")
    p.add_argument("--timeout", type=_seconds, metavar="SECONDS",
                   help="stop a run after this much wall-clock time")
    p.add_argument("--max-memory", type=_size, metavar="SIZE",
                   help="limit the memory a run's values hold, e.g. 512M or 2G (isolated: "
                        "the worker's address space)")
    p.add_argument("--max-instructions", type=_count, metavar="N",
                   help="stop a run after N instructions (in-process runs only)")
    p.add_argument("--isolate", action="store_true",
                   help="run in a worker process: a crash of the VM cannot take tarnel down")
    p.add_argument("--no-jit", action="store_true",
                   help="run everything in the interpreter, never in machine code "
                        "(as TARNEL_JIT=0 does)")
    p.add_argument("-j", "--jobs", type=_jobs, metavar="N",
                   help="isolated runs at a time with several files (default: number of CPUs)")
    p.set_defaults(program_words=[], run_parser=p)
    p.usage = "%(prog)s [options] FILE [FILE ...] [-- WORD ...]\n       %(prog)s [options] -e PROGRAM [FILE ...] [-- WORD ...]"


# ------------------------------------------------------------ preparation
STDIN_NAME = "<stdin>"


class _Entry(NamedTuple):
    name: str                       # as given on the command line, <stdin> or -e
    module_path: Optional[str]      # what the VM loads
    error: Optional[str]            # why it cannot be run at all
    temporary: bool                 # module_path was written here
    module: Optional[Module] = None         # the module, when assembled here
    source_map: Optional[list] = None       # its instructions' (line, column)
    tool_error: bool = False        # error is about the tool's own work (reading a file)


def _failed(name: str, message: str, tool_error: bool = False) -> _Entry:
    return _Entry(name, None, message, False, tool_error=tool_error)


def _write_module(data: bytes, name: str, directory: str, index: int) -> str:
    stem = os.path.splitext(os.path.basename(name))[0].strip("<>") or "module"
    path = os.path.join(directory, "%d-%s.tnbc" % (index, stem))
    with open(path, "wb") as fh:
        fh.write(data)
    return path


def _assembled(name: str, text: str, directory: str, index: int) -> _Entry:
    try:
        result = assemble_with_map(text, name)
    except AssemblyError as exc:
        return _failed(name, str(exc))
    path = _write_module(result.data, name, directory, index)
    return _Entry(name, path, None, True, result.module, result.source_map)


def _source_text(name: str, data: bytes) -> Any:
    """The UTF-8 text of a source file, or the _Entry that says why not."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        return _failed(name, "%s is not UTF-8 text: %s" % (name, exc), tool_error=True)


def _from_stdin(directory: str, index: int) -> _Entry:
    """Standard input holds a module file (it starts with the magic) or assembly text."""
    data = sys.stdin.buffer.read()
    if data[:len(MAGIC)] == MAGIC:
        return _Entry(STDIN_NAME, _write_module(data, STDIN_NAME, directory, index), None, True)
    text = _source_text(STDIN_NAME, data)
    return text if isinstance(text, _Entry) else _assembled(STDIN_NAME, text, directory, index)


def _from_one_liner(program: str, directory: str, index: int) -> _Entry:
    source, columns = one_liner_source(program)
    entry = _assembled(ONE_LINER_NAME, source, directory, index)
    if entry.error is not None:
        return entry._replace(error=columns.error_text(entry.error))
    return entry._replace(source_map=columns.source_map(entry.source_map))


def _prepare(name: str, directory: str, index: int) -> _Entry:
    """A module file for ``name``: itself, or a .tnasm source assembled into ``directory``."""
    if name == "-":
        return _from_stdin(directory, index)
    if not name.lower().endswith(".tnasm"):
        return _Entry(name, name, None, False)
    try:
        with open(name, "rb") as fh:
            data = fh.read()
    except OSError as exc:
        return _failed(name, "cannot read %s: %s" % (name, exc.strerror or exc), tool_error=True)
    text = _source_text(name, data)
    return text if isinstance(text, _Entry) else _assembled(name, text, directory, index)


def _entries(args: argparse.Namespace, directory: str) -> List[_Entry]:
    names = list(args.files)
    entries = []
    if args.program is not None:
        entries.append(_from_one_liner(args.program, directory, 0))
    for i, name in enumerate(names, len(entries)):
        entries.append(_prepare(name, directory, i))
    return entries


# --------------------------------------------------------------- reporting
def _duration(seconds: float) -> str:
    if seconds < 1:
        return "%.3f ms" % (seconds * 1000)
    return "%.3f s" % seconds


def _stats_line(name: str, instructions: int, seconds: float, total: Optional[float] = None) -> str:
    line = "%s: %d instructions executed in %s" % (name, instructions, _duration(seconds))
    if total is not None:
        line += " (%s in a worker process)" % _duration(total)
    return line


def _err(line: str) -> None:
    sys.stdout.flush()
    print(line, file=sys.stderr, flush=True)


_LOAD_PREFIX = "Failed to load bytecode: "


def _culprit(entry: _Entry, message: str) -> str:
    """The file a failure is about: the module file or the metadata file actually read."""
    if entry.temporary or not message.startswith(_LOAD_PREFIX):
        return entry.name
    if metadata_problem(entry.name) == message[len(_LOAD_PREFIX):] \
            and os.path.isfile(module_path(entry.name)):
        return metadata_path(entry.name)
    return module_path(entry.name)


def _failure_line(entry: _Entry, exc: BaseException) -> str:
    """``FILE: message`` for a failed load or run; faults also name their class."""
    if isinstance(exc, RuntimeError):
        return "%s: %s" % (_culprit(entry, str(exc)), exc)
    return "%s: %s: %s" % (entry.name, type(exc).__name__, exc)


def _entry_error(entry: _Entry) -> str:
    return ("tarnel: " if entry.tool_error else "") + entry.error


def _module_for_locations(entry: _Entry) -> Optional[Module]:
    """The module that ran, to show its instructions as assembly text."""
    if entry.module is not None or entry.temporary:
        return entry.module
    try:
        with open(module_path(entry.name), "rb") as fh:
            return decode(fh.read())
    except (OSError, DecodeError, ValueError, MemoryError):
        return None     # the debug forms from the VM serve instead


def _backtrace_lines(entry: _Entry, exc: BaseException, vm: Any = None) -> List[str]:
    """Where a failed run stopped, innermost call first (nothing for other failures).

    In-process the VM is asked directly; an isolated run brings the same
    data back with its exception (``where_data``). Only the VM's own
    RuntimeError comes from a failing instruction: a run stopped by a limit
    or a failed load has no instruction to show.
    """
    if type(exc) is not RuntimeError or str(exc).startswith(_LOAD_PREFIX):
        return []
    if vm is None and getattr(exc, "where_data", None) is None:
        return []
    module = _module_for_locations(entry)
    filename = entry.name if entry.temporary else module_path(entry.name)
    if vm is not None:
        where.attach(exc, vm, module, entry.source_map, filename)
    else:
        where.attach_data(exc, exc.where_data, module, entry.source_map, filename)
    return where.format_backtrace(exc.backtrace)


def _report_failure(entry: _Entry, exc: BaseException, vm: Any = None) -> None:
    """The error, then where it happened, innermost call first."""
    _err("\n".join([_failure_line(entry, exc)] + _backtrace_lines(entry, exc, vm)))


# ------------------------------------------------------- in-process, one file
def _import_vm():
    try:
        import tarnel_vm
    except ImportError as exc:
        _err("tarnel: the tarnel_vm extension is not available: %s" % exc)
        return None
    return tarnel_vm


def _load(vm: Any, entry: _Entry) -> bool:
    try:
        vm.load_bytecode(entry.module_path)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # the VM's RuntimeError, or its internal fault
        _err(_failure_line(entry, exc))
        return False
    finally:
        if entry.temporary:  # loading read it whole: nothing is left to clean up later
            os.unlink(entry.module_path)
    return True


def _execute(vm: Any, args: argparse.Namespace) -> tuple:
    """(result, exception or None, seconds) of one run with the command's limits."""
    sys.stdout.flush()       # the VM writes to descriptor 1 directly
    sys.stderr.flush()
    value, error = None, None
    start = time.perf_counter()
    try:
        # Ctrl-C raises KeyboardInterrupt out of the run, within milliseconds.
        value = execute(vm, timeout=args.timeout, max_memory=args.max_memory,
                        max_instructions=args.max_instructions,
                        args=[program_value(word) for word in args.program_words])
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # the VM's errors, limits, unfit words, internal faults
        error = exc
    return value, error, time.perf_counter() - start


def _run_in_process(entry: _Entry, args: argparse.Namespace) -> int:
    if entry.error is not None:
        _err(_entry_error(entry))
        return FAILED
    tarnel_vm = _import_vm()
    if tarnel_vm is None:
        return FAILED
    vm = tarnel_vm.VornVM()
    if args.debug:
        vm.set_debug(True)
    if not _load(vm, entry):
        return FAILED
    value, error, seconds = _execute(vm, args)
    if args.stats:
        _err(_stats_line(entry.name, vm.instruction_count(), seconds))
    if error is not None:
        _report_failure(entry, error, vm)
        return FAILED
    write_result(value, sys.stdout)
    return OK


# ---------------------------------------------------------- isolated, one file
def _run_one_isolated(entry: _Entry, args: argparse.Namespace) -> int:
    if entry.error is not None:
        _err(_entry_error(entry))
        return FAILED
    try:
        report = run_worker(entry.module_path, timeout=args.timeout, max_memory=args.max_memory,
                             debug=args.debug)
    except Exception as exc:  # the VM's errors and the isolation's alike
        _report_failure(entry, exc)
        return FAILED
    finally:
        if entry.temporary:
            os.unlink(entry.module_path)
    if args.stats:
        _err(_stats_line(entry.name, report.instructions, report.seconds, report.total_seconds))
    write_result(report.value, sys.stdout)
    return OK


# ---------------------------------------------------------- isolated, many
SUCCEEDED, FAILED_RUN, TIMED_OUT, CRASHED = "succeeded", "failed", "timed out", "crashed"


class _Done(NamedTuple):
    entry: _Entry
    kind: str          # one of the four above
    text: str          # repr of the result, or the error message
    details: List[str]  # where a failed run stopped
    output: Any        # what the program wrote to standard output: an open temporary file
    report: Any        # the isolation report of a successful run


def _classify(exc: BaseException) -> str:
    if isinstance(exc, TimeLimitExceeded):
        return TIMED_OUT
    if isinstance(exc, WorkerCrashed):
        return CRASHED
    return FAILED_RUN


def _multi_failure_text(entry: _Entry, exc: BaseException) -> str:
    """The failure of one of several files; names the file read when it is not the one given."""
    culprit = _culprit(entry, str(exc))
    return str(exc) if culprit == entry.name else "%s: %s" % (culprit, exc)


def _isolated_task(entry: _Entry, cancel: Optional[threading.Event], args: argparse.Namespace) -> _Done:
    if entry.error is not None:
        return _Done(entry, FAILED_RUN, entry.error, [], None, None)
    # The output waits on disk, not in memory, until its turn to be shown
    # comes: a program may print gigabytes.
    out = tempfile.TemporaryFile()
    try:
        report = run_worker(entry.module_path, timeout=args.timeout,
                            max_memory=args.max_memory, debug=args.debug,
                            stdout=out, cancel=cancel)
        done = (SUCCEEDED, result_text(report.value), [], report)
    except Cancelled:
        out.close()
        raise
    except Exception as exc:  # the VM's errors and the isolation's
        done = (_classify(exc), _multi_failure_text(entry, exc),
                _backtrace_lines(entry, exc), None)
    except BaseException:
        out.close()
        raise
    out.seek(0)
    return _Done(entry, done[0], done[1], done[2], out, done[3])


_CHUNK = 1 << 16


def _chunks(output: Any) -> Iterator[bytes]:
    """A program's output, a piece at a time; closes the file at the end."""
    if output is None:
        return
    with output:
        while True:
            chunk = output.read(_CHUNK)
            if not chunk:
                return
            yield chunk


class _NoProgress:
    def __init__(self, total: int):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def advance(self) -> None:
        pass

    def output(self, output: Any) -> None:
        """What a program wrote to standard output, passed on as it is."""
        sys.stdout.flush()
        for chunk in _chunks(output):
            sys.stdout.buffer.write(chunk)
        sys.stdout.buffer.flush()


class _RichProgress(_NoProgress):
    """A progress bar under the outcome lines while files run (rich)."""

    def __init__(self, total: int):
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn
        self._progress = Progress(TextColumn("running"), BarColumn(), MofNCompleteColumn(),
                                  TimeElapsedColumn(), transient=True, redirect_stdout=True,
                                  redirect_stderr=True)
        self._task = self._progress.add_task("running", total=total)

    def __enter__(self):
        self._progress.__enter__()
        return self

    def __exit__(self, *exc):
        return self._progress.__exit__(*exc)

    def advance(self) -> None:
        self._progress.advance(self._task)

    def output(self, output: Any) -> None:
        # While the bar is drawn, sys.stdout is rich's proxy, which prints
        # whole lines above the bar; its buffer would be the terminal itself.
        decoder = codecs.getincrementaldecoder("utf-8")("replace")
        for chunk in _chunks(output):
            sys.stdout.write(decoder.decode(chunk))
        sys.stdout.write(decoder.decode(b"", final=True))
        sys.stdout.flush()


def _progress_for(total: int):
    if total > 1 and sys.stdout.isatty():
        try:
            return _RichProgress(total)
        except ImportError:  # rich is optional: no bar without it
            pass
    return _NoProgress(total)


def _run_several(entries: List[_Entry], args: argparse.Namespace) -> int:
    counts = {SUCCEEDED: 0, FAILED_RUN: 0, TIMED_OUT: 0, CRASHED: 0}
    jobs = args.jobs if args.jobs is not None else check_jobs(None)
    outcomes = ordered_outcomes(entries, jobs, None, functools.partial(_isolated_task, args=args))
    with contextlib.closing(outcomes), _progress_for(len(entries)) as progress:
        for done in outcomes:
            if isinstance(done, BaseException):  # a fault of the task itself
                raise done
            progress.output(done.output)
            if done.kind == SUCCEEDED:
                print("%s: %s" % (done.entry.name, done.text), flush=True)
                if args.stats:
                    r = done.report
                    _err(_stats_line(done.entry.name, r.instructions, r.seconds, r.total_seconds))
            else:
                print("\n".join(["%s: %s: %s" % (done.entry.name, done.kind, done.text)]
                                 + done.details), flush=True)
            counts[done.kind] += 1
            progress.advance()
    print("%d succeeded, %d failed, %d timed out, %d crashed"
          % (counts[SUCCEEDED], counts[FAILED_RUN], counts[TIMED_OUT], counts[CRASHED]), flush=True)
    return OK if counts[SUCCEEDED] == len(entries) else FAILED


# ---------------------------------------------------------------- command
def _interrupted() -> int:
    """Exit status 130, with nothing more printed by a second Ctrl-C on the way out."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _err("tarnel: interrupted")
    return INTERRUPTED


@contextlib.contextmanager
def _jit_switch(off: bool) -> Iterator[None]:
    """TARNEL_JIT=0 while the runs last (worker processes inherit it), when `off`."""
    if not off:
        yield
        return
    before = os.environ.get("TARNEL_JIT")
    os.environ["TARNEL_JIT"] = "0"
    try:
        yield
    finally:
        if before is None:
            del os.environ["TARNEL_JIT"]
        else:
            os.environ["TARNEL_JIT"] = before


def cmd_run(args: argparse.Namespace) -> int:
    with _jit_switch(args.no_jit):
        return _run_command(args)


def _run_command(args: argparse.Namespace) -> int:
    if not args.files and args.program is None:
        args.run_parser.error("the following arguments are required: FILE (or -e PROGRAM)")
    count = len(args.files) + (args.program is not None)
    isolated = args.isolate or count > 1
    if isolated and (args.max_instructions is not None or args.program_words):
        _err("tarnel run: --max-instructions and program arguments need one file run in-process "
             "(without --isolate)")
        return FAILED
    try:
        with tempfile.TemporaryDirectory(prefix="tarnel-run-") as directory:
            entries = _entries(args, directory)
            if not isolated:
                return _run_in_process(entries[0], args)
            if len(entries) == 1:
                return _run_one_isolated(entries[0], args)
            return _run_several(entries, args)
    except KeyboardInterrupt:
        return _interrupted()


__all__ = ["add_run_args", "cmd_run", "program_value", "split_program_words"]
