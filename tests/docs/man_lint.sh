#!/usr/bin/env bash
# Checks that the manual page formats without a single warning: with groff
# as man(1) runs it, with mandoc's linter and man(1) itself where they are
# installed, and that whatis(1) can read its name line.
#   man_lint.sh PAGE
set -u
page=$1
command -v groff >/dev/null || { echo "SKIP: needs groff (package groff-base)"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

out=$(groff -k -ww -z -man -Tutf8 "$page" 2>&1) || fail "groff failed: $out"
[ -z "$out" ] || fail "groff warns: $out"
if command -v mandoc >/dev/null; then
  out=$(mandoc -T lint -W warning "$page" 2>&1) || fail "mandoc: $out"
fi
if command -v man >/dev/null; then
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 MANPAGER=cat man --warnings=w -l "$page" \
        2>&1 >/dev/null) ||
    fail "man -l failed: $out"
  [ -z "$out" ] || fail "man -l warns: $out"
fi
if command -v lexgrog >/dev/null; then
  lexgrog "$page" | grep -q ' - ' || fail "whatis cannot read the name line"
fi
exit 0
