"""Module initialisation: attributes, function objects, the panic boundary."""

import ast
import ctypes
import inspect
import pathlib
import subprocess
import sys
import threading
import types

import pytest

import vintrel
from conftest import FUNCTIONS, REPO, run_isolated


def test_all_lists_the_functions_in_registration_order(native):
    assert native.__all__ == list(FUNCTIONS)
    assert type(native.__all__) is list


def test_module_docstring_is_empty(native):
    assert native.__doc__ == ""


def test_module_attributes_are_the_functions(native):
    public = sorted(name for name in vars(native) if not name.startswith("_"))
    assert public == sorted(FUNCTIONS)
    assert not hasattr(native, "PanicException")


def test_package_exposes_the_module(native):
    assert vintrel._native is native
    assert native.__name__ == "vintrel._native"


METH_KEYWORDS, METH_STATIC, METH_FASTCALL = 0x02, 0x20, 0x80
PY_MOD_EXEC, PY_MOD_GIL, PY_MOD_GIL_NOT_USED = 2, 4, 1

get_flags = ctypes.pythonapi.PyCFunction_GetFlags
get_flags.argtypes = [ctypes.py_object]
get_flags.restype = ctypes.c_int


class ModuleDefSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class ModuleDef(ctypes.Structure):
    """The host's module definition record (its base part first)."""
    _fields_ = [("ob_base", ctypes.c_byte * object.__basicsize__),  # the object header
                ("m_init", ctypes.c_void_p), ("m_index", ctypes.c_ssize_t),
                ("m_copy", ctypes.c_void_p), ("m_name", ctypes.c_char_p),
                ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t),
                ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.POINTER(ModuleDefSlot)),
                ("m_traverse", ctypes.c_void_p), ("m_clear", ctypes.c_void_p),
                ("m_free", ctypes.c_void_p)]


get_def = ctypes.pythonapi.PyModule_GetDef
get_def.argtypes = [ctypes.py_object]
get_def.restype = ctypes.POINTER(ModuleDef)


def module_slots(native):
    slots, index = [], 0
    definition = get_def(native).contents
    while True:
        slot = definition.m_slots[index]
        slots.append((slot.slot, slot.value))
        if slot.slot == 0:
            return slots
        index += 1


def test_module_definition(native):
    definition = get_def(native).contents
    assert definition.m_name == b"_native"
    assert definition.m_doc == b""  # empty, not absent
    assert definition.m_size == 0
    assert not definition.m_methods  # the exec step adds the functions
    assert not (definition.m_traverse or definition.m_clear or definition.m_free)
    kinds = [(kind, value if kind == PY_MOD_GIL else None) for kind, value in module_slots(native)]
    # The interpreter-lock declaration exists from CPython 3.13 on.
    expected_gil = [(PY_MOD_GIL, PY_MOD_GIL_NOT_USED)] if sys.version_info >= (3, 13) else []
    assert kinds == [(PY_MOD_EXEC, None)] + expected_gil + [(0, None)]


@pytest.fixture
def exec_step(native):
    """The module's exec step, callable on any object."""
    address = module_slots(native)[0][1]
    return ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(address)


def test_exec_step_adds_the_functions_to_a_module(exec_step):
    module = types.ModuleType("elsewhere")
    assert exec_step(module) == 0
    assert module.__all__ == list(FUNCTIONS)
    assert module.diff.__module__ == "elsewhere"
    assert module.diff("a: 1", "a: 1") == module.diff(yaml_b="a: 1", yaml_a="a: 1")
    # An existing __all__ list is extended, not replaced.
    extended = types.ModuleType("extended")
    extended.__all__ = ["first"]
    assert exec_step(extended) == 0
    assert extended.__all__ == ["first"] + list(FUNCTIONS)


def test_exec_step_refuses_what_is_not_a_module(exec_step):
    for value in (42, "module", types.ModuleType):
        with pytest.raises(TypeError):
            exec_step(value)


