#!/usr/bin/env bash
# Saves on the file systems and in the shared folders users keep their
# files in, each made for the case in a private mount namespace (root
# only): a nearly full btrfs (copy on write), ext3 (no fallocate; nearly
# full; an append-only folder), a FUSE mount (bindfs: no unnamed files),
# overlayfs (copy-up), tmpfs (no lasting place for a backup), and team
# folders with groups and ACLs.
# One function a case: its name, its file system, and what it checks.
#   save_on_file_systems.sh PROGRAM STOP_AT_LIBRARY
set -u
prog=$(realpath "$1")
shim=$(realpath "$2")
skip() { echo "SKIP: $*"; exit 77; }
if [ "${3:-}" != --inside ]; then
  [ "$(id -u)" -eq 0 ] || skip "needs root, to mount file systems"
  while read -r tool package; do
    command -v "$tool" >/dev/null || skip "needs $tool (package $package)"
  done <<'EOT'
chattr e2fsprogs
mkfs.btrfs btrfs-progs
mkfs.ext3 e2fsprogs
bindfs bindfs
setfacl acl
getfacl acl
setpriv util-linux
EOT
  unshare --mount true 2>/dev/null || skip "needs a mount namespace, which cannot be made here"
  exec unshare --mount --propagation private bash "$0" "$1" "$2" --inside
fi

