#!/usr/bin/env bash
# Runs each fuzz target of a fuzz build in turn, for a bounded time, on its
# seed corpus and on the corpus it grew in earlier runs, with the
# dictionary. Any crash, sanitizer report, leak or input that runs for more
# than ten seconds stops that target and fails the whole run; the input
# that did it is left in BUILD/fuzz-artifacts/TARGET/. Once the fault is
# fixed, that input goes into fuzz/regressions/TARGET/, which the ordinary
# test suite replays (fuzz.replay_TARGET).
#   fuzz/run.sh BUILD SECONDS [libFuzzer flag...]
# Extra flags go to every target (-runs=N, for one, bounds the executions
# instead of the time). The last line is "N passed, N failed" over targets.
set -u
build=$(realpath "$1")
seconds=$2
shift 2
src=$(realpath "$(dirname "$0")")
passed=0 failed=0
for target in records dialogue; do
  work=$build/fuzz-work/$target
  artifacts=$build/fuzz-artifacts/$target
  mkdir -p "$work" "$artifacts"
  log=$build/fuzz-$target.log
  # Absolute paths throughout: the dialogue target works in its own folder.
  (cd "$build" && "$build/fuzz/fuzz_$target" -max_total_time="$seconds" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -dict="$src/kartoteka.dict" -artifact_prefix="$artifacts/" "$@" \
    "$work" "$src/corpus/$target") >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if [ "$rc" -eq 0 ]; then
    echo "fuzz_$target: ${runs:-?} runs, no finding"
    passed=$((passed + 1))
  else
    echo "fuzz_$target: FAILED (status $rc) after ${runs:-?} runs; see $log" >&2
    grep -E 'ERROR|SUMMARY|Test unit written|Base64' "$log" | head -20 >&2
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
