"""Test set-up: the tests exercise the INSTALLED vintrel package (built and installed with
`python3 -m pip install --no-build-isolation .`), never the sources under python/, which hold
no compiled module."""

import doctest
import io
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
SOURCE_PACKAGE_ROOT = REPO / "python"


def _is_source_root(entry: str) -> bool:
    try:
        return pathlib.Path(entry or os.curdir).resolve() == SOURCE_PACKAGE_ROOT
    except OSError:
        return False


# Keep the source tree's package directory off the import path, whatever the working directory.
sys.path[:] = [entry for entry in sys.path if not _is_source_root(entry)]

try:
    import vintrel
    from vintrel import _native
except ImportError as error:  # pragma: no cover - set-up failure
    pytest.exit(
        f"vintrel is not installed for {sys.executable} ({error}); "
        "run `python3 -m pip install --no-build-isolation .` first",
        returncode=4,
    )

if SOURCE_PACKAGE_ROOT in pathlib.Path(vintrel.__file__).resolve().parents:  # pragma: no cover
    pytest.exit(f"vintrel was imported from the source tree ({vintrel.__file__})", returncode=4)

EXAMPLE_SPEC = REPO / "examples" / "customer.yaml"

# The function table: name -> parameter names, in registration order.
FUNCTIONS = {
    "validate": ["yaml_str"],
    "validate_strict": ["yaml_str"],
    "validate_schema": ["yaml_str"],
    "validate_semantics": ["yaml_str"],
    "parse": ["yaml_str"],
    "compile_ir": ["yaml_str"],
    "diff": ["yaml_a", "yaml_b"],
    "hash": ["yaml_str"],
    "plan": ["yaml_str"],
    "reconcile_local": ["yaml_str", "entities_json"],
    "reconcile_incremental": [
        "yaml_str",
        "new_entities_json",
        "existing_entities_json",
        "existing_clusters_json",
        "trained_fs_params_json",
    ],
}


@pytest.fixture(scope="session")
def native():
    return _native


@pytest.fixture(scope="session")
def example_spec() -> str:
    return EXAMPLE_SPEC.read_text(encoding="utf-8")


def value_error_args(call, *args, **kwargs) -> tuple:
    """The arguments of the ValueError that `call(*args, **kwargs)` must raise."""
    with pytest.raises(ValueError) as error:
        call(*args, **kwargs)
    return error.value.args


def run_isolated(code: str, timeout: float = 300.0) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter that imports the installed module, so that a crash
    or runaway memory use fails one test instead of the whole run. The timeout only guards
    against a hang; it is far above any normal running time."""
    prelude = "import sys\nsys.path[:] = [p for p in sys.path if p not in ('', '.')]\n"
    return subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=str(REPO / "tests"),
    )


def page_examples(page: pathlib.Path, example: "re.Pattern[str]", fences: tuple[str, ...]) -> list:
    """The examples of a documentation page: every match of `example` (a marker line and the
    blocks after it), as pytest parameters named after the marker's line and its first group.
    Every block fenced with one of `fences` must lie inside an example, so that nothing on the
    page goes untested."""
    text = page.read_text(encoding="utf-8")
    examples, covered = [], []
    for match in example.finditer(text):
        line = text.count("\n", 0, match.start()) + 1
        examples.append(pytest.param(match.groupdict(), id=f"line{line}-{match[1]}"))
        covered.append(match.span())
    for fence in re.finditer(r"^```(\w+)\n", text, re.MULTILINE):
        if fence[1] in fences:
            line = text.count("\n", 0, fence.start()) + 1
            assert any(a <= fence.start() < b for a, b in covered), (
                f"{page.name} line {line}: a {fence[1]} block outside any example")
    return examples


def run_doctest(page: pathlib.Path, body: str, line: int, namespace: dict, check: bool) -> None:
    """Runs the `>>>` examples of a python block of `page` (starting at `line`) in `namespace`,
    which keeps what they define; with `check`, what they show must be what they return."""
    parser = doctest.DocTestParser()
    test = parser.get_doctest(body, namespace, f"line{line}", str(page), line)
    assert test.examples, f"line {line}: a python block without >>> examples"
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test, out=report.write, clear_globs=False)
    namespace.update(test.globs)
    if check:
        assert runner.failures == 0, report.getvalue()