work=$(mktemp -d)
chmod 755 "$work"
trap 'umount -q "$work"/fs "$work"/fuse 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $case: $*" >&2; exit 1; }
# The stopping library is preloaded before a sanitizer's runtime.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
old_line='Анна Иванова 0 русская православная 165 55 5.3.1990 4951234 101000 Россия Московская Москва Тверская 7 12'
new_line='Пётр Смирнов 1 русский православный 180 80 17.11.1985 8125555 190000 Россия Ленинградская Санкт-Петербург Невский 28 3'
yes "$old_line" | head -n 60000 >"$work/old.txt"  # about 10 MB
yes "$new_line" | head -n 80000 >"$work/new.txt"  # about 15 MB
yes "$new_line" | head -n 200 >"$work/small.txt"
chmod 644 "$work"/*.txt
fs=$work/fs
# The users' folder for backup copies that cannot go beside their files.
export XDG_STATE_HOME=$work/state
mkdir -m 1777 "$XDG_STATE_HOME"

# Makes a fresh file system of type $1 (btrfs, ext3, or fuse: a bindfs
# view of a plain folder) at $fs, open to everyone.
make_fs() {
  umount -q "$work/fuse" "$fs" 2>/dev/null
  rm -rf "$work/img" "$work/real" "$fs"
  mkdir "$fs"
  case $1 in
    btrfs | ext3)
      truncate -s 128M "$work/img"
      "mkfs.$1" -q "$work/img" >/dev/null 2>&1 || fail "mkfs.$1"
      mount -t "$1" -o loop "$work/img" "$fs" || fail "mount $1" ;;
    fuse)
      mkdir "$work/real"
      bindfs "$work/real" "$fs" || fail "bindfs" ;;
  esac
  chmod 777 "$fs"
}

# Fills $fs until $1 MiB are left free.
leave_free() {
  dd if=/dev/zero of="$fs/room" bs=1M count="$1" status=none
  dd if=/dev/zero of="$fs/filler" bs=1M status=none 2>/dev/null
  sync
  rm "$fs/room"
  sync
}

# Runs the program in $fs as user $1 (uid:gid[:groups], or root), loading
# $2 and saving it as $3; its reports go to $work/err. STOP_AT, if set,
# stops it there (stop_at.cpp), in the background, with its pid in pid.
save_as() {
  local who=$1 ids=()
  IFS=: read -r uid gid groups <<<"$who"
  [ "$who" = root ] || ids=(setpriv --reuid="$uid" --regid="$gid"
    "--groups=${groups:-$gid}")
  if [ -n "${STOP_AT:-}" ]; then
    (cd "$fs" && printf '5\n%s\n4\n%s\n0\n' "$2" "$3" |
      STOP_AT=$STOP_AT LD_PRELOAD=$shim "${ids[@]}" "$prog" >/dev/null \
        2>"$work/err") 2>/dev/null &
    pid=$!
    for _ in $(seq 200); do
      child=$(pgrep -P "$pid" -f "$prog" | head -n 1)
      [ -n "$child" ] && [ "$(awk '{ print $3 }' "/proc/$child/stat")" = T ] &&
        return 0
      sleep 0.05
    done
    fail "the program did not stop at $STOP_AT"
  fi
  (cd "$fs" && printf '5\n%s\n4\n%s\n0\n' "$2" "$3" |
    timeout 60 "${ids[@]}" "$prog" >/dev/null 2>"$work/err") ||
    fail "exit status $?"
}

no_report() { [ ! -s "$work/err" ] || fail "reported: $(cat "$work/err")"; }
holds() { cmp -s "$1" "$2" || fail "$1 does not hold $(basename "$2")"; }
no_backup() {
  [ -z "$(find "$fs" "$XDG_STATE_HOME" -maxdepth 2 -name 'cards.txt.kartoteka-backup-*')" ] ||
    fail "a backup copy was left"
}
owner_is() {
  [ "$(stat -c %u:%g "$1")" = "$2" ] || fail "$1 is $(stat -c %u:%g "$1"), not $2"
}

# A hard-linked file in a nearly full btrfs, whose new contents fit once
# the old blocks are free: both names hold them.
cow_fits() {
  make_fs btrfs
  cp "$work/old.txt" "$fs/cards.txt" && ln "$fs/cards.txt" "$fs/other.txt"
  leave_free 8
  save_as root "$work/new.txt" cards.txt
  no_report && holds "$fs/cards.txt" "$work/new.txt" &&
    holds "$fs/other.txt" "$work/new.txt" && no_backup
}

# The same, but the new contents do not fit even then: the file is whole
# and old, and the report says why.
cow_too_big() {
  make_fs btrfs
  cp "$work/old.txt" "$fs/cards.txt" && ln "$fs/cards.txt" "$fs/other.txt"
  yes "$new_line" | head -n 120000 >"$work/big.txt"
  leave_free 2
  save_as root "$work/big.txt" cards.txt
  [ "$(cat "$work/err")" = 'cards.txt: No space left on device' ] ||
    fail "report: $(cat "$work/err")"
  holds "$fs/cards.txt" "$work/old.txt" && holds "$fs/other.txt" "$work/old.txt"
  no_backup
}

# A file its user may write but not read, in a folder the user may not
# write, on a nearly full disk, saved with more records than it had: the
# save fails before the old records are touched, and says why.
write_only_full() {
  make_fs ext3
  mkdir "$fs/locked" && chmod 755 "$fs/locked"
  cp "$work/old.txt" "$fs/locked/cards.txt"
  chown 1000:1000 "$fs/locked/cards.txt" && chmod 200 "$fs/locked/cards.txt"
  mkdir -p "$XDG_STATE_HOME/u1000" && chown 1000 "$XDG_STATE_HOME/u1000"
  leave_free 2
  XDG_STATE_HOME=$XDG_STATE_HOME/u1000 save_as 1000:1000 "$work/new.txt" \
    locked/cards.txt
  [ "$(cat "$work/err")" = 'locked/cards.txt: No space left on device' ] ||
    fail "report: $(cat "$work/err")"
  holds "$fs/locked/cards.txt" "$work/old.txt"
}

# ext3 reserves nothing (no fallocate): a hard-linked file, readable or
# only writable, is saved all the same.
no_fallocate() {
  make_fs ext3
  for name in cards.txt writeonly.txt; do
    echo old >"$fs/$name" && ln "$fs/$name" "$fs/$name.link"
    chown 1000:1000 "$fs/$name"
  done
  chmod 222 "$fs/writeonly.txt"
  for name in cards.txt writeonly.txt; do
    save_as 1000:1000 "$work/small.txt" "$name"
    no_report && holds "$fs/$name.link" "$work/small.txt"
  done
}

# A team's file (owner:team 664, in the team's folder) saved by another
# member of the team stays the owner's and the team's.
team_group() {
  make_fs ext3
  mkdir "$fs/team" && chown 0:2000 "$fs/team" && chmod 2775 "$fs/team"
  yes "$old_line" | head -n 10 >"$fs/team/cards.txt"
  chown 1000:2000 "$fs/team/cards.txt" && chmod 664 "$fs/team/cards.txt"
  save_as 1001:1001:1001,2000 "$work/small.txt" team/cards.txt
  no_report && holds "$fs/team/cards.txt" "$work/small.txt"
  owner_is "$fs/team/cards.txt" 1000:2000
}

# A shared file (owner:team 660) saved by its owner, once a member of the
# team and once not: it keeps its group either way.
owner_group() {
  make_fs ext3
  mkdir "$fs/own" && chown 1000:1000 "$fs/own"
  for groups in 1000,2000 1000; do
    yes "$old_line" | head -n 10 >"$fs/own/cards.txt"
    chown 1000:2000 "$fs/own/cards.txt" && chmod 660 "$fs/own/cards.txt"
    save_as "1000:1000:$groups" "$work/small.txt" own/cards.txt
    no_report && holds "$fs/own/cards.txt" "$work/small.txt"
    owner_is "$fs/own/cards.txt" 1000:2000
  done
}

# The backup copy of a team's hard-linked file (owner:team 660), made as
# the file is written in place, is the owner's and the team's with the
# file's permissions where the saver may give them (root); a member gives
# it the group and the permissions, as cp -p does, so that the owner may
# read it.
team_backup() {
  make_fs ext3
  mkdir "$fs/team" && chown 0:2000 "$fs/team" && chmod 2775 "$fs/team"
  local saver want backup got
  while read -r saver want; do
    yes "$old_line" | head -n 10 >"$fs/team/cards.txt"
    ln -f "$fs/team/cards.txt" "$fs/team/other.txt"
    chown 1000:2000 "$fs/team/cards.txt" && chmod 660 "$fs/team/cards.txt"
    STOP_AT="write 1" save_as "$saver" "$work/small.txt" team/cards.txt
    backup=$(find "$fs/team" -name 'cards.txt.kartoteka-backup-*')
    got=$(stat -c %u:%g:%a "$backup" 2>/dev/null)
    kill -CONT "$child"
    wait "$pid"
    [ "$got" = "$want" ] || fail "the backup of $saver's save is $got, not $want"
    holds "$fs/team/cards.txt" "$work/small.txt"
  done <<'EOT'
root 1000:2000:660
1001:1001:1001,2000 1001:2000:660
EOT
}

# A 0640 file whose ACL lets a second user write, saved by that user:
# still its owner's, with the same ACL.
acl_user() {
  make_fs ext3
  yes "$old_line" | head -n 10 >"$fs/cards.txt"
  chown 1000:1000 "$fs/cards.txt" && chmod 640 "$fs/cards.txt"
  setfacl -m u:1001:rw "$fs/cards.txt"
  getfacl -cp "$fs/cards.txt" >"$work/acl.before"
  save_as 1001:1001 "$work/small.txt" cards.txt
  no_report && holds "$fs/cards.txt" "$work/small.txt"
  owner_is "$fs/cards.txt" 1000:1000
  getfacl -cp "$fs/cards.txt" | cmp -s - "$work/acl.before" || fail "ACL changed"
}

# A 0640 file without ACL in a folder whose default ACL lets another user
# read: the saved file has no ACL either.
default_acl() {
  make_fs ext3
  mkdir "$fs/shared" && chown 1000:1000 "$fs/shared"
  setfacl -d -m u:1001:r "$fs/shared"
  yes "$old_line" | head -n 10 >"$fs/shared/cards.txt"
  chown 1000:1000 "$fs/shared/cards.txt" && chmod 640 "$fs/shared/cards.txt"
  setfacl -b "$fs/shared/cards.txt"
  save_as 1000:1000 "$work/small.txt" shared/cards.txt
  no_report && holds "$fs/shared/cards.txt" "$work/small.txt"
  [ "$(stat -c %a "$fs/shared/cards.txt")" = 640 ] || fail "mode changed"
  ! getfacl -cp "$fs/shared/cards.txt" | grep -q 'user:1001' ||
    fail "the folder's default ACL was given to the file"
}

# A file in a folder its user may not write, saved in place: its backup
# copy goes to the user's own folder, on a lasting file system, and is gone
# after the save; where that folder and the temporary one are in memory
# (tmpfs), the save is refused and the file stays as it was.
backup_lasting() {
  make_fs ext3
  mkdir "$fs/locked" && chmod 755 "$fs/locked"
  mkdir "$fs/state" "$work/memory" && chmod 777 "$fs/state" "$work/memory"
  mount -t tmpfs -o size=8M tmpfs "$work/memory" || fail "mount tmpfs"
  for state in "$fs/state" "$work/memory"; do
    cp "$work/old.txt" "$fs/locked/cards.txt"
    chown 1000:1000 "$fs/locked/cards.txt"
    XDG_STATE_HOME=$state TMPDIR=$state save_as 1000:1000 "$work/small.txt" locked/cards.txt
    [ -z "$(find "$state" -name 'cards.txt.kartoteka-backup-*')" ] ||
      fail "a backup copy was left in $state"
  done
  umount "$work/memory"
  holds "$fs/locked/cards.txt" "$work/old.txt"
  grep -q '^locked/cards.txt: ' "$work/err" || fail "no report"
  [ -d "$fs/state/kartoteka" ] || fail "the backup did not go to the lasting folder"
}

# A copy of the records never goes where another user may read it or move
# it away: not to the temporary folder, for a user without a state folder;
# not through a state folder that another user planted (a link to his own
# folder, or his own folder). The in-place save is refused then, and the
# file stays as it was.
backup_private() {
  make_fs ext3
  mkdir "$fs/locked" && chmod 755 "$fs/locked"
  rm -rf "$work/shared" "$work/tmp" "$work/his"
  mkdir -m 1777 "$work/shared" "$work/tmp"
  mkdir -m 777 "$work/his" && chown 1001 "$work/his"
  local how state
  for how in no-home link theirs; do
    rm -rf "$work/shared/kartoteka" "$work/tmp"/* "$work/his"/*
    state=$work/shared
    case $how in
      no-home) state= ;;
      link) ln -s "$work/his" "$work/shared/kartoteka" ;;
      theirs) mkdir -m 777 "$work/shared/kartoteka" &&
        chown 1001 "$work/shared/kartoteka" ;;
    esac
    cp "$work/old.txt" "$fs/locked/cards.txt"
    chown 1000:1000 "$fs/locked/cards.txt" && chmod 644 "$fs/locked/cards.txt"
    HOME=/proc/none XDG_STATE_HOME=$state TMPDIR=$work/tmp \
      save_as 1000:1000 "$work/small.txt" locked/cards.txt
    holds "$fs/locked/cards.txt" "$work/old.txt"
    grep -q '^locked/cards.txt: ' "$work/err" || fail "$how: no report"
    [ -z "$(find "$work/tmp" "$work/his" "$work/shared/kartoteka" -mindepth 1 2>/dev/null)" ] ||
      fail "$how: a copy went to a folder others may read"
  done
}

# A save killed in its overwrite leaves the file part written and its old
# records in the copy beside it: the next load and the next save of the
# file name the copy, and leave it to the user.
killed_copy_named() {
  make_fs ext3
  cp "$work/old.txt" "$fs/cards.txt" && ln "$fs/cards.txt" "$fs/other.txt"
  STOP_AT="write 2" save_as root "$work/new.txt" cards.txt
  kill -KILL "$child"
  wait "$pid" 2>/dev/null
  local copy
  copy=$(find "$fs" -name 'cards.txt.kartoteka-backup-*')
  [ -n "$copy" ] && holds "$copy" "$work/old.txt"
  local named="cards.txt: осталась копия записей от прерванного сохранения: $copy"
  (cd "$fs" && printf '5\ncards.txt\n0\n' | timeout 60 "$prog" >/dev/null 2>"$work/err")
  grep -qxF "$named" "$work/err" || fail "the load did not name the copy: $(cat "$work/err")"
  save_as root "$work/small.txt" cards.txt
  holds "$fs/cards.txt" "$work/small.txt"
  grep -qxF "$named" "$work/err" || fail "the save did not name the copy: $(cat "$work/err")"
  [ -e "$copy" ] || fail "the copy was removed"
}

# A file that is not there yet, its folder swapped for a link to another
# folder after the save has looked: that folder's file of the same name is
# not replaced, and the save says the file changed.
new_file_swapped() {
  make_fs ext3
  mkdir "$fs/mine" "$fs/other"
  echo victim >"$fs/other/cards.txt"
  STOP_AT="lstat 2" save_as root "$work/small.txt" mine/cards.txt
  mv "$fs/mine" "$fs/mine.away" && ln -s other "$fs/mine"
  kill -CONT "$child"
  wait "$pid"
  [ "$(cat "$fs/other/cards.txt")" = victim ] || fail "another folder's file was replaced"
  grep -q '^mine/cards.txt: ' "$work/err" || fail "no report"
}

# An append-only folder (chattr +a) takes new files but lets none be
# renamed or removed: the save writes the file in place, and names both
# files it made there and could not remove.
append_only() {
  make_fs ext3
  mkdir "$fs/log"
  cp "$work/old.txt" "$fs/log/cards.txt"
  chattr +a "$fs/log" || fail "chattr +a"
  save_as root "$work/small.txt" log/cards.txt
  chattr -a "$fs/log"
  holds "$fs/log/cards.txt" "$work/small.txt"
  [ "$(grep -c '^log/cards.txt: остался файл .*, удалить его не удалось: ' "$work/err")" -eq 2 ] ||
    fail "report: $(cat "$work/err")"
  for left in $(sed -n 's/^.*остался файл \(.*\), удалить .*$/\1/p' "$work/err"); do
    [ -e "$left" ] || fail "reported, but not there: $left"
  done
}

# overlayfs copies a hard-linked file of its lower layer up as the save
# opens it, which parts it from its other name: the save says so, changes
# nothing, and the next one saves the copy.
overlay_copy_up() {
  umount -q "$work/fuse" "$fs" 2>/dev/null
  rm -rf "$work/lower" "$work/upper" "$work/ovwork" "$fs"
  mkdir "$work/lower" "$work/upper" "$work/ovwork" "$fs"
  cp "$work/old.txt" "$work/lower/cards.txt"
  ln "$work/lower/cards.txt" "$work/lower/other.txt"
  mount -t overlay overlay -o "lowerdir=$work/lower,upperdir=$work/upper,workdir=$work/ovwork" \
    "$fs" || fail "mount overlay"
  save_as root "$work/small.txt" cards.txt
  grep -q '^cards.txt: overlayfs скопировал файл в верхний слой' "$work/err" ||
    fail "report: $(cat "$work/err")"
  holds "$fs/cards.txt" "$work/old.txt"
  save_as root "$work/small.txt" cards.txt
  no_report && holds "$fs/cards.txt" "$work/small.txt"
  umount "$fs"
}

# The name swapped for a link to another file after the save has looked
# at it: nothing is written through the link.
swapped_for_link() {
  make_fs ext3
  echo old >"$fs/cards.txt" && ln "$fs/cards.txt" "$fs/other.txt"
  echo victim >"$fs/victim.txt"
  STOP_AT="lstat 2" save_as root "$work/small.txt" cards.txt
  rm "$fs/cards.txt" && ln -s victim.txt "$fs/cards.txt"
  kill -CONT "$child"
  wait "$pid"
  [ "$(cat "$fs/victim.txt")" = victim ] || fail "written through the link"
  grep -q '^cards.txt: ' "$work/err" || fail "no report"
}

# FUSE has no unnamed files: a save killed there leaves its named new
# file, which the next save of that file removes (a file of another
# file's save stays).
left_here() { find "$fs" -name '.kartoteka-*' ! -name '.kartoteka-other.txt-*'; }
fuse_leftover() {
  make_fs fuse
  cp "$work/old.txt" "$fs/cards.txt"
  touch "$fs/.kartoteka-other.txt-00000000-abcdef"
  STOP_AT="fsync 1" save_as root "$work/new.txt" cards.txt
  kill -9 "$child"
  kill -CONT "$child"
  wait "$pid" 2>/dev/null
  [ -n "$(left_here)" ] || fail "a killed save left nothing: the case shows nothing"
  save_as root "$work/small.txt" cards.txt
  no_report && holds "$fs/cards.txt" "$work/small.txt"
  [ -z "$(left_here)" ] || fail "left: $(left_here)"
  [ -e "$fs/.kartoteka-other.txt-00000000-abcdef" ] ||
    fail "another file's leftover was removed"
}

# On FUSE a private file's named new file is private from its creation:
# nobody else can open it while the records are written.
fuse_private() {
  make_fs fuse
  cp "$work/old.txt" "$fs/cards.txt" && chmod 600 "$fs/cards.txt"
  # Stopped before the new file takes the old one's permissions.
  STOP_AT="fchmod 1" save_as root "$work/new.txt" cards.txt
  local modes
  modes=$(find "$fs" -name '.kartoteka-*' -printf '%m\n')
  kill -CONT "$child"
  wait "$pid"
  [ -n "$modes" ] || fail "no named new file while saving: the case shows nothing"
  [ "$modes" = 600 ] || fail "the new file's permissions: $modes"
  holds "$fs/cards.txt" "$work/new.txt"
}

# On FUSE the backup copy of an in-place save is named from the start too;
# SIGINT half way through the overwrite still waits for its end.
fuse_in_place_signal() {
  make_fs fuse
  cp "$work/old.txt" "$fs/cards.txt" && ln "$fs/cards.txt" "$fs/other.txt"
  STOP_AT="write 2" save_as root "$work/new.txt" cards.txt
  kill -INT "$child"
  kill -CONT "$child"
  wait "$pid"
  # Read beneath the mount: FUSE may show the other name's old pages a
  # moment longer.
  holds "$work/real/cards.txt" "$work/new.txt" &&
    holds "$work/real/other.txt" "$work/new.txt"
  [ -z "$(left_here)" ] && no_backup || fail "left: $(left_here)"
}

for case in cow_fits cow_too_big write_only_full no_fallocate team_group \
  owner_group team_backup acl_user default_acl backup_lasting backup_private \
  killed_copy_named new_file_swapped append_only \
  overlay_copy_up swapped_for_link fuse_leftover fuse_private \
  fuse_in_place_signal; do
  STOP_AT= "$case"
done
echo "saves on btrfs, ext3, FUSE and in shared folders: as expected"
