#!/bin/busybox sh
# The first program of the power-cut guest (tests/powercut/powercut.py has
# the host's side). It loads the drivers, says READY and waits: the host
# saves the machine's state there once, and every cut starts again from
# it, with another disk. Then it reads one line from the console:
#   FS OPTIONS ROUTE CUT
# mounts the disk (so that the file system replays its log as after any
# power cut), prints what is there, sets the route's files up on a new
# disk, and saves cards.txt over and over as the user u, alternating the
# records of /sets/A.txt and /sets/B.txt, until the host cuts the power.
# CUT is "-", or "NAME N": the first save stops before its Nth call of
# NAME, as stop_at.so counts them, and the guest says STOPPED there.
# What the host reads, one line each:
#   FILE MD5 PATH     every file on the disk, after the mount
#   CHECKED
#   RESTORED PATH     a damaged file given the records of the copy PATH
#   SAVE X            before each save of set X
#   ...               the program's own output ("Выполнено!" twice: the
#                     load of X, then its save)
#   ERR TEXT          each line the program wrote to its error stream
#   EXIT X STATUS     after it
#   STOPPED           the program waits at the chosen call
#   REMOVED           the copies are gone, after the first save
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
for m in $(cat /modules/order); do insmod "/modules/$m" 2>/dev/null; done
printf "\nREADY\n" # after the firmware's last words
read -r fs options route cut

blockdev --flushbufs /dev/vda
if ! mount -t "$fs" -o "$options" /dev/vda /mnt 2>/tmp/mount; then
  echo "NOMOUNT $(cat /tmp/mount)"
  exec poweroff -f
fi

data=/mnt/data
home=/mnt/home/u
if [ ! -d "$data" ]; then
  mkdir -p "$home" "$data"
  chown -R 1000:1000 /mnt/home
  chmod 700 "$home"
  cp /sets/A.txt "$data/cards.txt"
  chown 1000:1000 "$data/cards.txt"
  case "$route" in
    rename) chown 1000:1000 "$data"; chmod 600 "$data/cards.txt" ;;
    folder) chmod 755 "$data"; chmod 644 "$data/cards.txt" ;;
    link) chown 1000:1000 "$data"; ln "$data/cards.txt" "$data/link.txt" ;;
    writeonly) chmod 755 "$data"; chmod 200 "$data/cards.txt" ;;
  esac
  sync
fi
find /mnt/data /mnt/home -type f | sort | while read -r f; do
  echo "FILE $(md5sum <"$f" | cut -c1-32) $f"
done
echo CHECKED
# A file that a cut left damaged gets its records back from the newest
# copy that holds them, as the report of such a copy asks.
a=$(md5sum </sets/A.txt)
b=$(md5sum </sets/B.txt)
now=$(md5sum <"$data/cards.txt")
if [ "$now" != "$a" ] && [ "$now" != "$b" ]; then
  for copy in $(ls -t "$data"/*.kartoteka-backup-* \
    "$home"/.local/state/kartoteka/* 2>/dev/null); do
    now=$(md5sum <"$copy")
    if [ "$now" = "$a" ] || [ "$now" = "$b" ]; then
      cat "$copy" >"$data/cards.txt"
      echo "RESTORED $copy"
      break
    fi
  done
fi

# Saves set $1 as the user u, stopped at the call $2 unless it is "-".
save() {
  echo "SAVE $1"
  preload=
  [ "$2" = - ] || preload=/lib/stop_at.so
  su -s /bin/sh u -c "exec env LD_PRELOAD=$preload STOP_AT='$2' \
    /bin/kartoteka" <"/sets/$1.in" >/dev/console 2>/tmp/err &
  pid=$!
  # The program runs under su's shell: it is the one that stops.
  while [ "$2" != - ] && [ -e "/proc/$pid" ]; do
    if cat /proc/[0-9]*/stat 2>/dev/null | grep -q ') T '; then
      printf '\nSTOPPED\n' # after the program's last prompt
      while :; do sleep 1000; done
    fi
    usleep 1000
  done
  wait "$pid"
  status=$?
  echo
  sed 's/^/ERR /' /tmp/err
  echo "EXIT $1 $status"
}

next=A
[ "$(md5sum <"$data/cards.txt")" = "$(md5sum </sets/A.txt)" ] && next=B
save "$next" "$cut"
# What a cut save left beside the file has been named by now; the user
# removes it, as the report asks.
rm -f "$data"/*.kartoteka-backup-* "$home"/.local/state/kartoteka/*
echo REMOVED
while :; do
  if [ "$next" = A ]; then next=B; else next=A; fi
  save "$next" -
done
