#!/usr/bin/env bash
# The sanitizer leg of the test suite, each part in its own build directory:
#   1. the C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer (build/asan);
#   2. the libFuzzer targets (build/fuzz, clang): a replay of each seed corpus, then
#      FUZZ_SECONDS (default 60) of fuzzing per target, all targets in parallel;
#   3. the concurrent reconcile test under ThreadSanitizer (build/tsan).
# Any sanitizer report, crash or failed test fails the script. Run by scripts/test.sh after
# the Release build; the packages it needs are installed by scripts/setup.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
COMMON=(-G Ninja -DVINTREL_BUILD_MODULE=OFF)

# Every UBSan report stops the program (the builds also compile with
# -fno-sanitize-recover=undefined); leaks fail ASan runs.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1

echo "== C++ tests under ASan+UBSan"
# A Debug build (assertions on) at -O1: the sanitizers' usual level, several times faster than
# -O0 on the engine's larger tests.
cmake -S . -B build/asan "${COMMON[@]}" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DVINTREL_SANITIZE=ON -DVINTREL_BUILD_TESTS=ON >/dev/null
cmake --build build/asan -j "$JOBS"
ctest --test-dir build/asan --output-on-failure -j "$JOBS"

echo "== fuzz targets: corpus replay and ${FUZZ_SECONDS} s of fuzzing each"
# Assertions stay on (no NDEBUG); line tables are enough for readable stacks.
cmake -S . -B build/fuzz "${COMMON[@]}" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -gline-tables-only" -DVINTREL_FUZZ=ON >/dev/null
cmake --build build/fuzz -j "$JOBS"
bash scripts/fuzz.sh "$FUZZ_SECONDS"

echo "== concurrent reconcile under ThreadSanitizer"
cmake -S . -B build/tsan "${COMMON[@]}" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" \
  -DVINTREL_SANITIZE_THREAD=ON -DVINTREL_BUILD_TESTS=ON >/dev/null
cmake --build build/tsan -j "$JOBS" --target bridge_test
# TSan needs a fixed memory layout; kernels with high address-space randomisation break it,
# so the program runs with randomisation off where setarch can do that.
NO_ASLR=()
setarch "$(uname -m)" -R true 2>/dev/null && NO_ASLR=(setarch "$(uname -m)" -R)
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/cpp/bridge/concurrent_reconcile.tsan.supp" \
  "${NO_ASLR[@]}" build/tsan/bridge_test --gtest_filter='ConcurrentReconcile.*'
