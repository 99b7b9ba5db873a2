"""Running modules in worker processes, with time and memory limits.

``VornVM.execute()`` runs on the calling thread with the interpreter lock
held from start to end, never looks at signals and has no limits of its
own: a program that loops forever never returns, and nothing stops a
program from taking all the memory the machine has. The functions here run
each module in a fresh worker process instead, so that the caller can stop
it::

    import tarnel

    tarnel.run_isolated("prog.tnbc", timeout=5, max_memory="512M")
    for outcome in tarnel.run_many(paths, jobs=4, timeout=5):
        ...

A worker is a new interpreter (``sys.executable``) started with
:mod:`subprocess`: it is never a fork of the caller. It applies the memory
limit to itself, loads and executes the module with one ``VornVM`` and sends
back the result (or the VM's error) through a pipe of its own. The worker
inherits the caller's standard output and standard error, so the trace and
the program's ``DebugPrint`` lines appear where they would in-process.
"""

from __future__ import annotations

import builtins
import collections
import concurrent.futures as cf
import functools
import marshal
import math
import os
import re
import selectors
import signal
import subprocess
import sys
import threading
import time
from typing import Any, Callable, Iterable, Iterator, List, Optional, Union

from .limits import LimitExceeded

__all__ = [
    "IsolationError", "MemoryLimitExceeded", "TimeLimitExceeded", "WorkerCrashed",
    "parse_size", "run_isolated", "run_many", "worker_pids",
]

SizeLike = Union[int, str]

# How often a worker's waiting thread looks at a cancellation request when
# there is one to look at (run_many's own thread pool). Seconds.
_POLL = 0.05
# How long a thread waiting for a worker or for a batch's runs sleeps
# before it looks at signals again (ordered_outcomes). Seconds.
_WAKE_FOR_SIGNALS = 0.25

# How long to wait for a worker to exit once it has sent its whole result.
_EXIT_GRACE = 5.0


# ----------------------------------------------------------------- errors
class IsolationError(RuntimeError):
    """An isolated run ended without a result and without an error of the VM.

    A subclass of RuntimeError, like the VM's own failures, so that
    ``except RuntimeError`` still catches every way a run can fail.
    """

    def __reduce__(self):
        return (type(self), self.args)


class TimeLimitExceeded(IsolationError, LimitExceeded, TimeoutError):
    """The run took longer than its ``timeout``: the worker was killed, or
    an in-process run (:func:`tarnel.execute`) was stopped.

    Also a :class:`TimeoutError`. ``timeout`` holds the limit in seconds.
    """

    def __init__(self, message: str, timeout: Optional[float] = None):
        super().__init__(message)
        self.timeout = timeout

    def __reduce__(self):
        return (type(self), (self.args[0], self.timeout))


class MemoryLimitExceeded(IsolationError, LimitExceeded):
    """The program needed more memory than ``max_memory`` allowed (in an
    isolated run or an in-process one, :func:`tarnel.execute`).

    ``limit`` holds the limit in bytes. Raised when the VM reports
    "Runtime error: Out of memory" under the limit, when the worker runs out
    of memory outside the VM, and when the worker dies under the limit
    without a result (the usual end of an allocation that nothing checks).
    """

    def __init__(self, message: str, limit: Optional[int] = None):
        super().__init__(message)
        self.limit = limit

    def __reduce__(self):
        return (type(self), (self.args[0], self.limit))


class WorkerCrashed(IsolationError):
    """The worker ended without sending a result.

    ``signal`` is the :class:`signal.Signals` member (or the number, for a
    signal Python does not name) that killed it, or None when it exited on
    its own; ``returncode`` is the worker's status as :mod:`subprocess`
    reports it (negative for a signal).
    """

    def __init__(self, message: str, signal: Optional[int] = None,
                 returncode: Optional[int] = None):
        super().__init__(message)
        self.signal = signal
        self.returncode = returncode

    def __reduce__(self):
        return (type(self), (self.args[0], self.signal, self.returncode))


class Cancelled(IsolationError):
    """run_many was closed while this run was going on (never surfaces)."""


# ---------------------------------------------------------- arguments
_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*(?:([kmgt])(i?b)?|(b))?\s*\Z", re.IGNORECASE)
_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}
_MAX_SIZE = (1 << 63) - 2  # below RLIM_INFINITY, whose meaning is "no limit"


