#!/usr/bin/env bash
# Input that stops short anywhere: runs the program on every prefix of each
# session file given (the whole file included), each time in an empty
# scratch folder. Every run must end by itself within a few seconds, with
# exit status 0, no sanitizer report and no temporary file left behind.
# With --step N only every Nth prefix runs, and the whole file.
#   every_prefix.sh [--step N] PROGRAM SESSION...
set -u
step=1
[ "$1" = --step ] && { step=$2; shift 2; }
prog=$(realpath "$1")
shift
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
passed=0 failed=0
for session in "$@"; do
  size=$(stat -c %s "$session")
  bad=0
  lens=$(seq 0 "$step" "$size")
  [ $((size % step)) -eq 0 ] || lens="$lens $size"
  for len in $lens; do
    rm -rf "$scratch/run"
    mkdir "$scratch/run"
    head -c "$len" "$session" >"$scratch/in"
    (cd "$scratch/run" && exec timeout 10 "$prog" <"$scratch/in" \
      >/dev/null 2>"$scratch/err")
    rc=$?
    why=""
    if [ "$rc" -ne 0 ]; then
      why="exit status $rc"
    elif grep -qE 'Sanitizer|runtime error' "$scratch/err"; then
      why="sanitizer report"
    elif [ -n "$(find "$scratch/run" -name '.kartoteka-*')" ]; then
      why="temporary file left"
    fi
    if [ -n "$why" ]; then
      echo "FAIL: $(basename "$session"), first $len bytes: $why" >&2
      head -20 "$scratch/err" >&2
      bad=1
      break
    fi
  done
  if [ "$bad" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "every prefix: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
