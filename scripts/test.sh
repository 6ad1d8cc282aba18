#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite: the C++ unit tests
# (CTest) and the Python tests (pytest against the installed module) on the Release build,
# then the sanitizer leg (scripts/test_sanitizers.sh: ASan+UBSan tests, fuzz targets,
# ThreadSanitizer). Set VINTREL_SKIP_SANITIZERS=1 for the Release part alone.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-$(nproc)}

bash scripts/setup.sh
# The include lines keep to the libraries' dependency graph (base <- common <- core, ...).
"$PYTHON" scripts/check_layering.py
"$PYTHON" -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .

cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVINTREL_BUILD_TESTS=ON -DVINTREL_BUILD_MODULE=OFF -DVINTREL_BUILD_BENCH=ON
cmake --build build/tests -j "$JOBS"
ctest --test-dir build/tests --output-on-failure -j "$JOBS"

"$PYTHON" -m pytest -q tests/python

if [ "${VINTREL_SKIP_SANITIZERS:-0}" != 1 ]; then
  JOBS=$JOBS bash scripts/test_sanitizers.sh
fi