def parse_size(size: SizeLike) -> int:
    """A memory size in bytes from an int or a text such as "512M".

    Texts are a number (decimals allowed) and an optional unit: ``K``,
    ``M``, ``G`` or ``T`` (powers of 1024, any case), optionally followed by
    ``B`` or ``iB``; a plain ``B`` or no unit means bytes. "256MB", "256m",
    "256MiB" and "268435456" are the same size. The size must be at least
    one byte. Raises ValueError for anything else and TypeError for a value
    that is neither int nor str.
    """
    if isinstance(size, bool) or not isinstance(size, (int, str)):
        raise TypeError("memory size must be an int or a str, not %s" % type(size).__name__)
    if isinstance(size, int):
        value = size
    else:
        match = _SIZE.match(size)
        if match is None:
            raise ValueError("invalid memory size %r (expected e.g. 512M, 2G, 256MB, 1048576)" % size)
        number, unit = match.group(1), (match.group(2) or "").lower()
        if "." in number:
            value = int(float(number) * _UNITS[unit])
        else:
            value = int(number) * _UNITS[unit]
    if value < 1:
        raise ValueError("memory size must be at least 1 byte, got %r" % (size,))
    if value > _MAX_SIZE:
        raise ValueError("memory size too large: %r" % (size,))
    return value


def _check_timeout(timeout: Optional[float]) -> Optional[float]:
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError("timeout must be a number of seconds, not %s" % type(timeout).__name__)
    if not timeout > 0:  # also refuses NaN
        raise ValueError("timeout must be a positive number of seconds, got %r" % (timeout,))
    return None if math.isinf(timeout) else float(timeout)


def _check_path(path: Any) -> str:
    path = os.fspath(path)
    if not isinstance(path, str):
        raise TypeError("path must be a str or an os.PathLike giving a str, not %s"
                        % type(path).__name__)
    return path


def _describe_size(size: int) -> str:
    for unit, name in ((1 << 30, "GiB"), (1 << 20, "MiB"), (1 << 10, "KiB")):
        if size >= unit:
            amount = size / unit
            return ("%d %s" % (amount, name)) if amount == int(amount) else ("%.1f %s" % (amount, name))
    return "%d bytes" % size


def _describe_seconds(seconds: float) -> str:
    return ("%g s" % seconds)


# ------------------------------------------------------------ the worker
# The program a worker runs: a file of its own, started by path (not as a
# module of this package) so that it imports nothing but builtin modules.
_WORKER_PROGRAM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_worker.py")


def _unflatten(ops: List[Any]) -> Any:
    """Rebuild a result from the worker's prefix encoding.

    ``("L", n)`` starts a list of the next n values, ``("D", n)`` a dict of
    the next n key/value pairs (each key a plain str); anything else is a
    scalar. Iterative, so that the nesting depth of the VM's results (which
    has no limit) is not limited here either.
    """
    root: List[Any] = []
    stack: List[list] = []          # [container, items still expected, pending key]
    no_key = stack                  # a marker no key can be

    def attach(value: Any) -> None:
        if not stack:
            root.append(value)
            return
        frame = stack[-1]
        container = frame[0]
        if type(container) is list:
            container.append(value)
        elif frame[2] is no_key:
            frame[2] = value
            return
        else:
            container[frame[2]] = value
            frame[2] = no_key
        frame[1] -= 1
        if frame[1] == 0:
            stack.pop()

    for op in ops:
        if type(op) is tuple:
            kind, count = op
            container: Any = [] if kind == "L" else {}
            attach(container)
            if count:
                stack.append([container, count, no_key])
        else:
            attach(op)
    if len(root) != 1 or stack:
        raise IsolationError("worker sent a malformed result")
    return root[0]


_workers_lock = threading.Lock()
_workers: dict = {}


def worker_pids() -> List[int]:
    """Process ids of the workers this process is running right now."""
    with _workers_lock:
        return sorted(_workers)


class _Report:
    """What a worker sent back for one run."""

    __slots__ = ("value", "instructions", "seconds", "total_seconds")

    def __init__(self, value: Any, instructions: int, seconds: float, total_seconds: float):
        self.value = value
        self.instructions = instructions
        self.seconds = seconds              # execute() alone, measured in the worker
        self.total_seconds = total_seconds  # the whole isolated run, seen from the caller


def _signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return "signal %d" % number


def _signal_value(number: int) -> int:
    try:
        return signal.Signals(number)
    except ValueError:
        return number