def test_exec_step_stops_at_the_first_failure(exec_step):
    class NoHash(types.ModuleType):
        def __setattr__(self, name, value):
            if name == "hash":
                raise RuntimeError("no hash here")
            super().__setattr__(name, value)

    module = NoHash("no_hash")
    with pytest.raises(RuntimeError, match="no hash here"):
        exec_step(module)
    # Each name is listed before its attribute is set; nothing after the failure is added.
    assert module.__all__ == list(FUNCTIONS)[:8]
    assert hasattr(module, "diff") and not hasattr(module, "hash")
    assert not hasattr(module, "plan")

    tupled = types.ModuleType("tupled")
    tupled.__all__ = ("first",)
    with pytest.raises(TypeError):
        exec_step(tupled)
    assert tupled.__all__ == ("first",) and not hasattr(tupled, "validate")


@pytest.mark.parametrize("name,params", FUNCTIONS.items())
def test_function_objects(native, name, params):
    function = getattr(native, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__module__ == "vintrel._native"
    # Fast calling convention with keyword names, static: no self is passed or reported.
    assert get_flags(function) == METH_FASTCALL | METH_KEYWORDS | METH_STATIC == 0xA2
    assert function.__self__ is None
    assert function.__text_signature__ == "(" + ", ".join(params) + ")"
    # The docstring is only the text signature, so nothing is left for __doc__.
    assert function.__doc__ is None
    signature = inspect.signature(function)
    assert list(signature.parameters) == params
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


def test_type_stub_matches_the_module(native):
    stub = pathlib.Path(vintrel.__file__).with_name("_native.pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    stubbed = {node.name: [arg.arg for arg in node.args.args]
               for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert stubbed == FUNCTIONS
    optional = {node.name: ast.unparse(node.args.args[-1].annotation)
                for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert optional["reconcile_incremental"] == "str | None"


def test_example_script_reports_a_valid_spec():
    result = subprocess.run([sys.executable, str(REPO / "examples" / "run_example.py")],
                            capture_output=True, text=True, cwd=str(REPO / "tests"), timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "result: valid" in result.stdout
    assert "Hash: sha256:" in result.stdout


def test_reimport_in_fresh_interpreter_is_consistent():
    result = run_isolated("""
        import importlib, sys
        from vintrel import _native as first
        del sys.modules["vintrel._native"]
        second = importlib.import_module("vintrel._native")
        assert second.__all__ == first.__all__
        print(second.hash("a: 1") == first.hash("a: 1"))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"


def test_calls_from_several_threads_are_independent(native, example_spec):
    texts = [example_spec, "hello", "a: [1, 2]\nb: x\n", example_spec.replace("0.85", "2")]
    expected = [(native.validate(t), native.hash(t)) for t in texts]
    failures = []

    def work(index):
        for _ in range(50):
            text = texts[index % len(texts)]
            if (native.validate(text), native.hash(text)) != expected[index % len(texts)]:
                failures.append(index)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


# Memory exhaustion inside the native code must surface as MemoryError (an ordinary
# Exception), never as an abort or PanicException, and the interpreter must go on working.
# Provoked in a child interpreter whose address space is capped just above what it already
# uses.
PANIC_PROBE = """
    import resource
    from vintrel import _native

    text = "[" + "0," * 20_000_000 + "0]"
    with open("/proc/self/status") as status:
        vm_kib = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    limit = (vm_kib + 384 * 1024) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
    try:
        _native.parse(text)
        print("RESULT none")
    except Exception as error:
        print("RESULT exception", type(error).__name__)
    except BaseException as error:
        kind = type(error)
        print("RESULT base", kind.__module__, kind.__qualname__,
              kind.__bases__ == (BaseException,), bool(str(error)))
    del text
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    print("ALIVE", _native.hash("a: 1")[:7])
"""


def test_memory_exhaustion_is_a_memory_error():
    result = run_isolated(PANIC_PROBE)
    assert result.returncode == 0, result.stderr[-2000:]
    lines = dict(line.split(" ", 1) for line in result.stdout.splitlines())
    assert lines["ALIVE"] == "sha256:"  # the interpreter survived and still works
    assert lines["RESULT"] == "exception MemoryError"
