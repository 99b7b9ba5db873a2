"""set_debug: which objects are flags, and what the flag does."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import modfile
import pytest
from tarnel_vm import VornVM

try:
    import numpy
except ImportError:  # pragma: no cover - numpy is a test requirement
    numpy = None

needs_numpy = pytest.mark.skipif(numpy is None, reason="numpy is not installed")


def numpy_like(name="bool_", module="numpy", **namespace):
    """A class that passes for numpy's boolean type by its names."""
    return type(name, (), dict(namespace, __module__=module))


def traced(vm, path, capfd) -> list:
    capfd.readouterr()
    vm.load_bytecode(path)
    assert vm.execute() == 42
    return capfd.readouterr().out.splitlines()


# (argument, flag it sets)
ACCEPTED = [
    (True, True),
    (False, False),
]
if numpy is not None:
    ACCEPTED += [
        (numpy.bool_(True), True),
        (numpy.bool_(False), False),
        (numpy.True_, True),
    ]


@pytest.mark.parametrize("flag,expected", ACCEPTED, ids=repr)
def test_accepted_flags(tmp_path, capfd, flag, expected):
    path = modfile.write(tmp_path, modfile.DEMO)
    vm = VornVM()
    assert vm.set_debug(flag) is None
    lines = traced(vm, path, capfd)
    if expected:
        assert [line.split(",")[0] for line in lines if line.startswith("PC: ")] == ["PC: 0", "PC: 1"]
    else:
        assert lines == []


def test_flag_survives_loads_and_can_be_switched_off(tmp_path, capfd):
    path = modfile.write(tmp_path, modfile.DEMO)
    vm = VornVM()
    vm.set_debug(debug=True)
    assert traced(vm, path, capfd) != []
    assert traced(vm, path, capfd) != []
    vm.set_debug(debug=False)
    assert traced(vm, path, capfd) == []
    assert vm.instruction_count() == 6


def cannot_convert(type_name: str) -> str:
    return "argument 'debug': '%s' object cannot be converted to 'PyBool'" % type_name


# (argument, exact TypeError message)
REJECTED = [
    (0, cannot_convert("int")),
    (1, cannot_convert("int")),
    (None, cannot_convert("NoneType")),
    ("x", cannot_convert("str")),
    ("", cannot_convert("str")),
    (1.0, cannot_convert("float")),
    ([], cannot_convert("list")),
    (numpy_like("bool_", "not_numpy", __bool__=lambda self: True)(), cannot_convert("bool_")),
    (numpy_like("boolean", __bool__=lambda self: True)(), cannot_convert("boolean")),
    (numpy_like("bool_")(),
     "argument 'debug': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (numpy_like("bool", __bool__=lambda self: 1)(), cannot_convert("int")),
    (numpy_like("bool", __bool__=lambda self: None)(), cannot_convert("NoneType")),
]
if numpy is not None:
    REJECTED += [
        (numpy.int64(1), cannot_convert("int64")),
        (numpy.array(True), cannot_convert("ndarray")),
    ]


@pytest.mark.parametrize("flag,message", REJECTED, ids=lambda v: repr(v)[:40])
def test_rejected_flags(flag, message):
    vm = VornVM()
    with pytest.raises(TypeError) as info:
        vm.set_debug(flag)
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_numpy_like_bool_is_read_through_its_type(tmp_path, capfd):
    # Found on the type, bound through the descriptor protocol: a
    # staticmethod is called without the instance.
    flag_type = numpy_like("bool", __bool__=staticmethod(lambda: True))
    vm = VornVM()
    vm.set_debug(flag_type())
    assert traced(vm, modfile.write(tmp_path, modfile.DEMO), capfd) != []


def test_numpy_like_bool_ignores_instance_attributes():
    flag_type = numpy_like("bool_", __slots__=("__dict__",))
    flag = flag_type()
    flag.__dict__["__bool__"] = lambda: True
    with pytest.raises(TypeError, match="does not define a '__bool__' conversion"):
        VornVM().set_debug(flag)


def test_exception_from_bool_propagates():
    class Boom(Exception):
        pass

    def explode(self):
        raise Boom("no truth here")

    with pytest.raises(Boom, match="^no truth here$"):
        VornVM().set_debug(numpy_like("bool_", __bool__=explode)())


def test_type_error_from_bool_gets_the_argument_prefix():
    def explode(self):
        raise TypeError("no truth here")

    with pytest.raises(TypeError) as info:
        VornVM().set_debug(numpy_like("bool_", __bool__=explode)())
    assert info.value.args == ("argument 'debug': no truth here",)


def test_broken_type_names_mean_not_numpy():
    class Meta(type):
        @property
        def __module__(cls):
            raise RuntimeError("no module")

    flag_type = Meta("bool_", (), {"__bool__": lambda self: True})
    with pytest.raises(TypeError) as info:
        VornVM().set_debug(flag_type())
    assert info.value.args == (cannot_convert("bool_"),)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /dev/full")
def test_internal_fault_is_a_base_exception(tmp_path):
    # With standard output on /dev/full the trace cannot be written: the run
    # ends with an internal fault, which is not an Exception.
    code = textwrap.dedent("""
        import sys
        import tarnel_vm
        vm = tarnel_vm.VornVM()
        vm.load_bytecode(sys.argv[1])
        vm.set_debug(True)
        try:
            vm.execute()
        except Exception as error:
            sys.stderr.write("caught as Exception: %r\\n" % (error,))
        except BaseException as fault:
            kind = type(fault)
            sys.stderr.write("%s.%s %s %d %r\\n" % (kind.__module__, kind.__name__,
                             kind.__bases__ == (BaseException,), len(fault.args), fault.args[0] != ""))
        vm.set_debug(False)
        sys.stderr.write("borrow released %r\\n" % (vm.instruction_count(),))
    """)
    path = modfile.write(tmp_path, modfile.DEMO)
    with open("/dev/full", "w") as full:
        out = subprocess.run([sys.executable, "-c", code, path], stdout=full, stderr=subprocess.PIPE,
                             text=True, timeout=60)
    lines = out.stderr.splitlines()
    assert lines[:2] == ["tarnel_vm.InternalFault True 1 True", "borrow released 1"], out.stderr


def test_borrow_conflicts_while_set_debug_holds_the_vm(tmp_path):
    # A numpy-like __bool__ runs Python code while set_debug holds the VM
    # exclusively: every re-entrant call is refused, and the hold ends with
    # the call, whether it succeeds or fails.
    vm = VornVM()
    path = modfile.write(tmp_path, modfile.DEMO)
    seen = []

    def reenter(self):
        calls = [vm.execute, vm.instruction_count, lambda: vm.set_debug(True), lambda: vm.load_bytecode(path)]
        for call in calls:
            try:
                call()
            except RuntimeError as error:
                seen.append(error.args)
        return False

    vm.set_debug(numpy_like("bool_", __bool__=reenter)())
    assert seen == [("Already borrowed",), ("Already mutably borrowed",), ("Already borrowed",),
                    ("Already borrowed",)]
    vm.load_bytecode(path)
    assert vm.execute() == 42

    def fail(self):
        raise ValueError("no")

    with pytest.raises(ValueError):
        vm.set_debug(numpy_like("bool_", __bool__=fail)())
    assert vm.instruction_count() == 2
    vm.set_debug(False)
