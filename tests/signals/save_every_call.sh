#!/usr/bin/env bash
# Every system call of a save failing in turn, for each way a save goes:
# a plain file replaced by a new one; a hard-linked file written in place
# after a backup beside it; and, as root, a hard-linked file in a folder
# its user may not write, whose backup goes to the user's own folder, a
# file its user may write but not read in such a folder, whose new
# contents go to the user's folder first, and a bind-mounted file, which
# no rename may replace (in a mount namespace of the test's own). For each
# call the save makes, stop_at.cpp (preloaded) makes its 1st, 2nd, ...
# call fail, with the errors a disk or a file system gives, until a run no
# longer reaches that call; one run more has none fail, and the save must
# succeed. After every run:
#  - the program ended by itself with status 0;
#  - every name of the file holds its whole old or its whole new
#    contents, the new ones exactly when the save said "Выполнено!";
#  - a failed save said why, in one line, unless it also said that the file
#    is damaged, naming the backup copy that holds the old contents (or,
#    for a file that could not be read, that there is no copy);
#  - no new file or backup copy is left, but one the save names, as the
#    copy of a damaged file or as one it could not remove.
#   save_every_call.sh PROGRAM STOP_AT_LIBRARY
set -u
prog=$(realpath "$1")
shim=$(realpath "$2")
if [ "${3:-}" != --inside ] && [ "$(id -u)" -eq 0 ] &&
  unshare --mount true 2>/dev/null; then
  exec unshare --mount --propagation private bash "$0" "$1" "$2" --inside
fi
work=$(mktemp -d)
chmod 755 "$work"
trap 'umount -q "$work/run/dir/cards.txt" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $way, $call $k failing with $error: $*" >&2; exit 1; }
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
export XDG_STATE_HOME=$work/state
yes 'Анна Иванова 0 русская православная 165 55 5.3.1990 4951234 101000 Россия Московская Москва Тверская 7 12' |
  head -n 800 >"$work/old.txt"
yes 'Пётр Смирнов 1 русский православный 180 80 17.11.1985 8125555 190000 Россия Ленинградская Санкт-Петербург Невский 28 3' |
  head -n 600 >"$work/new.txt"
# A file that cannot be read is grown first to its new contents' length.
yes 'Пётр Смирнов 1 русский православный 180 80 17.11.1985 8125555 190000 Россия Ленинградская Санкт-Петербург Невский 28 3' |
  head -n 1000 >"$work/longer.txt"
