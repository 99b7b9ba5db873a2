"""Which files ``VornVM.load_bytecode(path)`` reads, and the metadata file check.

The loader reads the module file at ``path`` with its extension replaced by
``.tnbc`` (unless it is ``.tnbc`` already, byte for byte) and, when a file
exists at ``path`` with its extension replaced by ``.tnbm``, checks that
metadata file first. The functions here follow the same rule, so that the
tools can name the file that was actually tried.
"""

from __future__ import annotations

import os
from typing import Optional

MODULE_EXTENSION = "tnbc"
METADATA_EXTENSION = "tnbm"
METADATA_MAGIC = b"TNBM"
METADATA_MINIMUM_LENGTH = 20


def _final_name(path: str) -> Optional[tuple]:
    """(begin, end) of the last component, skipping trailing '/' and '.' parts."""
    end = len(path)
    while True:
        while end > 0 and path[end - 1] == "/":
            end -= 1
        if end == 0:
            return None
        begin = path.rfind("/", 0, end) + 1
        component = path[begin:end]
        if component == ".":
            end = begin
            continue
        if component == "..":
            return None
        return begin, end


def with_extension(path: str, extension: str) -> str:
    """``path`` with the extension of its final name replaced by ``extension``."""
    name = _final_name(path)
    if name is None:
        return path
    begin, end = name
    final = path[begin:end]
    dot = final.rfind(".")
    has_extension = dot > 0
    if has_extension and final[dot + 1:] == extension:
        return path
    stem_end = begin + (dot if has_extension else len(final))
    return path[:stem_end] + "." + extension


def module_path(path: str) -> str:
    """The module file the loader reads for ``path`` (``prog`` -> ``prog.tnbc``)."""
    return with_extension(path, MODULE_EXTENSION)


def metadata_path(path: str) -> str:
    """The metadata file the loader looks for beside ``path`` (``prog.tnbm``)."""
    return with_extension(path, METADATA_EXTENSION)


def metadata_problem(path: str) -> Optional[str]:
    """What the loader would say about the metadata file of ``path``, or None.

    None when there is no metadata file (nothing at its path) or when it is
    acceptable (at least 20 bytes, starting with ``TNBM``); otherwise the
    loader's message, e.g. "Invalid magic number".
    """
    meta = metadata_path(path)
    try:
        os.stat(meta)
    except (OSError, ValueError):
        return None
    try:
        # Non-blocking, so that a FIFO without a writer cannot hang the check.
        fd = os.open(meta, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
        try:
            head = os.read(fd, METADATA_MINIMUM_LENGTH)
        finally:
            os.close(fd)
    except OSError as exc:
        return "IO error: %s (os error %d)" % (exc.strerror, exc.errno) if exc.errno else \
            "IO error: %s" % exc
    if len(head) < METADATA_MINIMUM_LENGTH:
        return "Invalid bytecode format"
    if head[:4] != METADATA_MAGIC:
        return "Invalid magic number"
    return None
