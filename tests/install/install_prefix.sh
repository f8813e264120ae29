#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks that the program, its
# manual page and its licence and changelog land in bin/, share/man/man1/
# and share/doc/kartoteka/, and nothing else.
#   install_prefix.sh CMAKE BUILD_DIR PAGE
set -u
cmake=$1 build=$2 page=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >/dev/null || fail "install failed"
[ -x "$prefix/bin/kartoteka" ] || fail "no executable bin/kartoteka"
cmp -s "$prefix/share/man/man1/kartoteka.1" "$page" ||
  fail "share/man/man1/kartoteka.1 is missing or not the page"
files=$(cd "$prefix" && find . -type f | sort | tr '\n' ' ')
[ "$files" = "./bin/kartoteka ./share/doc/kartoteka/changelog ./share/doc/kartoteka/copyright ./share/man/man1/kartoteka.1 " ] ||
  fail "unexpected files installed: $files"
# The installed program runs on its own.
printf '0\n' | "$prefix/bin/kartoteka" | grep -q '^Меню:' || fail "it does not run"
