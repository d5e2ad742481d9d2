#!/usr/bin/env bash
# Runs each libFuzzer target for SECONDS (default 60), starting from the seeds in fuzz/corpus;
# with RUNS as well (scripts/fuzz.sh 0 10000000), until it has run that many inputs instead.
# New inputs go to build/fuzz/corpus/, crashes to build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
runs=${2:--1}
scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
mkdir -p build/fuzz/findings
for target in cleaning port_names text json board; do
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  if [ "$runs" -gt 0 ]; then echo "== fuzz_$target for $runs runs"; else echo "== fuzz_$target for ${seconds}s"; fi
  log=build/fuzz/$target.log
  status=0
  build/fuzz/fuzz/fuzz_$target "$corpus" fuzz/corpus/$target -max_total_time="$seconds" -runs="$runs" \
    -max_len="$([ "$target" = board ] && echo 2048 || echo 16384)" -artifact_prefix=build/fuzz/findings/$target- -print_final_stats=1 \
    >"$log" 2>&1 || status=$?
  grep -E "^(stat::number_of_executed_units|stat::new_units_added|==[0-9]+==ERROR|SUMMARY)" "$log" || true
  if [ "$status" -ne 0 ]; then
    echo "fuzz_$target failed (exit $status): see $log and build/fuzz/findings"
    exit 1
  fi
done
