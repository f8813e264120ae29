#!/usr/bin/env bash
# A save puts its new file on the disk before the file takes the old one's
# place: traced by strace, the new file is synced (fsync; under wine,
# FlushFileBuffers becomes one) before the rename over the old file. With
# WINEPREFIX, the program is the Windows one under wine: the prefix's wine
# server is ended first, so that the one the traced run starts, which does
# the rename, is traced too (the test runs alone); the tests' shared server
# is started again at the end (tests/windows/wine_server.sh).
#   save_synced.sh PROGRAM [WINEPREFIX]
set -u
prog=$(realpath "$1")
command -v strace >/dev/null || { echo "SKIP: needs strace (package strace)"; exit 77; }
work=$(mktemp -d)
restart() {
  [ -z "${1:-}" ] ||
    "$(dirname "$0")/../windows/wine_server.sh" "$(dirname "$1")/wine-run" start
}
trap 'rm -rf "$work"; restart "${2:-}"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
cd "$work" || exit 1
if [ -n "${2:-}" ]; then
  server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  WINEPREFIX=$2 "$server" -k 2>/dev/null
  WINEPREFIX=$2 "$server" -w 2>/dev/null
fi
echo 'Анна Иванова 0 русская православная 165 55 5.3.1990 4951234 101000 Россия Московская Москва Тверская 7 12' >new.txt
echo old >cards.txt
printf '5\nnew.txt\n4\ncards.txt\n0\n' >answers
# LeakSanitizer cannot work in a traced program.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
strace -f -y -o trace -e trace=fsync,fdatasync,rename,renameat,renameat2 \
  "$prog" <answers >/dev/null 2>&1 || fail "exit status $?"
tr -d "\r" <cards.txt | cmp -s - new.txt || fail "the save did not happen"
# The new file is the one in this folder that is neither the old file nor
# the folder: named .kartoteka-..., or unnamed (O_TMPFILE, "#inode").
awk -v dir="$work" '
  /(fsync|fdatasync)\(/ && (index($0, "<" dir "/.kartoteka-") ||
                           index($0, "<" dir "/#")) { synced = NR }
  /rename(at2?)?\(/ && /cards\.txt"/ { renamed = NR; exit }
  END {
    if (!renamed) { print "FAIL: no rename over cards.txt was seen"; exit 1 }
    if (!synced) { print "FAIL: the new file was not synced before the rename"; exit 1 }
  }' trace || { grep -E 'fsync|rename' trace | grep -v '\.reg' >&2; exit 1; }
echo "the new file is synced before it replaces the old one"
