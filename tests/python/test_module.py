"""Module initialisation: attributes, function objects, the panic boundary."""

import ast
import inspect
import pathlib
import subprocess
import sys
import threading

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


@pytest.mark.parametrize("name,params", FUNCTIONS.items())
def test_function_objects(native, name, params):
    function = getattr(native, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__module__ == "vintrel._native"
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


# An internal abort (a C++ exception escaping a function body) must surface as
# PanicException, derived directly from BaseException. No ordinary input reaches one, so the
# test provokes the one honest trigger there is: memory exhaustion inside the native code,
# in a child interpreter whose address space is capped just above what it already uses.
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


def test_internal_abort_is_a_panic_exception():
    result = run_isolated(PANIC_PROBE)
    assert result.returncode == 0, result.stderr[-2000:]
    lines = dict(line.split(" ", 1) for line in result.stdout.splitlines())
    assert lines["ALIVE"] == "sha256:"  # the interpreter survived and still works
    if not lines["RESULT"].startswith("base"):
        pytest.skip(f"no internal abort could be provoked ({lines['RESULT']})")
    assert lines["RESULT"] == "base vintrel._native PanicException True True"
