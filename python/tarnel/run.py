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
import sys
import tempfile
import threading
import time
from typing import Any, Iterator, List, NamedTuple, Optional

from .asm import AssemblyError, assemble
from .execute import execute
from .isolation import (TimeLimitExceeded, WorkerCrashed, Cancelled, check_jobs,
                        ordered_outcomes, run_worker, parse_size)

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
    p.add_argument("files", nargs="+", metavar="FILE",
                   help="module file (.tnbc), or assembly source (.tnasm) assembled first")
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
    p.add_argument("-j", "--jobs", type=_jobs, metavar="N",
                   help="isolated runs at a time with several files (default: number of CPUs)")
    p.set_defaults(program_words=[])
    p.usage = "%(prog)s [options] FILE [FILE ...] [-- WORD ...]"


# ------------------------------------------------------------ preparation
class _Entry(NamedTuple):
    name: str                       # as given on the command line
    module_path: Optional[str]      # what the VM loads
    error: Optional[str]            # why it cannot be run at all
    temporary: bool                 # module_path was assembled here


def _prepare(name: str, directory: str, index: int) -> _Entry:
    """A module file for ``name``: itself, or a .tnasm source assembled into ``directory``."""
    if not name.lower().endswith(".tnasm"):
        return _Entry(name, name, None, False)
    try:
        with open(name, "rb") as fh:
            text = fh.read().decode("utf-8")
    except OSError as exc:
        return _Entry(name, None, "cannot read %s: %s" % (name, exc.strerror or exc), False)
    except UnicodeDecodeError as exc:
        return _Entry(name, None, "%s is not UTF-8 text: %s" % (name, exc), False)
    try:
        data = assemble(text, name)
    except AssemblyError as exc:
        return _Entry(name, None, str(exc), False)
    stem = os.path.splitext(os.path.basename(name))[0] or "module"
    path = os.path.join(directory, "%d-%s.tnbc" % (index, stem))
    with open(path, "wb") as fh:
        fh.write(data)
    return _Entry(name, path, None, True)


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


# ------------------------------------------------------- in-process, one file
def _import_vm():
    try:
        import tarnel_vm
    except ImportError as exc:
        _err("tarnel: the tarnel_vm extension is not available: %s" % exc)
        return None
    return tarnel_vm


def _run_in_process(entry: _Entry, args: argparse.Namespace) -> int:
    if entry.error is not None:
        _err(entry.error)
        return FAILED
    tarnel_vm = _import_vm()
    if tarnel_vm is None:
        return FAILED
    vm = tarnel_vm.VornVM()
    if args.debug:
        vm.set_debug(True)
    try:
        vm.load_bytecode(entry.module_path)
    except RuntimeError as exc:
        _err("%s: %s" % (entry.name, exc))
        return FAILED
    finally:
        if entry.temporary:  # loading read it whole: nothing is left to clean up later
            os.unlink(entry.module_path)
    sys.stdout.flush()       # the VM writes to descriptor 1 directly
    sys.stderr.flush()
    error = None
    start = time.perf_counter()
    try:
        # Ctrl-C raises KeyboardInterrupt out of the run, within milliseconds.
        value = execute(vm, timeout=args.timeout, max_memory=args.max_memory,
                        max_instructions=args.max_instructions,
                        args=[program_value(word) for word in args.program_words])
    except (RuntimeError, ValueError) as exc:  # the VM's errors, limits, unfit words
        error = exc
    seconds = time.perf_counter() - start
    if args.stats:
        _err(_stats_line(entry.name, vm.instruction_count(), seconds))
    if error is not None:
        _err("%s: %s" % (entry.name, error))
        return FAILED
    print(repr(value), flush=True)
    return OK


# ---------------------------------------------------------- isolated, one file
def _run_one_isolated(entry: _Entry, args: argparse.Namespace) -> int:
    if entry.error is not None:
        _err(entry.error)
        return FAILED
    try:
        report = run_worker(entry.module_path, timeout=args.timeout, max_memory=args.max_memory,
                             debug=args.debug)
    except RuntimeError as exc:  # the VM's errors and IsolationError alike
        _err("%s: %s" % (entry.name, exc))
        return FAILED
    if args.stats:
        _err(_stats_line(entry.name, report.instructions, report.seconds, report.total_seconds))
    print(repr(report.value), flush=True)
    return OK


# ---------------------------------------------------------- isolated, many
SUCCEEDED, FAILED_RUN, TIMED_OUT, CRASHED = "succeeded", "failed", "timed out", "crashed"


class _Done(NamedTuple):
    entry: _Entry
    kind: str          # one of the four above
    text: str          # repr of the result, or the error message
    output: Any        # what the program wrote to standard output: an open temporary file
    report: Any        # the isolation report of a successful run


def _classify(exc: BaseException) -> str:
    if isinstance(exc, TimeLimitExceeded):
        return TIMED_OUT
    if isinstance(exc, WorkerCrashed):
        return CRASHED
    return FAILED_RUN


def _isolated_task(entry: _Entry, cancel: Optional[threading.Event], args: argparse.Namespace) -> _Done:
    if entry.error is not None:
        return _Done(entry, FAILED_RUN, entry.error, None, None)
    # The output waits on disk, not in memory, until its turn to be shown
    # comes: a program may print gigabytes.
    out = tempfile.TemporaryFile()
    try:
        report = run_worker(entry.module_path, timeout=args.timeout,
                            max_memory=args.max_memory, debug=args.debug,
                            stdout=out, cancel=cancel)
        done = (SUCCEEDED, repr(report.value), report)
    except Cancelled:
        out.close()
        raise
    except Exception as exc:  # the VM's errors and the isolation's
        done = (_classify(exc), str(exc), None)
    except BaseException:
        out.close()
        raise
    out.seek(0)
    return _Done(entry, done[0], done[1], out, done[2])


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
        from rich.progress import (BarColumn, MofNCompleteColumn, Progress, TextColumn,
                                   TimeElapsedColumn)
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
                print("%s: %s: %s" % (done.entry.name, done.kind, done.text), flush=True)
            counts[done.kind] += 1
            progress.advance()
    print("%d succeeded, %d failed, %d timed out, %d crashed"
          % (counts[SUCCEEDED], counts[FAILED_RUN], counts[TIMED_OUT], counts[CRASHED]), flush=True)
    return OK if counts[SUCCEEDED] == len(entries) else FAILED


# ---------------------------------------------------------------- command
def cmd_run(args: argparse.Namespace) -> int:
    isolated = args.isolate or len(args.files) > 1
    if isolated and (args.max_instructions is not None or args.program_words):
        _err("tarnel run: --max-instructions and program arguments need one file run in-process "
             "(without --isolate)")
        return FAILED
    try:
        with tempfile.TemporaryDirectory(prefix="tarnel-run-") as directory:
            entries = [_prepare(name, directory, i) for i, name in enumerate(args.files)]
            if not isolated:
                return _run_in_process(entries[0], args)
            if len(entries) == 1:
                return _run_one_isolated(entries[0], args)
            return _run_several(entries, args)
    except KeyboardInterrupt:
        _err("tarnel: interrupted")
        return INTERRUPTED


__all__ = ["add_run_args", "cmd_run", "program_value", "split_program_words"]
