#!/usr/bin/env bash
# Writes the expected stdout (and, with --stderr, the exact stderr) of one
# transcript case from what the built program does now. For adding a case:
# write its stdin (and files/, setup.sh, ...), record it, then read the
# recorded output line by line before committing it.
#   record_case.sh [--stderr] PROGRAM CASE_DIR
set -eu
keep_err=0
[ "$1" = --stderr ] && { keep_err=1; shift; }
prog=$(realpath "$1")
case_dir=$(realpath "$2")
scratch=$(mktemp -d)
err=$(mktemp)
trap 'chmod -R u+w "$scratch"; rm -rf "$scratch" "$err"' EXIT
[ -d "$case_dir/files" ] && cp -a "$case_dir/files/." "$scratch/"
[ -f "$case_dir/setup.sh" ] && (cd "$scratch" && bash "$case_dir/setup.sh")
limit=unlimited
[ -f "$case_dir/fsize" ] && limit=$(cat "$case_dir/fsize")
as_user=()
if [ -f "$case_dir/unprivileged" ] && [ "$(id -u)" -eq 0 ]; then
  chmod 755 "$scratch"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
(cd "$scratch" && ulimit -f "$limit" &&
  "${as_user[@]}" "$prog" <"$case_dir/stdin" >"$case_dir/stdout" \
    2>"$err") || true
[ "$keep_err" = 1 ] && cp "$err" "$case_dir/stderr"
cat "$err" >&2
