"""Exceptions for runs that reach a limit.

Every limit has its own class, and all of them are :class:`LimitExceeded`,
a RuntimeError like the VM's own failures. The time and memory classes are
the ones isolated runs raise too (they are defined with them, in
:mod:`tarnel.isolation`), so one ``except`` serves both ways of running.
"""

from __future__ import annotations


class LimitExceeded(RuntimeError):
    """A run was stopped because it reached one of its limits."""

    def __reduce__(self):
        return (type(self), self.args)


class InstructionLimitExceeded(LimitExceeded):
    """The run executed its ``max_instructions`` and was stopped before the next one.

    ``limit`` holds the budget.
    """

    def __init__(self, message: str, limit: "int | None" = None):
        super().__init__(message)
        self.limit = limit

    def __reduce__(self):
        return (type(self), (self.args[0], self.limit))


__all__ = ["InstructionLimitExceeded", "LimitExceeded"]