chmod 644 "$work"/*.txt
calls="open openat close read write pread pwrite lseek ftruncate fsync fchown
  fchmod linkat renameat unlinkat mkdir"
ways="renamed in_place"
[ "$(id -u)" -eq 0 ] && ways="$ways locked_folder write_only"
[ "${3:-}" = --inside ] && ways="$ways bind_mounted"
runs=0
mkdir -m 1777 "$work/marks"  # where the program, as any user, marks a failure

# Makes the folder of a run of way $1: dir/cards.txt holding the old
# records, with a second name dir/other.txt where the way needs one.
prepare() {
  umount -q "$work/run/dir/cards.txt" 2>/dev/null
  rm -rf "$work/run" "$XDG_STATE_HOME"
  mkdir -p "$work/run/dir" "$XDG_STATE_HOME"
  cp "$work/old.txt" "$work/run/dir/cards.txt"
  case $1 in
    in_place) ln "$work/run/dir/cards.txt" "$work/run/dir/other.txt" ;;
    locked_folder)
      ln "$work/run/dir/cards.txt" "$work/run/dir/other.txt"
      chown -R nobody "$work/run/dir/cards.txt" "$XDG_STATE_HOME"
      chmod 755 "$work/run" "$work/run/dir" ;;
    write_only)
      chown -R nobody "$work/run/dir/cards.txt" "$XDG_STATE_HOME"
      chmod 200 "$work/run/dir/cards.txt"
      chmod 755 "$work/run" "$work/run/dir" ;;
    bind_mounted)
      mount --bind "$work/run/dir/cards.txt" "$work/run/dir/cards.txt" ;;
  esac
}

# The new records of way $1.
new_of() { [ "$1" = write_only ] && echo longer.txt || echo new.txt; }

# Runs the save of way $1 with FAIL_AT $2; output in out, reports in err.
save() {
  local as=()
  [ "$1" = locked_folder ] || [ "$1" = write_only ] &&
    as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  (cd "$work/run" && printf '5\n../%s\n4\ndir/cards.txt\n0\n' "$(new_of "$1")" |
    timeout 20 "${as[@]}" env FAIL_AT="$2" FAIL_LOG="$work/marks/failed" \
      LD_PRELOAD="$shim" "$prog" >out 2>err)
}

# Checks the outcome of a run, as the comment at the top says.
check() {
  local done=0 new=0 name backup
  # What was said after the last file name was asked for: the save's
  # answer (or the load's, when the load failed and nothing was saved).
  awk -v RS='Введите имя файла: ' 'END { exit !($0 ~ /^Выполнено!/) }' \
    "$work/run/out" && done=1
  cmp -s "$work/run/dir/cards.txt" "$work/$(new_of "$way")" && new=1
  for name in "$work"/run/dir/*.txt; do
    cmp -s "$name" "$work/old.txt" || cmp -s "$name" "$work/$(new_of "$way")" ||
      damaged_ok "$name" || fail "$(basename "$name") holds neither the old nor the new records"
  done
  if [ "$(grep -o 'Введите имя файла: ' "$work/run/out" | wc -l)" -lt 2 ]; then
    # The load failed: nothing was saved.
    [ "$new" -eq 0 ] || fail "the file is new, but nothing was saved"
  elif [ "$done" -eq 1 ]; then
    [ "$new" -eq 1 ] || fail "Выполнено! but the file is not new"
    grep -v 'удалить его не удалось' "$work/run/err" | grep -q . &&
      fail "reported after success: $(cat "$work/run/err")"
  else
    [ -s "$work/run/err" ] || fail "failed without a word"
    if ! grep -q 'файл испорчен\|удалить его не удалось' "$work/run/err"; then
      [ "$new" -eq 0 ] || fail "the file is new, but the save failed"
      [ "$(wc -l <"$work/run/err")" -eq 1 ] || fail "reports: $(cat "$work/run/err")"
    fi
  fi
  backup=$(sed -n -e 's/^.*файл испорчен: .*; оно сохранено в //p' \
    -e 's/^.*: остался файл \(.*\), удалить его не удалось: .*$/\1/p' \
    "$work/run/err" | head -n 1)
  left=$(find "$work/run" "$XDG_STATE_HOME" -name '.kartoteka-*' -o \
    -name '*kartoteka-backup-*' | grep -vxF "${backup:-/}")
  [ -z "$left" ] || fail "left: $left"
}

# True when the file $1 may be part written because the save said the file
# is damaged, and the backup it names holds the old records, or that there
# is none.
damaged_ok() {
  local backup
  grep -q 'копии прежнего содержимого нет' "$work/run/err" && return 0
  backup=$(sed -n 's/^.*файл испорчен: .*; оно сохранено в //p' "$work/run/err")
  [ -n "$backup" ] && cmp -s "$backup" "$work/old.txt"
}

for way in $ways; do
  # With no call failing, the save succeeds.
  call=none k=0 error=0
  prepare "$way"
  save "$way" "" || fail "exit status $?"
  [ ! -s "$work/run/err" ] && cmp -s "$work/run/dir/cards.txt" "$work/$(new_of "$way")" ||
    fail "the save did not succeed: $(cat "$work/run/err")"
  for call in $calls; do
    # Every call fails with EIO. Those that make, name, rename or remove
    # files, or give them owners and permissions, are also refused
    # (EACCES); a folder may take no unnamed file (EOPNOTSUPP, as on
    # FUSE), so that the new file is named from the start; a read may find
    # its file shorter than it was (0 from then on).
    errors=5
    case $call in
      openat) errors="5 13 95" ;;
      linkat | renameat | unlinkat | fchown | fchmod) errors="5 13" ;;
      read | pread) errors="5 0" ;;
    esac
    for error in $errors; do
      from=""
      [ "$error" -eq 0 ] && from=+
      for k in $(seq 1 400); do
        prepare "$way"
        save "$way" "$call $k$from $error"
        rc=$?
        [ -e "$work/marks/failed" ] || break  # no run reaches call k
        rm "$work/marks/failed"
        runs=$((runs + 1))
        [ "$rc" -eq 0 ] || fail "exit status $rc: $(cat "$work/run/err")"
        check
      done
    done
  done
done
echo "every call of a save failing in turn: $runs runs, as expected"
