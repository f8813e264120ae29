#!/usr/bin/env bash
# Saves interrupted by a signal at chosen moments (the program stops itself
# there, see stop_at.cpp, and is sent the signal):
#  - each catchable signal that ends a program (SIGINT, SIGTERM, SIGHUP,
#    SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, and one
#    real-time signal) once a replacing save's new file is written:
#    the new file has no name, the program ends by the signal, nothing is
#    left behind and the old file is whole;
#  - the same signals in the middle of an in-place save (a file with two
#    hard links): the save ends first, so both names hold the whole new
#    contents, the backup copy is gone, and then the signal ends the
#    program;
#  - SIGKILL as a replacing save's new file is synced: nothing is left;
#  - SIGKILL at moments of an in-place save: the file or its backup copy
#    holds the whole old or the whole new contents.
#   save_interrupted.sh PROGRAM STOP_AT_LIBRARY
set -u
prog=$1
shim=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Background jobs in their own process groups, with SIGINT not ignored.
set -m
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
old_line='Анна Иванова 0 русская православная 165 55 5.3.1990 4951234 101000 Россия Московская Москва Тверская 7 12'
new_line='Пётр Смирнов 1 русский православный 180 80 17.11.1985 8125555 190000 Россия Ленинградская Санкт-Петербург Невский 28 3'
yes "$old_line" | head -n 3000 >"$work/old.txt"
yes "$new_line" | head -n 2000 >"$work/new.txt"

# Starts the program in a fresh folder $work/$1 holding cards.txt (the old
# file; with $3 = linked, also under a second name), loading new.txt and
# saving it over cards.txt, stopped at the call $2. Sets dir and pid.
start() {
  dir=$work/$1
  mkdir "$dir"
  cd "$dir" || exit 1
  cp ../old.txt cards.txt
  [ "${3:-}" = linked ] && ln cards.txt other-name.txt
  printf '5\n../new.txt\n4\ncards.txt\n0\n' >answers
  STOP_AT=$2 LD_PRELOAD=$shim "$prog" <answers >out 2>err &
  pid=$!
  local state
  for _ in $(seq 200); do
    state=$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null)
    [ "$state" = T ] && return 0
    [ -n "$state" ] || break
    sleep 0.05
  done
  kill -9 "$pid" 2>/dev/null
  cat err >&2
  fail "$1: the program did not stop at $2 (state '$state')"
}

# Sends signal $1 to the stopped program, lets it go on and waits for its
# end; fails unless it ended by that signal.
end_by() {
  local no rc
  no=$(kill -l "$1")
  kill -s "$1" "$pid"
  kill -s CONT "$pid"
  # Job control reports the stop first, and again until it has seen the
  # program go on, then the end.
  for _ in $(seq 200); do
    wait "$pid"
    rc=$?
    [ "$rc" -ne $((128 + $(kill -l STOP))) ] && break
    sleep 0.05
  done
  [ "$rc" -eq $((128 + no)) ] || fail "$dir: exit status $rc, not $((128 + no))"
}

left() { find "$dir" -name '.kartoteka-*' -o -name '*kartoteka-backup-*'; }

ignored=$(awk '/^SigIgn:/ { print $2 }' /proc/self/status)
tested=0
ulimit -c 0  # SIGQUIT's core dump
for sig in INT TERM HUP QUIT USR1 USR2 ALRM VTALRM PROF RTMIN+3; do
  no=$(kill -l "$sig")
  if (( (16#$ignored >> (no - 1)) & 1 )); then
    echo "SIG$sig is ignored where the tests run; a save cannot be ended by it"
    continue
  fi
  # Replacing: the new file is written and being synced.
  start "renamed-$sig" "fsync 1"
  ls -l "/proc/$pid/fd" | grep -q "$dir/.*(deleted)" ||
    [ -n "$(left)" ] || { kill -9 "$pid"; fail "SIG$sig: no new file while saving"; }
  end_by "$sig"
  [ -z "$(left)" ] || fail "SIG$sig: file left: $(left)"
  cmp -s cards.txt ../old.txt || fail "SIG$sig: the old file changed"

  # In place: stopped half way through overwriting the file.
  start "in-place-$sig" "write 2" linked
  [ -n "$(find "$dir" -name 'cards.txt.kartoteka-backup-*')" ] ||
    { kill -9 "$pid"; fail "SIG$sig: no backup copy while writing in place"; }
  end_by "$sig"
  cmp -s cards.txt ../new.txt || fail "SIG$sig: in place: the save did not end first"
  cmp -s other-name.txt ../new.txt || fail "SIG$sig: in place: other name differs"
  [ -z "$(left)" ] || fail "SIG$sig: in place: file left: $(left)"
  tested=$((tested + 1))
done

# SIGKILL, which nothing can hold off. A replacing save, as its new file
# is synced: nothing is left, the old file is whole.
start "killed-renamed" "fsync 1"
kill -9 "$pid"
kill -s CONT "$pid"
wait "$pid" 2>/dev/null
[ -z "$(left)" ] || fail "killed: file left: $(left)"
cmp -s cards.txt ../old.txt || fail "killed: the old file changed"
# An in-place save: as the backup is synced, half way through the
# overwrite, as the file is synced.
for at in "fsync 1" "write 2" "fsync 3"; do
  start "killed-${at/ /-}" "$at" linked
  kill -9 "$pid"
  kill -s CONT "$pid"
  wait "$pid" 2>/dev/null
  if cmp -s cards.txt ../old.txt || cmp -s cards.txt ../new.txt; then
    continue
  fi
  backup=$(find "$dir" -name 'cards.txt.kartoteka-backup-*')
  [ -n "$backup" ] || fail "killed at $at: the file is part written and there is no backup"
  cmp -s "$backup" ../old.txt || fail "killed at $at: the backup is not the old file"
done
[ "$tested" -gt 0 ] || { echo "SKIP: needs a signal that is not ignored where the tests run"; exit 77; }
echo "$tested signals tested, and SIGKILL at three moments"
