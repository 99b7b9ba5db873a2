"""Where a failed run stopped: the instruction, its function, and the calls
that led there.

When ``VornVM.execute()`` fails, the VM's program counter already points
just past the instruction that failed, and every call still in progress has
a frame whose return address points just past its ``CallR``. The extension's
private ``tarnel_vm._where(vm)`` reads those numbers (and the function table)
without changing anything; this module turns them into :class:`Location`
records, innermost first, and attaches them to the exception::

    try:
        vm.execute()
    except RuntimeError as exc:
        tarnel.where.attach(exc, vm, module, source_map, "prog.tnasm")
        print(exc.location)      # prog.tnasm:7:5: in divide, instruction 5: DivR r2, r0, r1
        for loc in exc.backtrace: ...

The module file holds no function boundaries, only entry points: the
function of an instruction is the function-table entry with the greatest
entry point at or before its index (``<module>`` when there is none).
"""

from __future__ import annotations

import bisect
from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple

from .disasm import render
from .literals import format_constant
from .module import Module

_RUN_ERROR = "Runtime error: "

#: The function name shown for code before the first entry point.
NO_FUNCTION = "<module>"

# Runs of identical lines longer than this are shortened when printed.
_REPEATS_SHOWN = 3


class Location(NamedTuple):
    """One place in a module: an instruction and, for assembled sources, its line."""

    index: int                      # instruction index
    function: str                   # nearest function-table entry at or before index
    instruction: str                # the instruction, as assembly text when known
    file: Optional[str] = None      # the source or module file
    line: Optional[int] = None      # 1-based source line (assembled sources only)
    column: Optional[int] = None    # 1-based column of the mnemonic

    def __str__(self) -> str:
        text = "in %s, instruction %d: %s" % (self.function, self.index, self.instruction)
        if self.file is not None and self.line is not None:
            return "%s:%d:%d: %s" % (self.file, self.line, self.column or 0, text)
        if self.file is not None:
            return "%s: %s" % (self.file, text)
        return text


class FunctionFinder:
    """The function of an instruction index: the nearest entry at or before it.

    Entries with the same entry point are shown by the name that sorts first.
    """

    def __init__(self, functions: Mapping[str, int]):
        by_entry: Dict[int, str] = {}
        for name, entry in sorted(functions.items()):
            by_entry.setdefault(entry, name)
        self._entries = sorted(by_entry)
        self._names = [by_entry[e] for e in self._entries]

    def __call__(self, index: int) -> str:
        at = bisect.bisect_right(self._entries, index)
        return self._names[at - 1] if at else NO_FUNCTION


def _assembly_text(module: Module, index: int) -> str:
    """The instruction at ``index`` as assembly, with numeric jump offsets."""
    constants = module.constants

    def const_operand(i: int) -> str:
        return format_constant(constants[i]) if i < len(constants) else "@%d" % i

    return render(module.instructions[index], index, (), const_operand)


def failure_sites(pc: int, return_pcs: Sequence[int]) -> List[int]:
    """Instruction indexes of the failed instruction and of each pending call, innermost first."""
    sites = [pc - 1] if pc > 0 else []
    sites.extend(r - 1 for r in reversed(return_pcs) if r > 0)
    return sites


def locations(where: Any, module: Optional[Module] = None,
              source_map: Optional[Sequence[Tuple[int, int]]] = None,
              filename: Optional[str] = None) -> List[Location]:
    """The backtrace described by what ``tarnel_vm._where(vm)`` returned, innermost first.

    ``module`` (the decoded module that was loaded) gives the instructions as
    assembly text; without it they are shown in the VM's debug form.
    ``source_map`` (from :func:`tarnel.asm.assemble_with_map`) gives each
    instruction's line and column in ``filename``. Empty when no module is
    loaded or nothing has run.
    """
    if where is None:
        return []
    pc, return_pcs, functions, texts = where
    function_of = FunctionFinder(functions)
    result = []
    for index in failure_sites(pc, return_pcs):
        if module is not None and index < len(module.instructions):
            text = _assembly_text(module, index)
        else:
            text = texts.get(index, "?")
        line = column = None
        if source_map is not None and index < len(source_map):
            line, column = source_map[index]
        result.append(Location(index, function_of(index), text, filename, line, column))
    return result


def locate(vm: Any, module: Optional[Module] = None,
           source_map: Optional[Sequence[Tuple[int, int]]] = None,
           filename: Optional[str] = None) -> List[Location]:
    """The backtrace of the run that has just failed on ``vm``, innermost first."""
    import tarnel_vm

    return locations(tarnel_vm._where(vm), module, source_map, filename)


def attach_data(exc: BaseException, where: Any, module: Optional[Module] = None,
                source_map: Optional[Sequence[Tuple[int, int]]] = None,
                filename: Optional[str] = None) -> BaseException:
    """Give ``exc`` ``.backtrace`` (innermost first) and ``.location`` from ``_where`` data.

    The data is kept (``exc.where_data``) so that a caller that knows more
    (the module, the source map) can attach again with it. The exception's
    message is left exactly as the VM wrote it.
    """
    exc.where_data = where
    exc.backtrace = locations(where, module, source_map, filename)
    exc.location = exc.backtrace[0] if exc.backtrace else None
    return exc


def attach(exc: BaseException, vm: Any, module: Optional[Module] = None,
           source_map: Optional[Sequence[Tuple[int, int]]] = None,
           filename: Optional[str] = None) -> BaseException:
    """Give a failed run's exception ``.backtrace`` and ``.location``, read from ``vm``.

    A failure that did not come from an instruction ("Module not loaded",
    "Already borrowed") gets an empty backtrace and ``location`` None.
    """
    where = None
    text = str(exc)
    if text.startswith(_RUN_ERROR) and text != _RUN_ERROR + "Module not loaded":
        import tarnel_vm

        try:
            where = tarnel_vm._where(vm)
        except RuntimeError:  # the VM is in use by another thread now
            where = None
    return attach_data(exc, where, module, source_map, filename)


def format_backtrace(backtrace: Sequence[Location], indent: str = "  ") -> List[str]:
    """One line per location, innermost first; long runs of the same call are shortened."""
    lines: List[str] = []
    previous, repeats = None, 0
    for loc in backtrace:
        text = str(loc)
        if text == previous:
            repeats += 1
            if repeats >= _REPEATS_SHOWN:
                continue
        else:
            _flush_repeats(lines, repeats, indent)
            previous, repeats = text, 0
        lines.append(indent + ("called from " if lines else "at ") + text)
    _flush_repeats(lines, repeats, indent)
    return lines


def _flush_repeats(lines: List[str], repeats: int, indent: str) -> None:
    hidden = repeats - _REPEATS_SHOWN + 1
    if hidden > 0:
        lines.append("%s[the line above repeated %d more time%s]"
                     % (indent, hidden, "" if hidden == 1 else "s"))
