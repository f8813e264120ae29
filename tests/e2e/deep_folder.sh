#!/usr/bin/env bash
# Saves in a folder deeper than the system's longest full path (PATH_MAX),
# where the program runs and names its files relative to it: a plain save,
# and a save through a symbolic link there, both write their file.
#   deep_folder.sh PROGRAM
set -u
prog=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
cd "$work" || exit 1
part=$(printf 'd%.0s' $(seq 200))
for _ in $(seq 25); do  # about 5,000 bytes of path
  mkdir "$part" && cd "$part" || fail "cannot make the deep folder"
done
line='Анна Иванова 0 русская православная 165 55 5.3.1990 4951234 101000 Россия Московская Москва Тверская 7 12'
echo "$line" >new.txt
echo old >real.txt
ln -s real.txt link.txt
printf '5\nnew.txt\n4\nplain.txt\n4\nlink.txt\n0\n' |
  "$prog" >/dev/null 2>err || fail "exit status $?"
[ ! -s err ] || fail "reported: $(cat err)"
cmp -s plain.txt new.txt || fail "the plain save did not write plain.txt"
cmp -s real.txt new.txt || fail "the save through the link did not write real.txt"
[ -L link.txt ] || fail "the link was replaced"
echo "saves in a folder deeper than PATH_MAX, plain and through a link: written"
