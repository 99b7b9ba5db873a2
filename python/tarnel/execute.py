"""In-process runs with limits: :func:`execute`.

``VornVM.execute()`` holds the interpreter lock for the whole run, never
looks at signals and never stops a program that does not stop itself.
:func:`execute` runs the same loaded module with the controls an embedder
needs: an instruction budget, a wall-clock timeout, a memory cap, Ctrl-C,
and other Python threads running meanwhile.
"""

from __future__ import annotations

import math
import threading
from typing import Any, Callable, Optional, Sequence, Union

from .isolation import Cancelled, MemoryLimitExceeded, TimeLimitExceeded, parse_size
from .limits import InstructionLimitExceeded, LimitExceeded
from .where import attach

SizeLike = Union[int, str]

_MAX_COUNT = (1 << 64) - 1


def _check_instructions(value: Any) -> Optional[int]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("max_instructions must be an int, not %s" % type(value).__name__)
    if not 0 <= value <= _MAX_COUNT:
        raise ValueError("max_instructions must be between 0 and 2**64 - 1, got %d" % value)
    return value


def _check_timeout(value: Any) -> Optional[float]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("timeout must be a number of seconds, not %s" % type(value).__name__)
    if math.isnan(value) or value < 0:
        raise ValueError("timeout must be 0 or more seconds, got %r" % (value,))
    return None if math.isinf(value) else float(value)


def _check_memory(value: Any) -> Optional[int]:
    if value is None:
        return None
    limit = parse_size(value)  # TypeError / ValueError with their own messages
    return limit


def _check_flag(name: str, value: Any) -> bool:
    if not isinstance(value, bool):
        raise TypeError("%s must be a bool, not %s" % (name, type(value).__name__))
    return value


def _check_args(value: Any) -> Optional[list]:
    if value is None:
        return None
    if isinstance(value, (str, bytes, dict)) or not isinstance(value, Sequence):
        raise TypeError("args must be a list of values, not %s" % type(value).__name__)
    return list(value)


def execute(vm: Any, *, max_instructions: Optional[int] = None, timeout: Optional[float] = None,
            max_memory: Optional[SizeLike] = None, interruptible: bool = True,
            release_gil: bool = True, args: Optional[Sequence[Any]] = None,
            _stop: Optional[Callable[[], bool]] = None) -> Any:
    """Run the module loaded in ``vm`` (a ``tarnel_vm.VornVM``) like ``vm.execute()``.

    Returns what ``vm.execute()`` would return and raises the same
    RuntimeError for the program's own failures. On top of that:

    ``max_instructions``: run at most this many instructions in this call.
        When they are spent and the program has not ended, the run stops
        before the next one: ``vm.instruction_count()`` has grown by exactly
        ``max_instructions``, and InstructionLimitExceeded is raised.
    ``timeout``: seconds of wall-clock time from the start of the call; the
        run stops within about 10 ms of it (TimeLimitExceeded).
    ``max_memory``: bytes, or a size text such as "256M" (see
        :func:`tarnel.parse_size`). The bytes held by the VM's strings,
        arrays and dictionaries never pass it: the operation that would pass
        it fails before allocating (MemoryLimitExceeded).
    ``interruptible``: on the main thread, Ctrl-C (or any signal handler
        that raises) stops the run within about 10 ms, and its exception
        (KeyboardInterrupt) propagates from this call.
    ``release_gil``: let other Python threads run while the program runs.
        Runs of different VMs on different threads then go on in parallel;
        any other call on the same VM meanwhile raises RuntimeError
        "Already borrowed" (or "Already mutably borrowed").
    ``args``: up to 16 values (None, bool, int, float, str, and lists and
        dicts with str keys of them) written into r0, r1, ... before the
        run, where a called function finds its arguments.

    A run stopped by a limit or a signal leaves the VM as a failed run
    does: frames of the calls in progress stay, and a later run starts
    again at "main" with the registers and globals the stopped run left.
    Every limit's exception is a :class:`LimitExceeded` (a RuntimeError)
    whose text reads "Runtime error: ... limit exceeded".
    """
    import tarnel_vm

    instructions = _check_instructions(max_instructions)
    seconds = _check_timeout(timeout)
    memory = _check_memory(max_memory)
    interruptible = _check_flag("interruptible", interruptible)
    release_gil = _check_flag("release_gil", release_gil)
    values = _check_args(args)
    # Only the main thread runs Python's signal handlers.
    check_signals = interruptible and threading.current_thread() is threading.main_thread()
    try:
        kind, value = tarnel_vm._execute(vm, instructions, seconds, memory, check_signals,
                                         release_gil, values, _stop)
    except RuntimeError as exc:
        if type(exc) is RuntimeError:  # the program failed: say where (exc.location)
            attach(exc, vm)
        raise
    if kind == 0:
        return value
    if kind == 1:
        raise InstructionLimitExceeded("Runtime error: Instruction limit exceeded", instructions)
    if kind == 2:
        raise TimeLimitExceeded("Runtime error: Time limit exceeded", seconds)
    if kind == 3:
        raise MemoryLimitExceeded("Runtime error: Memory limit exceeded", memory)
    raise Cancelled("the run was cancelled")


__all__ = ["InstructionLimitExceeded", "LimitExceeded", "MemoryLimitExceeded",
           "TimeLimitExceeded", "execute"]
