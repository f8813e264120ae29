#!/usr/bin/env bash
# Records the expected stdout (or, for a case that has a combined file, the
# combined output and reports; with --stderr, also the exact stderr) of one
# transcript case from what the built program does now. For adding a case:
# write its stdin (and files/, setup.sh, ...; an empty combined file for a
# case that compares the two streams together), record it, then read the
# recorded output, which is shown, line by line before committing it.
# Recording what the program does blesses whatever it does, a mistyped
# stdin's output too; so a case that has its transcript already keeps it:
# the difference between the old transcript and the new one is shown, and
# the new one replaces it only with --replace.
#   record_case.sh [--stderr] [--replace] PROGRAM CASE_DIR
set -eu
keep_err=0
replace=0
while [ "${1:-}" = --stderr ] || [ "${1:-}" = --replace ]; do
  [ "$1" = --stderr ] && keep_err=1
  [ "$1" = --replace ] && replace=1
  shift
done
prog=$(realpath "$1")
case_dir=$(realpath "$2")
scratch=$(mktemp -d)
err=$(mktemp)
out=$(mktemp)
trap 'chmod -R u+w "$scratch"; rm -rf "$scratch" "$err" "$out"' EXIT
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
    program 2>&1 | cat >"$out"
  else
    program 2>"$err" | cat >"$out"
  fi
) || true

# Puts the recording $1 into the case's file $2: a new one, or one that
# differs only with --replace. Returns 1 when a difference was kept back.
keep() {
  local new=$1 file=$case_dir/$2
  if [ ! -f "$file" ] || { [ ! -s "$file" ] && [ "$2" = combined ]; }; then
    cp "$new" "$file"
    echo "== $2 (new: read it line by line before committing it)"
    cat "$file"
    return 0
  fi
  if cmp -s "$new" "$file"; then
    echo "== $2: unchanged"
    return 0
  fi
  echo "== $2: the program now does otherwise (- the transcript, + now):"
  diff -u --label "$2 (transcript)" --label "$2 (now)" "$file" "$new" || true
  if [ "$replace" = 1 ]; then
    cp "$new" "$file"
    echo "== $2: replaced"
    return 0
  fi
  echo "== $2: kept; run again with --replace to take the new one"
  return 1
}

status=0
if [ -f "$case_dir/combined" ]; then
  keep "$out" combined || status=1
else
  keep "$out" stdout || status=1
  if [ "$keep_err" = 1 ]; then
    keep "$err" stderr || status=1
  else
    cat "$err" >&2
  fi
fi
exit "$status"
