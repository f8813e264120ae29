#!/usr/bin/env bash
# Builds the Debian package from the build with CPack, in a scratch folder,
# and checks its fields and that it holds the program and the manual page.
#   deb_package.sh CPACK BUILD_DIR PAGE
set -u
cpack=$1 build=$2 page=$3
command -v dpkg-deb >/dev/null || { echo "SKIP: dpkg-deb is not installed"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch" \
  >"$scratch/log" 2>&1 || { cat "$scratch/log" >&2; fail "cpack failed"; }
deb=$(ls "$scratch"/kartoteka_*.deb 2>/dev/null) || fail "no .deb made"
dpkg-deb -c "$deb" >"$scratch/list" || fail "dpkg-deb cannot list it"
cat "$scratch/list"
grep -q ' \./usr/bin/kartoteka$' "$scratch/list" || fail "no /usr/bin/kartoteka"
grep -q ' \./usr/share/man/man1/kartoteka\.1\.gz$' "$scratch/list" ||
  fail "no /usr/share/man/man1/kartoteka.1.gz"
[ "$(dpkg-deb -f "$deb" Package)" = kartoteka ] || fail "wrong package name"
[ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "wrong section"
dpkg-deb -x "$deb" "$scratch/root" || fail "dpkg-deb cannot unpack it"
zcat "$scratch/root/usr/share/man/man1/kartoteka.1.gz" | cmp -s - "$page" ||
  fail "the packed page is not the manual page"
printf '0\n' | "$scratch/root/usr/bin/kartoteka" | grep -q '^Меню:' ||
  fail "the packed program does not run"