def _kill(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        try:
            proc.kill()
        except OSError:
            pass
    proc.wait()


def run_worker(path: Any, *, timeout: Optional[float] = None, max_memory: Optional[SizeLike] = None,
                debug: bool = False, stdout: Any = None,
                cancel: Optional[threading.Event] = None) -> _Report:
    """One isolated run; the common body of run_isolated, run_many and the CLI.

    ``stdout`` (a file object with a descriptor) receives the worker's
    standard output instead of the caller's; ``cancel`` ends the run with
    Cancelled when set from another thread.
    """
    path = _check_path(path)
    # The VM refuses a path it cannot encode with UnicodeEncodeError; so does
    # an isolated run, before starting a worker that could only report it
    # by name.
    path.encode("utf-8")
    timeout = _check_timeout(timeout)
    limit = parse_size(max_memory) if max_memory is not None else 0
    if not isinstance(debug, bool):
        raise TypeError("debug must be a bool, not %s" % type(debug).__name__)
    if not sys.executable:
        raise IsolationError("cannot start a worker: sys.executable is not set")
    request = marshal.dumps((path, debug, [p for p in sys.path if isinstance(p, str)]))

    if stdout is None:  # the worker writes to the same descriptors: keep the order
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (AttributeError, ValueError, OSError):
                pass
    started = time.monotonic()
    deadline = None if timeout is None else started + timeout
    read_fd, write_fd = os.pipe()
    try:
        proc = subprocess.Popen(
            [sys.executable, "-S", _WORKER_PROGRAM, str(write_fd), str(limit), str(os.getpid())],
            stdin=subprocess.PIPE, stdout=stdout, pass_fds=(write_fd,), start_new_session=True)
    except BaseException:
        os.close(read_fd)
        os.close(write_fd)
        raise
    os.close(write_fd)
    with _workers_lock:
        _workers[proc.pid] = proc
    try:
        try:
            proc.stdin.write(request)
            proc.stdin.close()
        except BrokenPipeError:  # the worker is already gone; its status tells why
            pass
        data = _read_all(read_fd, deadline, cancel)
        if data is None:
            _kill(proc)
            raise TimeLimitExceeded("time limit of %s exceeded" % _describe_seconds(timeout),
                                    timeout) from None
        _wait_exit(proc, cancel)
    except BaseException:
        _kill(proc)
        raise
    finally:
        os.close(read_fd)
        with _workers_lock:
            _workers.pop(proc.pid, None)
    return _report(data, proc.returncode, limit, time.monotonic() - started)


def _read_all(fd: int, deadline: Optional[float], cancel: Optional[threading.Event]) -> Optional[bytes]:
    """Everything the worker writes to the result pipe; None past the deadline."""
    chunks = []
    with selectors.DefaultSelector() as selector:
        selector.register(fd, selectors.EVENT_READ)
        while True:
            # Never without a timeout: see ordered_outcomes.
            wait = _POLL if cancel is not None else _WAKE_FOR_SIGNALS
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                wait = min(wait, left)
            ready = selector.select(wait)
            if cancel is not None and cancel.is_set():
                raise Cancelled("cancelled")
            if ready:
                chunk = os.read(fd, 1 << 16)
                if not chunk:
                    return b"".join(chunks)
                chunks.append(chunk)


def _wait_exit(proc: subprocess.Popen, cancel: Optional[threading.Event]) -> None:
    """Wait for a worker that has closed its result pipe (it exits right after)."""
    give_up = time.monotonic() + _EXIT_GRACE
    while True:
        try:
            proc.wait(timeout=_POLL)
            return
        except subprocess.TimeoutExpired:
            if cancel is not None and cancel.is_set():
                raise Cancelled("cancelled") from None
            if time.monotonic() >= give_up:  # the result is complete: do not wait forever
                _kill(proc)
                return


def _report(data: bytes, returncode: int, limit: int, total: float) -> _Report:
    message = None
    if data:
        try:
            message = marshal.loads(data)
        except (EOFError, ValueError, TypeError):
            message = None
    if not isinstance(message, tuple) or not message:
        raise _no_result(returncode, limit)
    tag = message[0]
    if tag == "ok":
        return _Report(message[1], message[2], message[3], total)
    if tag == "flat":
        return _Report(_unflatten(message[1]), message[2], message[3], total)
    if tag == "error":
        error = _rebuild_error(message[1], message[2], message[3], limit)
        if len(message) > 6 and message[6] is not None and type(error) is RuntimeError:
            from .where import attach_data
            attach_data(error, message[6])
        raise error
    raise IsolationError("worker sent a malformed result")


def _no_result(returncode: int, limit: int) -> IsolationError:
    if returncode is not None and returncode < 0:
        number = -returncode
        name = _signal_name(number)
        # Under an address-space limit, an allocation that is not checked
        # ends in SIGSEGV, SIGBUS or SIGABRT (an abort on a failed malloc).
        if limit and number in (signal.SIGSEGV, signal.SIGBUS, signal.SIGABRT):
            return MemoryLimitExceeded("memory limit of %s exceeded (worker killed by %s)"
                                       % (_describe_size(limit), name), limit)
        return WorkerCrashed("worker killed by %s" % name, _signal_value(number), returncode)
    if limit and returncode:
        return MemoryLimitExceeded("memory limit of %s exceeded (worker exited with status %d)"
                                   % (_describe_size(limit), returncode), limit)
    return WorkerCrashed("worker exited with status %s without a result" % returncode,
                         None, returncode)


_OUT_OF_MEMORY = "Runtime error: Out of memory"


def _rebuild_error(module: str, name: str, text: str, limit: int) -> BaseException:
    """The exception the worker caught, as the caller would have seen it in-process."""
    if limit and (name == "MemoryError"
                  or (name == "RuntimeError" and text == _OUT_OF_MEMORY)
                  or (name == "InternalFault" and "out of memory" in text)
                  # a limit too small for the worker to load the extension
                  or (name == "ImportError" and ("failed to map" in text
                                                 or "Cannot allocate memory" in text))):
        return MemoryLimitExceeded("memory limit of %s exceeded (%s)"
                                   % (_describe_size(limit), text or name), limit)
    if module == "builtins":
        kind = getattr(builtins, name, None)
        if isinstance(kind, type) and issubclass(kind, BaseException):
            try:
                return kind(text)
            except Exception:
                pass
    # The VM's internal fault class (tarnel_vm.InternalFault) cannot be
    # reached from outside the extension: report it with its name.
    return IsolationError("worker failed with %s.%s: %s" % (module, name, text))


# ---------------------------------------------------------------- public
def run_isolated(path: Union[str, "os.PathLike[str]"], *, timeout: Optional[float] = None,
                 max_memory: Optional[SizeLike] = None, debug: bool = False) -> Any:
    """Load and execute the module at ``path`` in a fresh worker process.

    Returns the program's result as ``VornVM.execute()`` would (None, bool,
    int, float, str, list, dict). The VM's own failures are raised as the
    same RuntimeError with the same text ("Failed to load bytecode: ...",
    "Runtime error: ...").

    ``timeout``: seconds of wall-clock time for the whole run (starting the
    worker included); past it the worker is killed and TimeLimitExceeded is
    raised. ``max_memory``: bytes, or a text like "512M" (see
    :func:`parse_size`); the worker's address space is limited to it and
    running out raises MemoryLimitExceeded. A worker killed by a signal
    raises WorkerCrashed. KeyboardInterrupt (or any exception) while waiting
    kills the worker before it propagates.
    """
    return run_worker(path, timeout=timeout, max_memory=max_memory, debug=debug).value


def check_jobs(jobs: Optional[int]) -> int:
    if jobs is None:
        return os.cpu_count() or 1
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError("jobs must be an int, not %s" % type(jobs).__name__)
    if jobs < 1:
        raise ValueError("jobs must be at least 1, got %d" % jobs)
    return jobs


def run_many(paths: Iterable[Union[str, "os.PathLike[str]"]], *, jobs: Optional[int] = None,
             timeout: Optional[float] = None, max_memory: Optional[SizeLike] = None,
             executor: Optional[cf.Executor] = None) -> Iterator[Any]:
    """Run each module in ``paths`` isolated, ``jobs`` at a time.

    Yields one outcome per path, in the order of ``paths``: the result, or
    the exception instance the run raised (results are never exceptions, so
    ``isinstance(outcome, BaseException)`` tells them apart). ``paths`` is
    read lazily and at most a few times ``jobs`` outcomes are held ahead of
    the one being waited for.

    ``timeout`` and ``max_memory`` apply to each run as in run_isolated.
    ``executor`` may be any concurrent.futures.Executor (a Dask client's
    ``get_executor()``, for one): each task calls run_isolated for one path
    wherever the executor runs it, and at most ``jobs`` tasks are submitted
    at a time. Without one, a thread pool of ``jobs`` threads in this process
    drives the workers.

    Closing the generator (or an exception such as KeyboardInterrupt in the
    loop that consumes it) cancels the runs not yet started; with the
    default executor it also kills the workers still running.
    """
    if isinstance(paths, (str, bytes, bytearray, os.PathLike)):
        raise TypeError("paths must be an iterable of paths, not a single %s path "
                        "(write [path], or use run_isolated)" % type(paths).__name__)
    jobs = check_jobs(jobs)
    timeout = _check_timeout(timeout)
    limit = parse_size(max_memory) if max_memory is not None else None
    if executor is not None and not isinstance(executor, cf.Executor):
        raise TypeError("executor must be a concurrent.futures.Executor, not %s"
                        % type(executor).__name__)
    task = functools.partial(_run_task, timeout=timeout, max_memory=limit)
    return unwrapped(ordered_outcomes(paths, jobs, executor, task))


def _run_task(path: Any, cancel: Optional[threading.Event] = None, *,
              timeout: Optional[float], max_memory: Optional[int]) -> tuple:
    """One run of run_many: (True, result) or (False, exception).

    Failures are returned rather than raised so that an executor does not
    treat a program's error as a failed task (Dask logs those).
    """
    try:
        return (True, run_worker(path, timeout=timeout, max_memory=max_memory,
                                  cancel=cancel).value)
    except Cancelled:
        raise
    except Exception as exc:
        return (False, exc)


def unwrapped(outcomes: Iterator[Any]) -> Iterator[Any]:
    try:
        for outcome in outcomes:
            yield outcome[1] if isinstance(outcome, tuple) else outcome
    finally:
        outcomes.close()


def ordered_outcomes(items: Iterable[Any], jobs: int, executor: Optional[cf.Executor],
                      task: Callable[[Any, Optional[threading.Event]], Any]) -> Iterator[Any]:
    """Call ``task(item, cancel)`` for each item, at most ``jobs`` unfinished at a time,
    and yield the outcomes in the order of ``items``.

    With no executor, a thread pool of ``jobs`` threads runs the tasks and
    ``cancel`` is an event set when the generator ends, for the tasks still
    running to stop. Tasks given to another executor get None: it may run
    them in other processes, where an event of this one means nothing.
    """
    runs: Optional[_Runs] = None
    pool: Optional[cf.Executor] = None
    if executor is None:
        runs = _Runs(task)
        task = runs.run
        pool = executor = cf.ThreadPoolExecutor(jobs, thread_name_prefix="tarnel-run")
    cancel = runs.cancel if runs is not None else None
    window = 4 * jobs
    source = iter(items)
    pending: collections.deque = collections.deque()   # submitted, not yet yielded, in order
    running: set = set()                                # submitted, not yet done
    more = True
    try:
        while True:
            while more and len(running) < jobs and len(pending) < window:
                try:
                    item = next(source)
                except StopIteration:
                    more = False
                    break
                future = executor.submit(task, item, cancel)
                pending.append(future)
                running.add(future)
            if not pending:
                return
            head = pending[0]
            if not head.done():
                # With a timeout: a Ctrl-C that the kernel hands to one of
                # the pool's threads sets Python's flag but does not wake
                # this one, which must come back to the interpreter to see
                # it. Without a timeout it would wait for a run that may
                # never end.
                cf.wait(running, timeout=_WAKE_FOR_SIGNALS, return_when=cf.FIRST_COMPLETED)
                running = {f for f in running if not f.done()}
                continue
            pending.popleft()
            running.discard(head)
            yield _outcome(head)
    finally:
        for future in pending:
            future.cancel()
        if runs is not None:
            runs.stop()
        if pool is not None:
            pool.shutdown(wait=True)


class _Runs:
    """The tasks of one ordered_outcomes call on its own thread pool.

    stop() cancels them and returns once every task that had started has
    ended; a task that starts later does nothing. Waiting for the tasks
    rather than for the pool's threads matters: a KeyboardInterrupt inside
    submit() can leave a thread running that the pool has not recorded yet,
    which its shutdown() would not wait for, and whose worker would outlive
    the interrupt.
    """

    def __init__(self, task: Callable[[Any, Optional[threading.Event]], Any]):
        self.cancel = threading.Event()
        self._task = task
        self._changed = threading.Condition()
        self._active = 0

    def run(self, item: Any, cancel: Optional[threading.Event]) -> Any:
        with self._changed:
            if self.cancel.is_set():
                raise Cancelled("cancelled")
            self._active += 1
        try:
            return self._task(item, cancel)
        finally:
            with self._changed:
                self._active -= 1
                self._changed.notify_all()

    def stop(self) -> None:
        with self._changed:
            self.cancel.set()
            self._changed.wait_for(lambda: self._active == 0)


def _outcome(future: cf.Future) -> Any:
    try:
        error = future.exception()
    except cf.CancelledError as exc:
        return exc
    return future.result() if error is None else error
