#!/usr/bin/env bash
# `sudo make install` and `sudo make deb` after a user built the program:
# the build folder stays the user's, so that their next build and package
# work. The user is nobody, building into a scratch folder (root only).
#   root_install.sh SOURCE_DIR
set -u
source=$1
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root, to build as another user"; exit 77; }
command -v dpkg-shlibdeps >/dev/null ||
  { echo "SKIP: needs dpkg-shlibdeps (package dpkg-dev)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
chmod 755 "$work"
mkdir "$work/build" "$work/root"
chown nobody:nogroup "$work/build"
as_user() {
  setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env HOME="$work" "$@"
}
cd "$source" || exit 1
as_user make -s build BUILD="$work/build" >"$work/log" 2>&1 ||
  { cat "$work/log" >&2; fail "the user's build failed"; }
make -s install BUILD="$work/build" DESTDIR="$work/root" PREFIX=/usr \
  >"$work/log" 2>&1 || { cat "$work/log" >&2; fail "make install failed"; }
[ -x "$work/root/usr/bin/kartoteka" ] || fail "nothing installed"
make -s deb BUILD="$work/build" >"$work/log" 2>&1 ||
  { cat "$work/log" >&2; fail "make deb as root failed"; }
others=$(find "$work/build" ! -user nobody | head -5)
[ -z "$others" ] || fail "files in the build folder not the user's: $others"
as_user make -s deb BUILD="$work/build" >"$work/log" 2>&1 ||
  { cat "$work/log" >&2; fail "the user's make deb failed afterwards"; }
echo "make install and make deb as root: the build folder stays the user's"
