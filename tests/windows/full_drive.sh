#!/usr/bin/env bash
# The Windows program saving in place (a file with two hard links) onto a
# full drive, a 1 MiB file system mounted for the test (root only): making
# room for the new contents fails before a byte of the file changes, the
# save is reported, and the file, its other name and the folder are as
# they were.
#   full_drive.sh PROG      (PROG runs the program under wine)
set -u
prog=$(realpath "$1")
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root, to mount a small drive"; exit 77; }
. "$(dirname "${BASH_SOURCE[0]}")/need_wine.sh"
work=$(mktemp -d)
trap 'umount "$work/small" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
cd "$work" || exit 1
mkdir small
mount -t tmpfs -o size=1m tmpfs small ||
  { echo "SKIP: needs a tmpfs that can be mounted here"; exit 77; }
line='Анна Иванова 0 русская православная 165 55 5.3.1990 4951234 101000 Россия Московская Москва Тверская 7 12'
yes "$line" | head -n 4000 >big.txt  # about 560 KB, 580 KB with CR LF
yes "old record" | head -c 300000 >small/cards.txt
ln small/cards.txt small/other.txt
head -c 450000 /dev/zero >small/filler
cp small/cards.txt old.txt
printf '5\nbig.txt\n4\nsmall/cards.txt\n0\n' | timeout 60 "$prog" >out 2>err ||
  fail "exit status $?"
grep -q '^small/cards.txt: ' err || { cat err >&2; fail "no report"; }
grep -q 'Выполнено!.*Выполнено!' <(tr -d '\n' <out) && fail "the save was reported done"
cmp -s small/cards.txt old.txt || fail "the file changed"
cmp -s small/other.txt old.txt || fail "its other name changed"
[ "$(ls -A small | sort | tr '\n' ' ')" = "cards.txt filler other.txt " ] ||
  fail "files left: $(ls -A small)"
echo "in-place save on a full drive: refused, the file as it was"
