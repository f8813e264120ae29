#!/usr/bin/env bash
# Saves and loads whose system calls fail (stop_at.cpp, preloaded, makes
# them fail as a failing disk would), and what a save leaves of the
# program's resources and signals for the rest of the session. One
# function a case; each runs the program in a fresh folder holding old.txt
# (200 records, less than one copy buffer) and new.txt (300 records):
#  - in_place_fails: an in-place save (a hard-linked file) whose writing
#    fails puts the old contents back, says why, and only that;
#  - in_place_damaged: when the old contents cannot be put back either,
#    the report says so, names the backup, which holds them, and says how
#    to put them back so that the file stays its owner's;
#  - load_read_fails: a load whose read fails gives the read's reason, not
#    a format error;
#  - fifo_closed: the reader of a FIFO saved to sees its end while the
#    program goes on;
#  - fifo_close_fails: a FIFO saved to whose close fails says why;
#  - swapped_for_hard_link: the name swapped, after the save's look, for a
#    hard link to another file: nothing is written there;
#  - folder_swapped: the file's folder moved away and its name made a link
#    to another folder while the new file is written: the save ends in the
#    folder it began in, and nothing is written in the other;
#  - in_place_locked: while a save writes a file in place, another save of
#    it and a load of it wait, then are refused, saying why; a killed
#    save leaves no lock;
#  - many_saves: 40 saves in one session with room for 12 descriptors;
#  - signals_after_save: once a save has ended, SIGINT ends the program as
#    before it.
#   save_failing.sh PROGRAM STOP_AT_LIBRARY
set -u
prog=$(realpath "$1")
shim=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $case: $*" >&2; exit 1; }
# Background jobs in their own process groups, with SIGINT not ignored.
set -m
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
EIO=5 ENOSPC=28
eio='(Input/output error|Ошибка ввода/вывода)'
enospc='(No space left on device|На устройстве не осталось свободного места)'
yes 'Анна Иванова 0 русская православная 165 55 5.3.1990 4951234 101000 Россия Московская Москва Тверская 7 12' |
  head -n 200 >"$work/old.txt"
yes 'Пётр Смирнов 1 русский православный 180 80 17.11.1985 8125555 190000 Россия Ленинградская Санкт-Петербург Невский 28 3' |
  head -n 300 >"$work/new.txt"

# Makes the case's folder, with cards.txt holding the old records (and,
# with $1 = linked, a second name other.txt), and enters it.
fresh() {
  mkdir "$work/$case" && cd "$work/$case" || exit 1
  cp ../old.txt cards.txt
  [ "${1:-}" = linked ] && ln cards.txt other.txt
  return 0
}

# Loads new.txt and saves it as cards.txt, with the calls that FAIL_AT
# ($1) names failing; standard output goes to out, reports to err.
save_failing() {
  printf '5\n../new.txt\n4\ncards.txt\n0\n' |
    timeout 20 env FAIL_AT="$1" LD_PRELOAD="$shim" "$prog" >out 2>err ||
    fail "exit status $?"
}

reports() { grep -qxE "$1" err || fail "no report matches $1: $(cat err)"; }
only_reports() { [ "$(wc -l <err)" -eq "$1" ] || fail "reported: $(cat err)"; }
saved() { [ "$(grep -c 'Выполнено!' out)" -eq "$1" ] || fail "Выполнено! is not printed $1 times"; }
holds() { cmp -s "$1" "../$2" || fail "$1 does not hold $2"; }
left() { find . -name '.kartoteka-*' -o -name '*kartoteka-backup-*'; }

in_place_fails() {
  fresh linked
  save_failing "write 1 $ENOSPC"
  saved 1
  reports "cards.txt: $enospc" && only_reports 1
  holds cards.txt old.txt && holds other.txt old.txt
  [ -z "$(left)" ] || fail "left: $(left)"
}

in_place_damaged() {
  fresh linked
  # The backup is the first pwrite; putting the old contents back, the next.
  save_failing "write 1+ $ENOSPC,pwrite 2+ $EIO"
  saved 1
  reports "cards.txt: $enospc"
  local backup
  backup=$(sed -n 's/^cards\.txt: файл испорчен: .*; оно сохранено в //p' err)
  [ -n "$backup" ] || fail "no report of a damaged file: $(cat err)"
  reports 'cards.txt: чтобы вернуть записи, скопируйте содержимое копии в файл, .*'
  only_reports 3
  [ "$backup" = "$PWD/$(find . -name 'cards.txt.kartoteka-backup-*' -printf %f)" ] ||
    fail "the report names $backup"
  holds "$backup" old.txt
}

load_read_fails() {
  fresh
  printf '5\ncards.txt\n0\n' |
    timeout 20 env FAIL_AT="read 1 $EIO" LD_PRELOAD="$shim" "$prog" >out 2>err ||
    fail "exit status $?"
  reports "cards.txt: чтение остановлено на записи 1: $eio; массив не изменён\."
  only_reports 1
}

# The program's input is the FIFO in, which the test keeps open, so that
# the program waits at its menu once it has done what was typed; its pid
# is in pid.
start_waiting() {
  mkfifo in
  "$prog" <in >out 2>err &
  pid=$!
  exec 3>in
  printf '%s' "$1" >&3
}

# Starts a reader of the FIFO $1 into the file $2, and waits until it is
# waiting in its open, so that a save finds it there; its pid is in reader.
start_reader() {
  cat "$1" >"$2" &
  reader=$!
  for _ in $(seq 100); do
    [ "$(cat "/proc/$reader/wchan" 2>/dev/null)" = wait_for_partner ] && return
    sleep 0.05
  done
  # Where the kernel does not say, a while is long enough.
}

