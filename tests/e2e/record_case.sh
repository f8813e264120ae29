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
program() {
  (ulimit -f "$limit" && exec "${as_user[@]}" "$prog" <"$case_dir/stdin")
}
(
  cd "$scratch"
  if [ -f "$case_dir/combined" ]; then
    program 2>&1 | cat >"$case_dir/combined"
  else
    program 2>"$err" | cat >"$case_dir/stdout"
  fi
) || true
[ "$keep_err" = 1 ] && [ ! -f "$case_dir/combined" ] && cp "$err" "$case_dir/stderr"
cat "$err" >&2
exit 0
