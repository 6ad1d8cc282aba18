"""The include-graph check (scripts/check_layering.py) on small trees: it must flag each
include that crosses the dependency graph and pass the ones that keep to it."""

import importlib.util
import pathlib
import subprocess
import sys

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "check_layering.py"

# (file, include line, flagged)
ROWS = [
    ("src/tooling/a.cc", '#include "core/engine/engine.h"', True),
    ("src/tooling/a.cc", '#include "common/spec/spec_reader.h"', True),
    ("src/tooling/a.cc", '#include "base/result.h"', False),
    ("src/base/a.h", '#include "common/enum_table.h"', True),
    ("src/base/a.cc", "#include <yaml.h>", False),
    ("src/common/a.h", '#include "core/engine/types.h"', True),
    ("src/common/a.h", "#include <yaml.h>", True),
    ("src/core/engine/a.cc", '#include "common/ir/plan.h"', False),
    ("src/core/engine/a.cc", '#include "tooling/parser.h"', True),
    ("src/core/engine/a.cc", '#include "python/bridge/strict_validation.h"', True),
    ("src/core/engine/a.cc", "#include <Python.h>", True),
    ("src/core/engine/a.cc", "#include <tbb/parallel_for.h>", False),
    ("src/tooling/a.cc", "#include <tbb/parallel_for.h>", True),
    ("src/tooling/a.cc", "#include <boost/unordered/unordered_flat_map.hpp>", True),
    ("src/python/bridge/a.cc", '#include "core/engine/engine.h"', False),
    ("src/python/bridge/a.cc", '#include "tooling/validator.h"', False),
    ("src/python/bridge/a.cc", "#include <Python.h>", True),
    ("src/python/bridge/a.cc", '#include "python/py_ref.h"', True),
    ("src/python/a.cc", "#include <Python.h>", False),
    ("src/python/a.cc", '#include "python/bridge/reconcile_driver.h"', False),
    ("tests/cpp/tooling/a_test.cc", '#include "core/engine/engine.h"', True),
    ("tests/cpp/engine/a_test.cc", '#include "core/engine/engine.h"', False),
    ("tests/cpp/common/a_test.cc", '#include "support.h"', False),
    ("tests/cpp/common/a_test.cc", '#include "nowhere/else.h"', True),
    ("bench/a_bench.cc", "#include <Python.h>", True),
]


def load_checker():
    spec = importlib.util.spec_from_file_location("check_layering", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


CHECKER = load_checker()


def run(root: pathlib.Path) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(SCRIPT), "--root", str(root)],
                          capture_output=True, text=True, check=False)


@pytest.mark.parametrize("file,line,flagged", ROWS)
def test_each_include_line(tmp_path, file, line, flagged):
    target = tmp_path / file
    target.parent.mkdir(parents=True, exist_ok=True)
    (tmp_path / "tests/cpp/common").mkdir(parents=True, exist_ok=True)
    (tmp_path / "tests/cpp/common/support.h").write_text("#pragma once\n")
    target.write_text(f"// a file\n{line}\n")
    problems = CHECKER.check_file(tmp_path, target)
    assert len(problems) == (1 if flagged else 0), problems
    if flagged:
        assert problems[0].startswith(f"{file}:2:")


def test_the_script_fails_on_a_crossing_and_passes_this_repository(tmp_path):
    bad = tmp_path / "src/tooling/a.cc"
    bad.parent.mkdir(parents=True)
    bad.write_text('#include "core/engine/engine.h"\n')
    crossing = run(tmp_path)
    assert crossing.returncode == 1
    assert "src/tooling/a.cc:1: vintrel_core may not include core/engine/engine.h" in crossing.stdout

    here = run(SCRIPT.parents[1])
    assert here.returncode == 0, here.stdout