fifo_closed() {
  fresh
  mkfifo records.fifo
  start_reader records.fifo got
  start_waiting $'5\n../new.txt\n4\nrecords.fifo\n'
  for _ in $(seq 100); do kill -0 "$reader" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$reader" 2>/dev/null && { kill "$pid" "$reader"; fail "the reader never saw the end: $(cat err)"; }
  kill -0 "$pid" 2>/dev/null || fail "the program ended"
  holds got new.txt
  exec 3>&-
  wait "$pid" || fail "exit status $?"
}

fifo_close_fails() {
  fresh
  mkfifo records.fifo
  start_reader records.fifo got
  # The first close is the load's, which needs nothing more of its file;
  # the next four are of the folders its look for copies that cut saves
  # left opens, and the sixth is the FIFO's.
  printf '5\n../new.txt\n4\nrecords.fifo\n0\n' |
    timeout 20 env FAIL_AT="close 6 $EIO" LD_PRELOAD="$shim" "$prog" >out 2>err ||
    fail "exit status $?"
  saved 1
  reports "records.fifo: $eio" && only_reports 1
}

swapped_for_hard_link() {
  fresh
  echo victim >victim.txt
  printf '5\n../new.txt\n4\ncards.txt\n0\n' >answers
  start_stopped "lstat 2"
  rm cards.txt && ln victim.txt cards.txt
  kill -CONT "$pid"
  ends_well
  [ "$(cat victim.txt)" = victim ] || fail "written into another file"
  saved 1
  reports "cards.txt: .*" && only_reports 1
}

# Waits for the program $pid, stopped and sent SIGCONT, to end; fails
# unless it ends with status 0.
ends_well() {
  local rc
  # Job control reports the stop first, until it has seen the program go on.
  for _ in $(seq 100); do
    wait "$pid"
    rc=$?
    [ "$rc" -ne $((128 + $(kill -l STOP))) ] && break
    sleep 0.05
  done
  [ "$rc" -eq 0 ] || fail "exit status $rc"
}

# Starts the program on answers with STOP_AT $1 and waits until it stops.
start_stopped() {
  STOP_AT="$1" LD_PRELOAD=$shim "$prog" <answers >out 2>err &
  pid=$!
  for _ in $(seq 100); do
    [ "$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null)" = T ] && return 0
    sleep 0.1
  done
  fail "the program did not stop at $1"
}

folder_swapped() {
  fresh
  mkdir team other
  cp ../old.txt team/cards.txt
  printf '5\n../new.txt\n4\nteam/cards.txt\n0\n' >answers
  start_stopped "fsync 1"
  mv team team.moved && ln -s other team
  kill -CONT "$pid"
  ends_well
  saved 2 && only_reports 0
  holds team.moved/cards.txt new.txt
  [ -z "$(ls -A other)" ] || fail "written into the other folder: $(ls -A other)"
}

busy='cards.txt: файл занят: его сохраняет или читает другая программа; повторите позже'

in_place_locked() {
  fresh linked
  printf '5\n../new.txt\n4\ncards.txt\n0\n' >answers
  start_stopped "write 1"  # the file emptied, its new records not yet written
  local first=$pid
  printf '5\n../old.txt\n4\ncards.txt\n5\ncards.txt\n0\n' |
    timeout 20 "$prog" >out 2>err || fail "exit status $?"
  saved 1  # its load of old.txt only
  [ "$(cat err)" = "$busy"$'\n'"$busy" ] || fail "reported: $(cat err)"
  pid=$first
  kill -CONT "$pid"
  ends_well
  holds cards.txt new.txt && holds other.txt new.txt
  start_stopped "write 1"
  kill -9 "$pid"
  kill -CONT "$pid"
  wait "$pid" 2>/dev/null
  printf '5\n../old.txt\n4\ncards.txt\n0\n' |
    timeout 20 "$prog" >out 2>err || fail "exit status $?"
  # The copy the killed save left is named, and stays for the user.
  saved 2 && only_reports 1
  reports "cards.txt: осталась копия записей от прерванного сохранения: .*/cards.txt.kartoteka-backup-.{6}"
  holds cards.txt old.txt && holds other.txt old.txt
}

many_saves() {
  fresh
  {
    printf '5\n../new.txt\n'
    for i in $(seq 40); do printf '4\ncopy%d.txt\n' $((i % 3)); done
    printf '0\n'
  } >answers
  (ulimit -n 12 && exec timeout 60 "$prog" <answers >out 2>err) ||
    fail "exit status $?"
  saved 41
  only_reports 0
  holds copy0.txt new.txt
}

signals_after_save() {
  fresh
  start_waiting $'5\n../new.txt\n4\ncards.txt\n'
  for _ in $(seq 100); do
    [ "$(grep -c 'Выполнено!' out)" -eq 2 ] && break
    sleep 0.1
  done
  holds cards.txt new.txt
  kill -INT "$pid"
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && { kill -9 "$pid"; fail "SIGINT did not end it"; }
  wait "$pid"
  local rc=$?
  exec 3>&-
  [ "$rc" -eq $((128 + $(kill -l INT))) ] || fail "exit status $rc after SIGINT"
}

for case in in_place_fails in_place_damaged load_read_fails \
  fifo_closed fifo_close_fails swapped_for_hard_link folder_swapped \
  in_place_locked many_saves \
  signals_after_save; do
  "$case"
  cd "$work" || exit 1
done
echo "failing calls, descriptors and signals around saves: as expected"
