#!/usr/bin/env bash
# Runs the libFuzzer targets of build/fuzz (built with -DVINTREL_FUZZ=ON, see
# scripts/test_sanitizers.sh): each target first replays its seed corpus under
# tests/fuzz/corpus/<target>/, then fuzzes for SECONDS (0: replay only). Targets run in
# parallel, one process each. New inputs go to build/fuzz/work/<target>/, never into the
# committed corpus. Any crash, leak, timeout or memory overrun fails the script, and the
# input that caused it is printed.
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]     (default: 60 seconds, every target)
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${1:-60}
shift || true
BUILD=${FUZZ_BUILD_DIR:-build/fuzz}
# Each input gets at most 10 s and each process at most 2 GB (ASan reserves a huge address
# space, so an address-space limit cannot be used; libFuzzer enforces these instead).
LIMITS=(-timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048)

declare -A DICT=(
  [yaml_tree_fuzz]=yaml.dict [spec_reader_fuzz]=yaml.dict [entity_json_fuzz]=json.dict
  [trained_params_fuzz]=json.dict [expression_fuzz]=expression.dict [reconcile_fuzz]=reconcile.dict
)
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for dir in tests/fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

mkdir -p "$BUILD/artifacts" "$BUILD/logs"
pids=()
for t in "${targets[@]}"; do
  [ -x "$BUILD/$t" ] || { echo "fuzz: $BUILD/$t is not built" >&2; exit 1; }
  mkdir -p "$BUILD/work/$t"
  if [ "$SECONDS_PER_TARGET" -gt 0 ]; then run=(-max_total_time="$SECONDS_PER_TARGET"); else run=(-runs=0); fi
  dict=()
  [ -n "${DICT[$t]:-}" ] && dict=(-dict="tests/fuzz/${DICT[$t]}")
  "$BUILD/$t" "${LIMITS[@]}" "${run[@]}" "${dict[@]}" -print_final_stats=1 \
    -artifact_prefix="$BUILD/artifacts/$t-" "$BUILD/work/$t" "tests/fuzz/corpus/$t" \
    >"$BUILD/logs/$t.log" 2>&1 &
  pids+=($!)
done

failed=0
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  if wait "${pids[$i]}"; then
    echo "fuzz: $t ok ($(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$BUILD/logs/$t.log" | grep -o '[0-9]*$' || echo '?') inputs)"
  else
    failed=1
    echo "fuzz: $t FAILED; log $BUILD/logs/$t.log" >&2
    grep -E -A40 '^==[0-9]+==ERROR|runtime error|fuzz invariant failed|ALARM|out-of-memory|deadly signal' \
      "$BUILD/logs/$t.log" | head -80 >&2 || tail -40 "$BUILD/logs/$t.log" >&2
    artifact=$(grep -o "Test unit written to [^ ]*" "$BUILD/logs/$t.log" | tail -1 | sed 's/Test unit written to //')
    if [ -n "$artifact" ] && [ -f "$artifact" ]; then
      echo "fuzz: input that failed ($artifact, $(wc -c <"$artifact") bytes, base64):" >&2
      base64 "$artifact" | head -c 8000 >&2
      echo >&2
    fi
  fi
done
exit "$failed"
