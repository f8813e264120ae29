#!/usr/bin/env bash
# The Windows program saving a file that another program holds open
# without letting it be replaced (hold_open.exe): the save writes it in
# place, reports it done, and leaves nothing else in the folder.
#   held_open.sh PROG WINE_RUN HOLD_OPEN    (PROG runs the program under wine)
set -u
prog=$(realpath "$1") wine_run=$2 hold=$(realpath "$3")
. "$(dirname "${BASH_SOURCE[0]}")/need_wine.sh"
work=$(mktemp -d)
holder=""
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
cd "$work" || exit 1
printf 'old record\r\n' >cards.txt
inode=$(stat -c %i cards.txt)
"$wine_run" "$hold" cards.txt ready &
holder=$!
for _ in $(seq 100); do [ -e ready ] && break; sleep 0.1; done
[ -e ready ] || fail "the holder did not open the file"
printf '1\nA B 1 c d 1 2 3 4 5 6 7 e f g h 8 9\nn\n4\ncards.txt\n0\n' |
  timeout 60 "$prog" >out 2>err || fail "exit status $?"
[ -s err ] && { cat err >&2; fail "a report"; }
grep -q 'Выполнено!' out || fail "the save was not reported done"
[ "$(cat cards.txt)" = $'A B 1 c d 1 2 4.5.6 3 7 e f g h 8 9\r' ] ||
  fail "the file holds: $(cat cards.txt)"
[ "$(stat -c %i cards.txt)" = "$inode" ] || fail "the file was replaced"
[ "$(ls -A | sort | tr '\n' ' ')" = "cards.txt err out ready " ] ||
  fail "files left: $(ls -A)"
echo "a file held open by another program: written in place"
