#!/usr/bin/env bash
# Installs what building and testing vintrel needs: Debian packages (as root, through apt)
# and the Python build and test tools (through pip, for the interpreter named by $PYTHON).
# Safe to run again: packages already present are left alone.
set -euo pipefail

PYTHON=${PYTHON:-python3}
DEB_PACKAGES=(build-essential cmake pkg-config python3-dev libyaml-dev libtbb-dev libssl-dev
              libicu-dev libboost1.81-dev libgtest-dev libbenchmark-dev
              clang libclang-rt-14-dev llvm xz-utils)

missing=()
for pkg in "${DEB_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

"$PYTHON" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
  "scikit-build-core>=0.10" "cmake>=3.26" ninja "pytest>=7"
