#!/usr/bin/env bash
# Runs every fuzz target for FUZZ_SECONDS (default 60) seconds each, starting from the seed
# corpus in fuzz/corpus/<target> plus what earlier runs found (build/fuzz/corpus/<target>).
# A crash, a hang (-timeout), a sanitizer report or a broken invariant stops the run with the
# input saved under build/fuzz/artifacts/.
# Usage: fuzz/run.sh [target...]   (FUZZ_SECONDS, FUZZ_JOBS and FUZZ_ARGS from the environment)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
bin=build/fuzz/fuzz
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(json_inputs_fuzz tree_expression_fuzz resolve_fuzz product_fuzz flatten_fuzz)
mkdir -p build/fuzz/artifacts build/fuzz/logs
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for t in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$t
  mkdir -p "$corpus"
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  log=build/fuzz/logs/$t.log
  echo "== $t: ${seconds}s"
  # shellcheck disable=SC2086
  if ! "$bin/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=8192 \
        -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/$t-" "${dict[@]}" ${FUZZ_ARGS:-} \
        "$corpus" "fuzz/corpus/$t" > "$log" 2>&1; then
    tail -n 60 "$log"
    echo "== $t: FAILED (log: $log)"
    exit 1
  fi
  grep -E "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)" "$log" | sed "s/^/   /"
  echo "   corpus: $(ls "$corpus" | wc -l) inputs"
done
