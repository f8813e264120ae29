#!/usr/bin/env bash
# The Windows program killed in the middle of a save, as Task Manager or
# taskkill /F would end it (under wine: SIGKILL to its process):
#  - an ordinary save, once its new file is there: the new file is gone
#    (it was marked to be deleted when closed) and the old file is whole;
#  - an in-place save (a file with two hard links), once its backup copy
#    is there: the file holds the whole old or the whole new contents, or
#    else the backup holds the whole old ones.
# The array is large (700,000 records) so that the kill comes mid-save; a
# save that ends first gives a skip.
#   killed_save.sh PROG      (PROG runs the program under wine)
set -u
prog=$(realpath "$1")
. "$(dirname "${BASH_SOURCE[0]}")/need_wine.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
cd "$work" || exit 1
line="Анна Иванова 0 русская православная 165 55 5.3.1990 4951234 101000 Россия Московская Москва Тверская 7 12"
yes "$line" | head -n 700000 >many.txt
yes "$line"$'\r' | head -n 700000 >many-crlf.txt
printf '5\nmany.txt\n4\nold.txt\n0\n' >answers

# Starts a save of many.txt over old.txt and kills the program as soon as
# a file whose name matches $1 is in the folder. Returns 1 when the save
# ended first.
kill_when() {
  echo "old contents" >old.txt
  [ "${2:-}" = linked ] && ln -f old.txt other.txt
  "$prog" <answers >out 2>err &
  local pid=$! seen="" end=$((SECONDS + 60))
  while [ "$SECONDS" -lt "$end" ]; do
    if compgen -G "$1" >/dev/null; then
      # The scripts that start it end by exec: $pid is wine's own.
      kill -9 "$pid"
      seen=yes
      break
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.005
  done
  wait "$pid" 2>/dev/null
  [ -n "$seen" ]
}

if kill_when ".kartoteka-*"; then
  sleep 1  # wine closes the killed program's files
  stray=$(ls -A | grep '^\.kartoteka-')
  [ -z "$stray" ] || fail "ordinary save: new file left: $stray"
  [ "$(cat old.txt)" = "old contents" ] || fail "ordinary save: old file changed"
  ordinary=tested
fi
if kill_when "old.txt.kartoteka-backup-*" linked; then
  sleep 1
  if ! cmp -s old.txt <(echo "old contents") && ! cmp -s old.txt many-crlf.txt; then
    backup=$(compgen -G "old.txt.kartoteka-backup-*")
    [ -n "$backup" ] || fail "in place: the file is part written and there is no backup"
    [ "$(cat "$backup")" = "old contents" ] || fail "in place: the backup is not the old file"
  fi
  in_place=tested
fi
[ -n "${ordinary:-}${in_place:-}" ] || { echo "SKIP: needs slower saves: every save ended before it could be killed"; exit 77; }
echo "killed saves: ${ordinary:-ordinary not reached}, in place ${in_place:-not reached}"
