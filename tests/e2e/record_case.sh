#!/usr/bin/env bash
# Writes the expected stdout (or, for a case that has a combined file, the
# combined output and reports; with --stderr, also the exact stderr) of one
# transcript case from what the built program does now. For adding a case:
# write its stdin (and files/, setup.sh, ...; an empty combined file for a
# case that compares the two streams together), record it, then read the
# recorded output line by line before committing it.
#   record_case.sh [--stderr] PROGRAM CASE_DIR
set -eu
keep_err=0
[ "$1" = --stderr ] && { keep_err=1; shift; }
prog=$(realpath "$1")
case_dir=$(realpath "$2")
scratch=$(mktemp -d)
trap 'chmod -R u+w "$scratch"; rm -rf "$scratch"' EXIT
[ -d "$case_dir/files" ] && cp -a "$case_dir/files/." "$scratch/"
[ -f "$case_dir/setup.sh" ] && (cd "$scratch" && bash "$case_dir/setup.sh")
limit=unlimited
[ -f "$case_dir/fsize" ] && limit=$(cat "$case_dir/fsize")
(
  cd "$scratch" && trap '' XFSZ && ulimit -f "$limit"
  if [ -f "$case_dir/combined" ]; then
    "$prog" <"$case_dir/stdin" 2>&1 | cat >"$case_dir/combined"
  else
    "$prog" <"$case_dir/stdin" 2>"$scratch/.err" | cat >"$case_dir/stdout"
  fi
) || true
[ "$keep_err" = 1 ] && [ -f "$scratch/.err" ] && cp "$scratch/.err" "$case_dir/stderr"
[ -f "$scratch/.err" ] && cat "$scratch/.err" >&2
exit 0
