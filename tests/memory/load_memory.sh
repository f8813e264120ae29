#!/usr/bin/env bash
# A load holds one copy of the records: with a file of 100,000 records,
#  - two loads succeed under an address-space limit of 1.25 copies + 48 MiB;
#  - after two loads, the program waits at the menu with at most 1.1 copies
#    + 16 MiB resident;
#  - three loads peak at 1.15 copies + 16 MiB resident.
# A copy is the records' own size, 100,000 times that of one record.
#   load_memory.sh PROGRAM RECORD_SIZE_PROGRAM
set -u
prog=$1
if ldd "$prog" 2>/dev/null | grep -q libasan; then
  echo "SKIP: needs a build without sanitizers, whose shadow memory makes sizes meaningless"
  exit 77
fi
count=100000
copy_kib=$(( $("$2") * count / 1024 ))
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
cd "$work" || exit 1
line='Анна Иванова 0 русская православная 165 55 5.3.1990 4951234 101000 Россия Московская Москва Тверская 7 12'
yes "$line" | head -n "$count" >records.txt

limit=$(( copy_kib * 125 / 100 + 48 * 1024 ))
out=$( (ulimit -v "$limit" &&
  printf '5\nrecords.txt\n5\nrecords.txt\n0\n' | timeout 60 "$prog") 2>err)
[ "$(grep -o 'Выполнено!' <<<"$out" | wc -l)" -eq 2 ] && [ ! -s err ] ||
  { cat err >&2; fail "two loads under ulimit -v $limit KiB"; }
echo "two loads under ulimit -v $limit KiB: done"

# The answers come through a FIFO, so that the program can be seen at the
# menu between them.
mkfifo answers
"$prog" <answers >out 2>err &
pid=$!
exec 3>answers
# Waits until the program has printed "Выполнено!" $1 times.
loads_done() {
  for _ in $(seq 600); do
    [ "$(grep -o 'Выполнено!' out | wc -l)" -ge "$1" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  cat err >&2
  fail "the program did not finish load $1"
}
# The figure of the program's /proc status line $1 (VmRSS, VmHWM), in KiB.
status_kib() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$pid/status"; }

printf '5\nrecords.txt\n5\nrecords.txt\n' >&3
loads_done 2
sleep 0.2  # past the flush of the menu, into the wait for an answer
at_menu=$(status_kib VmRSS)
printf '5\nrecords.txt\n' >&3
loads_done 3
peak=$(status_kib VmHWM)
printf '0\n' >&3
exec 3>&-
wait "$pid" || fail "exit status $?"
pid=
menu_limit=$(( copy_kib * 110 / 100 + 16 * 1024 ))
peak_limit=$(( copy_kib * 115 / 100 + 16 * 1024 ))
echo "one copy $copy_kib KiB; at the menu after two loads $at_menu KiB" \
  "(at most $menu_limit); peak of three loads $peak KiB (at most $peak_limit)"
[ "$at_menu" -le "$menu_limit" ] || fail "too much memory at the menu"
[ "$peak" -le "$peak_limit" ] || fail "too much memory at the peak"
