#!/usr/bin/env bash
# Fuzzes each target for a bounded time, both at once, and fails on any finding. Needs the 'sanitize' build.
#   scripts/fuzz.sh [SECONDS]     default 60 per target
# The corpus grows in build-sanitize/fuzz-corpus/ from fuzz/seeds and fuzz/regressions; a failing input is saved
# in build-sanitize/fuzz-findings/. Keep each one found in fuzz/regressions, with its fix.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=build-sanitize
targets=(blur_bytes blur_file)
mkdir -p "$build/fuzz-findings"

pids=()
for target in "${targets[@]}"; do
  mkdir -p "$build/fuzz-corpus/$target"
  # Small files reach every branch; a memory limit far above what they need turns an allocation sized by a
  # header's claim into a finding.
  "$build/${target}_fuzzer" -max_total_time="$seconds" -max_len=4096 -malloc_limit_mb=1024 -rss_limit_mb=2048 \
    -timeout=10 -use_value_profile=1 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-findings/$target-" \
    "$build/fuzz-corpus/$target" fuzz/seeds fuzz/regressions >"$build/fuzz-$target.log" 2>&1 &
  pids+=($!)
done

failed=0
for k in "${!targets[@]}"; do
  target=${targets[$k]}
  log="$build/fuzz-$target.log"
  if ! wait "${pids[$k]}"; then
    failed=1
    echo "== $target: FINDING (input saved in $build/fuzz-findings/)"
    grep -v '^Not a valid BMP file$' "$log" | tail -n 60
    continue
  fi
  # The effect's instrumented edges, and the last status line: coverage, features, corpus size.
  edges=$(sed -n 's/.*Loaded 1 modules *(\([0-9]*\) inline 8-bit counters.*/\1/p' "$log" | head -n 1)
  status=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
  runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
  rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$log")
  echo "== $target: $runs executions in ${seconds} s ($rate/s); $edges edges instrumented; last: $status"
done
exit $failed
