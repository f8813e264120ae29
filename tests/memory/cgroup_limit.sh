#!/usr/bin/env bash
# A load from an endless source of valid records (a FIFO) in a memory
# cgroup of 256 MiB: the program must refuse it with its out-of-memory
# report before the kernel kills it, keep the records it held, show them
# and end with status 0; again with another cgroup folder bound elsewhere
# too, as container runtimes do, which must not hide the limit. Needs root
# and a memory cgroup it may make (cgroup v1's memory controller, or v2's
# enabled at the root).
#   cgroup_limit.sh PROGRAM
set -u
prog=$(realpath "$1")
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root, to make a memory cgroup"
if ldd "$prog" 2>/dev/null | grep -q libasan; then
  skip "needs a build without sanitizers, whose shadow memory is not the program's"
fi
v1=$(awk '$9 == "cgroup" && $0 ~ /[ ,]memory([ ,]|$)/ { print $5; exit }' /proc/self/mountinfo)
v2=$(awk '$9 == "cgroup2" { print $5; exit }' /proc/self/mountinfo)
if [ -n "$v1" ] && [ -w "$v1" ]; then
  group=$v1/kartoteka-test-$$
  limit_file=memory.limit_in_bytes
elif [ -n "$v2" ] && grep -qw memory "$v2/cgroup.subtree_control" 2>/dev/null; then
  group=$v2/kartoteka-test-$$
  limit_file=memory.max
else
  skip "needs a memory cgroup, which cannot be made here"
fi
work=$(mktemp -d)
writer=
trap '[ -n "$writer" ] && kill "$writer" 2>/dev/null; rmdir "$group" "$group-other" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
cd "$work" || exit 1
mkdir "$group" || skip "needs a memory cgroup, and $group cannot be made"
echo $((256 << 20)) >"$group/$limit_file" || fail "cannot set the limit"
line='Анна Иванова 0 русская православная 165 55 5.3.1990 4951234 101000 Россия Московская Москва Тверская 7 12'
printf '%s\n%s\n' "$line" "$line" >two.txt
mkfifo endless
mkdir "$group-other" other || fail "cannot make $group-other"

# Loads the endless FIFO in the cgroup; with $1 = bound, in a mount
# namespace where another cgroup folder is bound elsewhere too.
endless_load() {
  yes "$line" >endless 2>/dev/null &
  writer=$!
  printf '5\ntwo.txt\n5\nendless\n2\nA\n0\n' >answers
  local run="echo \$\$ >'$group/cgroup.procs' && exec timeout 120 '$prog'"
  if [ "$1" = bound ]; then
    unshare --mount --propagation private bash -c \
      "mount --bind '$group-other' other && $run" <answers >out 2>err
  else
    bash -c "$run" <answers >out 2>err
  fi
  rc=$?
  kill "$writer" 2>/dev/null
  wait "$writer" 2>/dev/null
  writer=
  [ "$rc" -eq 0 ] || fail "$1: exit status $rc (137: killed by the kernel)"
  grep -qE '^endless: чтение остановлено на записи [0-9]+: не хватает памяти; массив не изменён\.$' err ||
    fail "$1: no out-of-memory report: $(cat err)"
  [ "$(grep -c 'Запись номер' out)" -eq 2 ] || fail "$1: the records held were lost"
}

endless_load plain
unshare --mount true 2>/dev/null || skip "needs a mount namespace for the second case"
endless_load bound
echo "an endless load in a 256 MiB cgroup, also with another bound elsewhere: refused, records kept"
