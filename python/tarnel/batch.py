"""Running many modules: in worker processes or in threads of this process."""

from __future__ import annotations

import concurrent.futures as cf
import functools
import os
import threading
from typing import Any, Iterable, Iterator, Optional, Union

from . import isolation
from .execute import _check_instructions, _check_memory, _check_timeout, execute

SizeLike = Union[int, str]


def run_many(paths: Iterable[Union[str, "os.PathLike[str]"]], *, jobs: Optional[int] = None,
             timeout: Optional[float] = None, max_memory: Optional[SizeLike] = None,
             max_instructions: Optional[int] = None, isolate: bool = True,
             executor: Optional[cf.Executor] = None) -> Iterator[Any]:
    """Run each module in ``paths``, ``jobs`` at a time.

    Yields one outcome per path, in the order of ``paths``: the result, or
    the exception instance the run raised (results are never exceptions, so
    ``isinstance(outcome, BaseException)`` tells them apart).

    ``isolate=True`` (the default) runs each module in a worker process of
    its own, as :func:`tarnel.run_isolated` does; ``executor`` may then be
    any concurrent.futures.Executor (see :func:`tarnel.isolation.run_many`).

    ``isolate=False`` runs them in ``jobs`` threads of this process, each
    on a fresh ``VornVM`` with :func:`tarnel.execute`: no process start per
    module, and the threads run in parallel because the VM releases the
    interpreter lock. ``timeout``, ``max_memory`` and ``max_instructions``
    apply to each run. Closing the generator stops the runs still going
    within a few milliseconds.
    """
    if isolate:
        if max_instructions is not None:
            raise ValueError("max_instructions needs isolate=False: worker processes count time, "
                             "not instructions")
        return isolation.run_many(paths, jobs=jobs, timeout=timeout, max_memory=max_memory,
                                  executor=executor)
    if executor is not None:
        raise ValueError("executor is for isolated runs (isolate=True)")
    jobs = isolation.check_jobs(jobs)
    task = functools.partial(_run_here, timeout=_check_timeout(timeout),
                             max_memory=_check_memory(max_memory),
                             max_instructions=_check_instructions(max_instructions))
    return isolation.unwrapped(isolation.ordered_outcomes(paths, jobs, None, task))


def _run_here(path: Any, cancel: Optional[threading.Event], *, timeout: Optional[float],
              max_memory: Optional[int], max_instructions: Optional[int]) -> tuple:
    """One in-process run of run_many: (True, result) or (False, exception)."""
    import tarnel_vm

    try:
        vm = tarnel_vm.VornVM()
        vm.load_bytecode(isolation._check_path(path))
        stop = cancel.is_set if cancel is not None else None
        return (True, execute(vm, timeout=timeout, max_memory=max_memory,
                              max_instructions=max_instructions, interruptible=False, _stop=stop))
    except isolation.Cancelled:
        raise
    except Exception as exc:
        return (False, exc)


__all__ = ["run_many"]
