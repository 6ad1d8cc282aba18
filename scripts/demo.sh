#!/usr/bin/env bash
# Sets up the machine, installs the package and runs the example job on examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

bash scripts/setup.sh
"$PYTHON" -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .
"$PYTHON" examples/run_example.py
