"""The surface of tarnel_vm: module, class, docs, argument handling."""

from __future__ import annotations

import gc
import importlib
import pathlib
import subprocess
import sys
import textwrap
import weakref

import pytest
import tarnel_vm
from tarnel_vm import VornVM


def test_module_attributes():
    assert tarnel_vm.__doc__ == "Python module for the VM"
    assert tarnel_vm.__version__ == "0.1.0"
    assert tarnel_vm.__all__ == ["VornVM", "__version__"]
    assert tarnel_vm.VornVM is VornVM
    public = [name for name in dir(tarnel_vm) if not name.startswith("_")]
    assert public == ["VornVM"]


def test_reimport_gives_the_same_module():
    assert importlib.reload(tarnel_vm) is tarnel_vm
    assert tarnel_vm.__all__ == ["VornVM", "__version__"]
    assert tarnel_vm.VornVM is VornVM


def test_import_after_removal_from_sys_modules():
    code = textwrap.dedent("""
        import sys
        import tarnel_vm as first
        del sys.modules["tarnel_vm"]
        import tarnel_vm as second
        assert second is first, (first, second)
        assert second.__all__ == ["VornVM", "__version__"], second.__all__
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "ok\n"


CLASS_ATTRIBUTES = [
    ("__module__", "builtins"),
    ("__name__", "VornVM"),
    ("__qualname__", "VornVM"),
    ("__doc__", "Vorn VM exposed to Python"),
]


@pytest.mark.parametrize("attribute,expected", CLASS_ATTRIBUTES)
def test_class_attributes(attribute, expected):
    assert getattr(VornVM, attribute) == expected


def test_class_text_signature():
    # CPython 3.9 drops the signature of a type created from a spec.
    expected = None if sys.version_info < (3, 10) else "()"
    assert VornVM.__text_signature__ == expected


METHOD_DOCS = [
    ("load_bytecode", "Load bytecode from file", "($self, path)"),
    ("execute", "Execute the loaded bytecode", "($self)"),
    ("set_debug", "Set debug mode", "($self, debug)"),
    ("instruction_count", "Get instruction count", "($self)"),
]


@pytest.mark.parametrize("name,doc,signature", METHOD_DOCS)
def test_method_docs(name, doc, signature):
    method = getattr(VornVM, name)
    assert method.__doc__ == doc
    assert method.__text_signature__ == signature


def test_method_table_order_and_nothing_else():
    own = [name for name in vars(VornVM) if not name.startswith("__")]
    assert own == [name for name, _, _ in METHOD_DOCS]


def test_special_methods_are_those_of_object():
    for name in ("__repr__", "__hash__", "__eq__", "__init__"):
        assert getattr(VornVM, name) is getattr(object, name)
    vm = VornVM()
    assert vm == vm and vm != VornVM()
    assert repr(vm).startswith("<builtins.VornVM object at ")


# (call, exact TypeError message)
ARGUMENT_ERRORS = [
    (lambda vm: VornVM(1), "VornVM.__new__() takes 0 positional arguments but 1 was given"),
    (lambda vm: VornVM(1, 2), "VornVM.__new__() takes 0 positional arguments but 2 were given"),
    (lambda vm: VornVM(x=1), "VornVM.__new__() got an unexpected keyword argument 'x'"),
    (lambda vm: vm.load_bytecode(), "VornVM.load_bytecode() missing 1 required positional argument: 'path'"),
    (lambda vm: vm.load_bytecode("a", "b"),
     "VornVM.load_bytecode() takes 1 positional arguments but 2 were given"),
    (lambda vm: vm.load_bytecode("a", "b", "c"),
     "VornVM.load_bytecode() takes 1 positional arguments but 3 were given"),
    (lambda vm: vm.load_bytecode(name="a"), "VornVM.load_bytecode() got an unexpected keyword argument 'name'"),
    (lambda vm: vm.load_bytecode("a", name="b"),
     "VornVM.load_bytecode() got an unexpected keyword argument 'name'"),
    (lambda vm: vm.load_bytecode("a", path="b"), "VornVM.load_bytecode() got multiple values for argument 'path'"),
    (lambda vm: vm.set_debug(), "VornVM.set_debug() missing 1 required positional argument: 'debug'"),
    (lambda vm: vm.set_debug(True, False), "VornVM.set_debug() takes 1 positional arguments but 2 were given"),
    (lambda vm: vm.set_debug(flag=True), "VornVM.set_debug() got an unexpected keyword argument 'flag'"),
    (lambda vm: vm.set_debug(True, debug=True), "VornVM.set_debug() got multiple values for argument 'debug'"),
    (lambda vm: vm.set_debug(**{"dëbug": True}), "VornVM.set_debug() got an unexpected keyword argument 'dëbug'"),
]


@pytest.mark.parametrize("call,message", ARGUMENT_ERRORS)
def test_argument_errors(call, message):
    vm = VornVM()
    with pytest.raises(TypeError) as info:
        call(vm)
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


@pytest.mark.parametrize("call", [
    lambda vm: vm.execute(1),
    lambda vm: vm.execute(x=1),
    lambda vm: vm.instruction_count(1),
    lambda vm: vm.instruction_count(x=1),
])
def test_no_argument_methods_reject_arguments(call):
    with pytest.raises(TypeError):
        call(VornVM())


def test_arguments_accepted_by_keyword(tmp_path):
    import modfile

    vm = VornVM()
    assert vm.load_bytecode(path=modfile.write(tmp_path, modfile.DEMO)) is None
    assert vm.set_debug(debug=False) is None
    assert vm.execute() == 42


@pytest.mark.parametrize("call", [
    lambda: VornVM.execute(5),
    lambda: VornVM.instruction_count("vm"),
    lambda: VornVM.load_bytecode(5, "prog"),
    lambda: VornVM.set_debug(None, True),
])
def test_methods_refuse_a_foreign_self(call):
    with pytest.raises(TypeError):
        call()


def test_new_refuses_a_foreign_type():
    with pytest.raises(TypeError):
        VornVM.__new__(int)


def test_not_subclassable():
    with pytest.raises(TypeError):
        class Sub(VornVM):  # noqa: F841
            pass


def test_instances_have_no_dict_and_no_weakrefs():
    vm = VornVM()
    with pytest.raises(AttributeError):
        vm.__dict__  # noqa: B018 (the lookup itself must fail)
    with pytest.raises(AttributeError):
        vm.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(vm)
    assert not gc.is_tracked(vm)


def test_fresh_vm():
    vm = VornVM()
    assert vm.instruction_count() == 0
    with pytest.raises(RuntimeError) as info:
        vm.execute()
    assert info.value.args == ("Runtime error: Module not loaded",)
    assert vm.instruction_count() == 0


def test_many_instances_are_independent(tmp_path):
    import modfile

    path = modfile.write(tmp_path, modfile.DEMO)
    machines = [VornVM() for _ in range(50)]
    for i, vm in enumerate(machines):
        if i % 2:
            vm.load_bytecode(path)
    results = [vm.execute() if i % 2 else None for i, vm in enumerate(machines)]
    assert results == [None, 42] * 25
    assert [vm.instruction_count() for vm in machines] == [0, 2] * 25
    del machines
    gc.collect()


def test_usable_from_another_thread(tmp_path):
    import threading

    import modfile

    vm = VornVM()
    vm.load_bytecode(modfile.write(tmp_path, modfile.DEMO))
    results = []
    worker = threading.Thread(target=lambda: results.append(vm.execute()))
    worker.start()
    worker.join()
    assert results == [42]
    assert vm.instruction_count() == 2


@pytest.mark.slow
def test_second_interpreter_is_refused():
    code = textwrap.dedent("""
        import sys
        import tarnel_vm
        try:
            import _testcapi
        except ImportError:
            print("no _testcapi")
            raise SystemExit(0)
        sub = "import sys; sys.path[:0] = %r; import tarnel_vm" % (sys.path,)
        print("rc", _testcapi.run_in_subinterp(sub))
        vm = tarnel_vm.VornVM()
        print("main still works", vm.instruction_count())
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    if out.stdout.startswith("no _testcapi"):
        pytest.skip("this interpreter has no _testcapi")
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["rc -1", "main still works 0"]
    assert "ImportError: tarnel_vm does not support sub-interpreters" in out.stderr


def test_stub_matches_the_extension():
    import ast

    stub = pathlib.Path(__file__).resolve().parents[2] / "python" / "tarnel_vm.pyi"
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert list(classes) == ["VornVM"]
    methods = {node.name: [a.arg for a in node.args.args]
               for node in classes["VornVM"].body if isinstance(node, ast.FunctionDef)}
    assert methods.pop("__new__") == ["cls"]
    assert list(methods) == [name for name, _, _ in METHOD_DOCS]
    for name, parameters in methods.items():
        assert "(%s)" % ", ".join(["$self"] + parameters[1:]) == getattr(VornVM, name).__text_signature__
    declared = {target.id for node in tree.body if isinstance(node, ast.AnnAssign)
                for target in [node.target]}
    assert declared == {"__version__", "__all__", "__features__"}
    import tarnel_vm
    assert all(hasattr(tarnel_vm, name) for name in declared)
