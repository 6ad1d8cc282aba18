#!/usr/bin/env bash
# Builds the benchmark programs (one per bench/*.cc) in build/bench, optimised, and runs each
# in turn; every program prints its own figures. Nothing is asserted.
#
#   bench/run_benchmarks.sh              # all benchmarks
#   bench/run_benchmarks.sh json_reader_bench [...]   # only the named ones
#
# BENCH_JOBS sets the build parallelism (default 4).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/bench"

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DVINTREL_BUILD_BENCH=ON -DVINTREL_BUILD_MODULE=OFF -DVINTREL_BUILD_TESTS=OFF >/dev/null

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for src in "$root"/bench/*.cc; do
    names+=("$(basename "$src" .cc)")
  done
fi

cmake --build "$build" -j "${BENCH_JOBS:-4}" --target "${names[@]}"

for name in "${names[@]}"; do
  echo "== $name"
  "$build/$name"
done
