#!/usr/bin/env bash
# Saves that need file systems of their own, mounted in a private mount
# namespace (root only):
#  - a full disk in a folder closed to new files: the file is written in
#    place, finds no room even for the new contents alone, and holds its
#    old contents again;
#  - a full disk in an open folder: the temporary file fails and goes;
#  - a bind-mounted file, which no rename may replace: written in place.
#   save_on_mounts.sh PROGRAM
set -u
prog=$1
if [ "${2:-}" != --inside ]; then
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root, to mount file systems"; exit 77; }
  unshare --mount true 2>/dev/null ||
    { echo "SKIP: needs a mount namespace, which cannot be made here"; exit 77; }
  exec unshare --mount --propagation private bash "$0" "$prog" --inside
fi

work=$(mktemp -d)
trap 'umount "$work"/bound/cards.txt "$work"/closed "$work"/open 2>/dev/null; rm -rf "$work"' EXIT
chmod 755 "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
line='Анна Иванова 0 русская православная 165 55 5.3.1990 4951234 101000 Россия Московская Москва Тверская 7 12'
mkdir "$work/src"
yes "$line" | head -n 4000 >"$work/src/big.txt"  # about 560 KB
chmod 755 "$work/src"
chmod 644 "$work/src/big.txt"
# nobody's own folder for backup copies: the one under HOME is root's.
mkdir "$work/state" && chown nobody "$work/state"

# Runs the program as the user nobody in folder $1, loading big.txt and
# saving it as cards.txt; its reports go to $work/err.
save_big() {
  (cd "$1" && printf '5\n%s\n4\ncards.txt\n0\n' "$work/src/big.txt" |
    XDG_STATE_HOME=$work/state setpriv --reuid=nobody --regid=nogroup \
      --clear-groups timeout 20 "$prog" >/dev/null 2>"$work/err")
}

# A 1 MiB file system with room left for less than the new contents.
full_disk() {
  mkdir "$work/$1"
  mount -t tmpfs -o size=1m,mode=755 tmpfs "$work/$1" || fail "mount tmpfs"
  yes "old record" | head -c 300000 >"$work/$1/cards.txt"
  head -c 450000 /dev/zero >"$work/$1/filler"
  cp "$work/$1/cards.txt" "$work/old.txt"
  chown nobody "$work/$1/cards.txt"
}

full_disk closed
save_big "$work/closed" || fail "closed folder: exit status $?"
grep -qE '^cards.txt: (No space left on device|На устройстве не осталось места)$' \
  "$work/err" || { cat "$work/err" >&2; fail "closed folder: no report"; }
cmp -s "$work/closed/cards.txt" "$work/old.txt" ||
  fail "closed folder: the old file changed"

full_disk open
chmod 777 "$work/open"
save_big "$work/open" || fail "open folder: exit status $?"
grep -qE '^cards.txt: ' "$work/err" || fail "open folder: no report"
cmp -s "$work/open/cards.txt" "$work/old.txt" ||
  fail "open folder: the old file changed"
[ -z "$(find "$work/open" -name '.kartoteka-*')" ] ||
  fail "open folder: temporary file left"

mkdir "$work/real" "$work/bound"
chmod 777 "$work/real" "$work/bound"
echo "old content" >"$work/real/cards.txt"
touch "$work/bound/cards.txt"
chown nobody "$work/real/cards.txt" "$work/bound/cards.txt"
mount --bind "$work/real/cards.txt" "$work/bound/cards.txt" || fail "bind"
save_big "$work/bound" || fail "bind mount: exit status $?"
[ -s "$work/err" ] && { cat "$work/err" >&2; fail "bind mount: reported"; }
cmp -s "$work/real/cards.txt" "$work/src/big.txt" ||
  fail "bind mount: the file was not saved"
[ -z "$(find "$work/bound" "$work/real" -name '.kartoteka-*')" ] ||
  fail "bind mount: temporary file left"
echo "full disk (closed and open folder) and bind mount: saved as expected"
