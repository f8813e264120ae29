#!/usr/bin/env bash
# What the program does with a standard output that is not the screen:
#  - a log it appends to (>>), saved to through /dev/stdout (and the error
#    log through /dev/stderr): the records are appended through the
#    program's own stream, and the log keeps its earlier lines and gets
#    every later one;
#  - a full disk (/dev/full): the failure is reported once on standard
#    error, and the program goes on with its answers (a save still works);
#  - a reader that goes away (| head -c 100) while the answers are still
#    coming: the program ends at once, with status 0 and no report.
#   standard_output.sh PROGRAM     (POSIX systems: /dev/full, FIFOs)
set -u
prog=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
fail() { echo "FAIL: $*" >&2; exit 1; }
line='Анна Иванова 0 русская православная 165 55 5.3.1990 4951234 101000 Россия Московская Москва Тверская 7 12'
printf '%s\n' "$line" "$line" >two.txt

# The log.
echo "earlier line" >journal.log
echo "earlier report" >errors.log
printf '5\ntwo.txt\n4\n/dev/stdout\n4\n/dev/stderr\n0\n' |
  timeout 20 "$prog" >>journal.log 2>>errors.log || fail "log: exit status $?"
[ "$(head -n 1 journal.log)" = "earlier line" ] || fail "log: earlier lines lost"
[ "$(grep -cF "$line" journal.log)" -eq 2 ] || fail "log: records not appended"
[ "$(grep -c 'Выполнено!' journal.log)" -eq 3 ] || fail "log: later output lost"
tail -c 40 journal.log | grep -q 'Ваш выбор: ' || fail "log: the last menu lost"
[ "$(cat errors.log)" = "earlier report"$'\n'"$line"$'\n'"$line" ] ||
  fail "error log: $(cat errors.log)"

# A full disk.
printf '5\ntwo.txt\n4\ncopy.txt\n0\n' | timeout 20 "$prog" >/dev/full 2>err ||
  fail "/dev/full: exit status $?"
[ "$(wc -l <err)" -eq 1 ] && grep -qE '^Ошибка записи в стандартный вывод: (No space left on device|На устройстве не осталось места)$' err ||
  fail "/dev/full: reports: $(cat err)"
cmp -s copy.txt two.txt || fail "/dev/full: the save did not go on"

# A reader that goes away while the input stays open.
for _ in $(seq 20000); do printf '%s\n' "$line"; done >many.txt
mkfifo answers
(printf '5\nmany.txt\n2\nA\n'; sleep 30) >answers &
writer=$!
start=$(date +%s)
timeout 20 "$prog" <answers 2>err | head -c 100 >/dev/null
rc=${PIPESTATUS[0]}
kill "$writer" 2>/dev/null
[ "$rc" -eq 0 ] || fail "reader gone: exit status $rc"
[ $(($(date +%s) - start)) -lt 10 ] || fail "reader gone: the program went on"
[ ! -s err ] || fail "reader gone: reported $(cat err)"
echo "log, full disk and a reader gone: as expected"
