"""The program an isolated worker runs (see tarnel.isolation).

Started as ``python -S .../_worker.py RESULT_FD LIMIT CALLER_PID`` and kept
to builtin modules, so that a worker starts in a few milliseconds: no site
packages are processed (the caller's sys.path is handed over instead) and
nothing of the tarnel package is imported. The request (path, debug flag,
sys.path) arrives marshalled on standard input.

What it sends back on the result pipe, marshalled:
  ("ok", result, instructions, seconds)
  ("flat", prefix encoding of the result, instructions, seconds)
      when the result nests too deeply for marshal (see isolation._unflatten)
  ("error", exception module, exception name, message, instructions, seconds,
   where the run stopped or None)

A worker near its memory limit can fail anywhere, its error report
included; it then sends a report built before the run (a bare MemoryError),
never a traceback.
"""

import marshal
import os
import sys

# This file's directory is not a place to import from.
if sys.path and sys.path[0] == os.path.dirname(os.path.abspath(__file__)):
    del sys.path[0]

OUT_OF_MEMORY = marshal.dumps(("error", "builtins", "MemoryError", "", 0, 0.0))


def flatten(value):
    ops = []
    todo = [value]
    while todo:
        item = todo.pop()
        kind = type(item)
        if kind is list:
            ops.append(("L", len(item)))
            todo.extend(reversed(item))
        elif kind is dict:
            ops.append(("D", len(item)))
            for key, element in reversed(list(item.items())):
                todo.append(element)
                todo.append(key)
        else:
            ops.append(item)
    return ops


def send(out_fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(out_fd, view):]
    os.close(out_fd)
    os._exit(0)


def error_report(exc, instructions, seconds, where=None):
    kind = type(exc)
    return marshal.dumps(("error", kind.__module__, kind.__qualname__, str(exc),
                          instructions, seconds, where))


def where_stopped(vm, exc):
    """Where a failed run stopped (tarnel_vm._where), for the caller's backtrace."""
    if vm is None or not isinstance(exc, RuntimeError):
        return None
    try:
        import tarnel_vm
        return tarnel_vm._where(vm)
    except Exception:
        return None


def limit_memory(out_fd, limit):
    try:
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    except Exception as exc:
        send(out_fd, marshal.dumps(("error", "builtins", "ValueError",
                                    "cannot limit the memory to %d bytes: %s" % (limit, exc),
                                    0, 0.0)))


def die_with(caller):
    if not sys.platform.startswith("linux"):
        return
    try:  # die with the caller, even in the middle of a run
        import ctypes
        ctypes.CDLL(None).prctl(1, 9)  # PR_SET_PDEATHSIG, SIGKILL
    except Exception:
        pass
    if os.getppid() != caller:
        os._exit(70)


def read_request():
    chunks = []
    while True:
        chunk = os.read(0, 1 << 16)
        if not chunk:
            break
        chunks.append(chunk)
    return marshal.loads(b"".join(chunks))


def run(path, debug):
    """Load and execute ``path``: the report to send."""
    instructions, seconds, vm = 0, 0.0, None
    try:
        try:
            import tarnel_vm
        except ModuleNotFoundError:  # found only through a .pth file (editable installs)
            import site
            site.main()
            import tarnel_vm
        from time import perf_counter
        vm = tarnel_vm.VornVM()
        if debug:
            vm.set_debug(True)
        vm.load_bytecode(path)
        start = perf_counter()
        try:
            value = vm.execute()
        finally:
            seconds = perf_counter() - start
            instructions = vm.instruction_count()
        try:
            return marshal.dumps(("ok", value, instructions, seconds))
        except ValueError:
            return marshal.dumps(("flat", flatten(value), instructions, seconds))
    except BaseException as exc:
        try:
            return error_report(exc, instructions, seconds, where_stopped(vm, exc))
        except BaseException:  # even the report does not fit
            return OUT_OF_MEMORY


def main():
    out_fd, limit, caller = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    if limit:
        limit_memory(out_fd, limit)
    die_with(caller)
    try:
        path, debug, caller_path = read_request()
        sys.path[:] = caller_path + [p for p in sys.path if p not in caller_path]
    except BaseException:
        send(out_fd, OUT_OF_MEMORY)
    send(out_fd, run(path, debug))


main()
