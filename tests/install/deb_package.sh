#!/usr/bin/env bash
# Builds the Debian package from the build with CPack, in a scratch folder,
# and checks its fields and that it holds the program, the manual page, the
# licence as its copyright file and the changelog, and that it declares the
# libraries the program needs; or, with the word lintian last, that
# Debian's own checker, pedantic and informational tags included, has
# nothing to say of it (skipped where lintian is not installed).
#   deb_package.sh CPACK BUILD_DIR PAGE [lintian]
set -u
cpack=$1 build=$2 page=$3 mode=${4:-contents}
command -v dpkg-deb >/dev/null || { echo "SKIP: needs dpkg-deb (package dpkg)"; exit 77; }
command -v dpkg-shlibdeps >/dev/null ||
  { echo "SKIP: needs dpkg-shlibdeps (package dpkg-dev)"; exit 77; }
if [ "$mode" = lintian ] && ! command -v lintian >/dev/null; then
  echo "SKIP: needs lintian (package lintian)"
  exit 77
fi
src=$(dirname "$page")/..
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch" \
  >"$scratch/log" 2>&1 || { cat "$scratch/log" >&2; fail "cpack failed"; }
deb=$(ls "$scratch"/kartoteka_*.deb 2>/dev/null) || fail "no .deb made"

if [ "$mode" = lintian ]; then
  # Debian's checker at its most thorough (pedantic and informational tags
  # too) must find nothing to say.
  said=$(lintian --pedantic --info "$deb" 2>/dev/null) || fail "lintian failed"
  [ -z "$said" ] || { echo "$said" >&2; fail "lintian has something to say"; }
  exit 0
fi

dpkg-deb -c "$deb" >"$scratch/list" || fail "dpkg-deb cannot list it"
cat "$scratch/list"
for f in usr/bin/kartoteka usr/share/man/man1/kartoteka.1.gz \
  usr/share/doc/kartoteka/copyright usr/share/doc/kartoteka/changelog.gz; do
  grep -q " \./$f\$" "$scratch/list" || fail "no /$f"
done
[ "$(dpkg-deb -f "$deb" Package)" = kartoteka ] || fail "wrong package name"
[ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "wrong section"
# The C++ program needs the C and C++ libraries and GCC's runtime.
depends=$(dpkg-deb -f "$deb" Depends)
names=$(tr ',' '\n' <<<"$depends" | awk '{ print $1 }')
for lib in libc6 libstdc++6 libgcc-s1; do
  grep -qxF "$lib" <<<"$names" || fail "Depends lacks $lib: $depends"
done
dpkg-deb -x "$deb" "$scratch/root" || fail "dpkg-deb cannot unpack it"
zcat "$scratch/root/usr/share/man/man1/kartoteka.1.gz" | cmp -s - "$page" ||
  fail "the packed page is not the manual page"
cmp -s "$scratch/root/usr/share/doc/kartoteka/copyright" "$src/LICENSE" ||
  fail "the copyright file is not the licence"
printf '0\n' | "$scratch/root/usr/bin/kartoteka" | grep -q '^Меню:' ||
  fail "the packed program does not run"
