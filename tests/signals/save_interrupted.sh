#!/usr/bin/env bash
# A save interrupted by SIGINT, SIGTERM or SIGHUP once its temporary file
# is written: the program must remove the temporary file, leave the old
# file whole and end by the signal, as the signal's default action would.
#   save_interrupted.sh PROGRAM STOP_AT_FSYNC_LIBRARY
set -u
prog=$1
shim=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Background jobs in their own process groups, with SIGINT not ignored.
set -m
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
line='Анна Иванова 0 русская православная 165 55 5.3.1990 4951234 101000 Россия Московская Москва Тверская 7 12'
ignored=$(awk '/^SigIgn:/ { print $2 }' /proc/self/status)
tested=0
for sig in INT TERM HUP; do
  no=$(kill -l "$sig")
  if (( (16#$ignored >> (no - 1)) & 1 )); then
    echo "SIG$sig is ignored where the tests run; a save cannot be ended by it"
    continue
  fi
  dir=$work/$sig
  mkdir "$dir"
  cd "$dir" || exit 1
  # The saved file differs from the old one: the first record is dropped
  # by loading a file that has one record more.
  yes "$line" | head -n 3000 >cards.txt
  cp cards.txt old.txt
  printf '5\ncards.txt\n4\ncards.txt\n0\n' >answers
  LD_PRELOAD=$shim "$prog" <answers >out 2>err &
  pid=$!
  for _ in $(seq 200); do
    state=$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null)
    [ "$state" = T ] && break
    [ -n "$state" ] || break
    sleep 0.05
  done
  [ "$state" = T ] || { kill -9 "$pid" 2>/dev/null; cat err >&2; fail "SIG$sig: the program did not stop at its save (state '$state')"; }
  temp=$(find . -maxdepth 1 -name '.kartoteka-*')
  [ -n "$temp" ] || { kill -9 "$pid"; fail "SIG$sig: no temporary file while saving"; }
  kill -s "$sig" "$pid"
  kill -s CONT "$pid"
  # Job control reports the stop first, then the end.
  for _ in 1 2 3; do
    wait "$pid"
    rc=$?
    [ "$rc" -ne $((128 + $(kill -l STOP))) ] && break
  done
  [ "$rc" -eq $((128 + no)) ] || fail "SIG$sig: exit status $rc, not $((128 + no))"
  stray=$(find . -name '.kartoteka-*')
  [ -z "$stray" ] || fail "SIG$sig: temporary file left: $stray"
  cmp -s cards.txt old.txt || fail "SIG$sig: the old file changed"
  tested=$((tested + 1))
done
[ "$tested" -gt 0 ] || exit 77
echo "$tested signals tested"
