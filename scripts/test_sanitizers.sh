#!/usr/bin/env bash
# The sanitizer leg of the test suite, each part in its own build directory:
#   1. the C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer (build/asan);
#   2. the libFuzzer targets (build/fuzz, clang): a replay of each seed corpus, then
#      FUZZ_SECONDS (default 60) of fuzzing per target, all targets in parallel;
#   3. the driver's tests and the engine's parallel tests under ThreadSanitizer (build/tsan),
#      with oneTBB itself built with TSan (scripts/tsan_tbb.sh).
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

echo "== parallel code under ThreadSanitizer, with an instrumented oneTBB"
# scripts/tsan_tbb.sh builds oneTBB with TSan, so the pool's hand-over of tasks is seen and the
# parallel loops run on real worker threads: the concurrent calls of the driver, and the tests
# that run the parallel steps (record reading, blocks and pieces, record index, clustering,
# text numbering, log events counted by several workers) with up to 8 workers against a
# one-worker or sequential result.
cmake -S . -B build/tsan "${COMMON[@]}" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" \
  -DVINTREL_SANITIZE_THREAD=ON -DVINTREL_BUILD_TESTS=ON >/dev/null
cmake --build build/tsan -j "$JOBS" --target bridge_test engine_test
tbb_lib=$(JOBS=$JOBS bash scripts/tsan_tbb.sh build/tbb-tsan)
# TSan needs a fixed memory layout; kernels with high address-space randomisation break it,
# so the programs run with randomisation off where setarch can do that.
NO_ASLR=()
setarch "$(uname -m)" -R true 2>/dev/null && NO_ASLR=(setarch "$(uname -m)" -R)
tsan_run() {
  LD_LIBRARY_PATH="$tbb_lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" "${NO_ASLR[@]}" "$@"
}
tsan_run build/tsan/bridge_test
# The engine's tests with several workers; the reference runs of the others are too slow
# under TSan and exercise the same parallel code.
tsan_run build/tsan/engine_test --gtest_filter='ReconcileDeterminism.*:LogEvents.*:ParallelEntityRead.ResultsDoNotDependOnTheWorkerCount:Clustering.LargeInputsMatchTheReferenceWithAnyWorkerCount:Clustering.DensePiecesGiveTheSameClustersWithAnyWorkerCount:ReconcileReference.LongSharedPrefixesOrderAsTheirTexts:Reconcile.*'
