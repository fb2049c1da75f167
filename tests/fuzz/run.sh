#!/usr/bin/env bash
# Runs the fuzzing harnesses of a fuzz build (cmake -DSORVANE_FUZZ=ON) one
# after another, each for a set time on one core at low priority, starting
# from the committed corpus. New inputs go to <build>/fuzz-work/<harness>,
# never into the repository; an input that makes a harness fail is kept as
# <build>/fuzz-work/crash-<harness>-* and fails the run (add it to
# tests/fuzz/corpus/<harness> with the fix).
#   tests/fuzz/run.sh <fuzz build folder> <seconds per harness> [harness ...]
set -uo pipefail
if [[ $# -lt 2 ]]; then
  echo "usage: $0 <fuzz build folder> <seconds per harness> [harness ...]" >&2
  exit 2
fi
build=$1
seconds=$2
shift 2
corpus=$(cd "$(dirname "$0")" && pwd)/corpus
harnesses=("$@")
if [[ ${#harnesses[@]} -eq 0 ]]; then
  for f in "$build"/fuzz/fuzz_*; do harnesses+=("${f##*/fuzz_}"); done
fi
work=$build/fuzz-work
mkdir -p "$work"
failed=()
summary=()
for h in "${harnesses[@]}"; do
  mkdir -p "$work/$h"
  log=$work/$h.log
  nice -n 10 "$build/fuzz/fuzz_$h" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$work/crash-$h-" "$work/$h" "$corpus/$h" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  summary+=("$(printf '%-18s %12s inputs in %ss' "$h" "${runs:-?}" "$seconds")")
  echo "${summary[-1]}"
  if [[ $rc -ne 0 ]]; then
    failed+=("$h")
    tail -n 40 "$log"
  fi
done
echo "fuzzing summary:"
printf '  %s\n' "${summary[@]}"
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "harnesses that failed: ${failed[*]} (inputs in $work)" >&2
  exit 1
fi
