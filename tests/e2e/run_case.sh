#!/usr/bin/env bash
# Runs the program once for one transcript case and compares what it did
# with what the case expects. A case is a folder holding:
#   stdin       the bytes typed (required)
#   stdout      the exact bytes the program must print (required)
#   stderr      the exact bytes of its reports, or
#   stderr.re   extended regular expressions, one per line, each of which
#               must match some line of the reports (for system messages,
#               which depend on the locale)
#   files/      copied into the scratch folder the program runs in
#   setup.sh    run in the scratch folder before the program
#   after/      files that must be in the scratch folder afterwards, byte
#               for byte
#   check.sh    run in the scratch folder afterwards; must succeed
#   fsize       a file-size limit in KiB for the program's writes
#   unprivileged  present when the program must run as the user nobody, so
#               that file permissions bind it (when the tests run as root)
#   needs_root  present when the case means nothing unless the tests run
#               as root (its text says why); the case is skipped otherwise
# The program runs with the signals' usual actions (a file-size limit's
# SIGXFSZ included). It must exit with status 0 within the time limit,
# and must leave no temporary file behind.
set -u
prog=$1
case_dir=$2
work=$(mktemp -d)
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
scratch=$work/dir
out=$work/out
err=$work/err
mkdir "$scratch"
fail() { echo "FAIL: $(basename "$case_dir"): $*" >&2; exit 1; }
if [ -f "$case_dir/needs_root" ] && [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: $(basename "$case_dir"): $(cat "$case_dir/needs_root")"
  exit 77
fi

[ -d "$case_dir/files" ] && cp -a "$case_dir/files/." "$scratch/"
if [ -f "$case_dir/setup.sh" ]; then
  (cd "$scratch" && bash "$case_dir/setup.sh") || fail "setup failed"
fi
limit=unlimited
[ -f "$case_dir/fsize" ] && limit=$(cat "$case_dir/fsize")
as_user=()
if [ -f "$case_dir/unprivileged" ] && [ "$(id -u)" -eq 0 ]; then
  chmod 755 "$work"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
(
  cd "$scratch" || exit 99
  ulimit -f "$limit"
  exec "${as_user[@]}" timeout 20 "$prog" <"$case_dir/stdin" >"$out" 2>"$err"
)
rc=$?
[ "$rc" -eq 0 ] || fail "exit status $rc"
if ! cmp -s "$out" "$case_dir/stdout"; then
  diff <(cat -A "$case_dir/stdout") <(cat -A "$out") | head -40 >&2
  fail "standard output differs"
fi
if [ -f "$case_dir/stderr" ] && ! cmp -s "$err" "$case_dir/stderr"; then
  diff "$case_dir/stderr" "$err" | head -20 >&2
  fail "standard error differs"
fi
if [ -f "$case_dir/stderr.re" ]; then
  while IFS= read -r re; do
    grep -qE -- "$re" "$err" || { cat "$err" >&2; fail "no report matches: $re"; }
  done <"$case_dir/stderr.re"
fi
if [ -d "$case_dir/after" ]; then
  for f in "$case_dir/after"/*; do
    cmp -s "$f" "$scratch/$(basename "$f")" || fail "file $(basename "$f") differs"
  done
fi
if [ -f "$case_dir/check.sh" ]; then
  (cd "$scratch" && bash "$case_dir/check.sh") || fail "check.sh failed"
fi
stray=$(find "$scratch" -name '.kartoteka-*')
[ -z "$stray" ] || fail "temporary file left: $stray"
exit 0
