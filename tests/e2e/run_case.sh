#!/usr/bin/env bash
# Runs the program once for one transcript case and compares what it did
# with what the case expects. A case is a folder holding:
#   stdin       the bytes typed (required)
#   stdout      the exact bytes the program must print, or
#   combined    the exact bytes of its output and reports together, as a
#               log gets them with 2>&1 (one of the two is required)
#   stderr      the exact bytes of its reports, or
#   stderr.re   extended regular expressions, one per line, each of which
#               must match some line of the reports (for system messages,
#               which depend on the locale)
#   files/      copied into the scratch folder the program runs in
#   setup.sh    run in the scratch folder before the program; exit status
#               77 skips the case (a tool or file system feature missing),
#               with the reason it prints ("needs ...")
#   after/      files that must be in the scratch folder afterwards, byte
#               for byte
#   check.sh    run in the scratch folder afterwards; must succeed
#   fsize       a file-size limit in KiB for the program's writes
#   unprivileged  present when the program must run as the user nobody, so
#               that file permissions bind it; such a case needs root to
#               run and is skipped (exit 77) without it
#   needs_root  present when the case means nothing unless the tests run
#               as root (its text says what for); skipped otherwise
#   posix-only  present, holding the reason, when the case's setup needs a
#               POSIX system (symbolic links, permission bits, /dev files)
#   stderr.windows.re  used instead of stderr.re for the Windows program,
#               whose system messages say other things
# Standard output is a pipe, as when the program's output is piped on. The
# program runs with the signals' usual actions (a file-size limit's SIGXFSZ
# included). It must exit with status 0 within the time limit, and must
# leave no temporary file behind. Differences are shown line by line with
# the line ends marked by $, tabs by ^I and carriage returns by ^M.
# With KARTOTEKA_TARGET=windows, PROG is the Windows program run under wine:
# the cases that need another user, a file-size limit or a POSIX system are
# skipped (exit 77), every line end it writes on standard output and error
# must be CR LF, and its output and the files in after/ are compared with
# CR LF read as LF.
set -u
prog=$1
case_dir=$2
windows=false
[ "${KARTOTEKA_TARGET:-}" = windows ] && windows=true
skip() { echo "SKIP: $(basename "$case_dir"): $*"; exit 77; }
if $windows; then
  [ -f "$case_dir/unprivileged" ] && skip "needs another user (nobody), which the Windows tests have not"
  [ -f "$case_dir/fsize" ] && skip "needs a file-size limit (ulimit -f), which Windows has not"
  [ -f "$case_dir/posix-only" ] && skip "needs a POSIX system, for $(cat "$case_dir/posix-only")"
fi
if [ "$(id -u)" -ne 0 ]; then
  [ -f "$case_dir/unprivileged" ] &&
    skip "needs root, to run the program as the user nobody"
  [ -f "$case_dir/needs_root" ] && skip "needs root: $(cat "$case_dir/needs_root")"
fi
work=$(mktemp -d)
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
scratch=$work/dir
out=$work/out
err=$work/err
mkdir "$scratch"
fail() { echo "FAIL: $(basename "$case_dir"): $*" >&2; exit 1; }

# Checks that every line end in the file $1 is CR LF, then reads them as LF
# in place.
crlf_to_lf() {
  local lf crlf
  lf=$(tr -cd '\n' <"$1" | wc -c)
  crlf=$(grep -c $'\r$' "$1")
  [ "$lf" -eq "$crlf" ] || fail "$(basename "$1"): $((lf - crlf)) line ends are not CR LF"
  sed -i 's/\r$//' "$1"
}

[ -d "$case_dir/files" ] && cp -a "$case_dir/files/." "$scratch/"
if [ -f "$case_dir/setup.sh" ]; then
  (cd "$scratch" && bash "$case_dir/setup.sh") >"$work/setup.out"
  rc=$?
  [ "$rc" -eq 77 ] && skip "$(cat "$work/setup.out")"
  cat "$work/setup.out"
  [ "$rc" -eq 0 ] || fail "setup failed"
fi
limit=unlimited
[ -f "$case_dir/fsize" ] && limit=$(cat "$case_dir/fsize")
as_user=()
if [ -f "$case_dir/unprivileged" ]; then
  chmod 755 "$work"
  # nobody's own folder for backup copies: the one under HOME is root's.
  mkdir "$work/state" && chown nobody "$work/state"
  as_user=(env XDG_STATE_HOME="$work/state"
    setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
expected=$case_dir/stdout
[ -f "$case_dir/combined" ] && expected=$case_dir/combined
(
  cd "$scratch" || exit 99
  # The file-size limit binds the program's own writes only.
  program() {
    (ulimit -f "$limit" &&
      exec "${as_user[@]}" timeout 20 "$prog" <"$case_dir/stdin")
  }
  if [ -f "$case_dir/combined" ]; then
    program 2>&1 | cat >"$out"
  else
    program 2>"$err" | cat >"$out"
  fi
  exit "${PIPESTATUS[0]}"
)
rc=$?
[ "$rc" -eq 0 ] || fail "exit status $rc"
if $windows; then
  crlf_to_lf "$out"
  [ -f "$err" ] && crlf_to_lf "$err"
fi
# Shows a file's lines with their ends marked, keeping UTF-8 readable.
marked() { sed -e 's/\t/^I/g' -e 's/\r/^M/g' -e 's/$/$/' "$1"; }
if ! cmp -s "$out" "$expected"; then
  diff <(marked "$expected") <(marked "$out") | head -40 >&2
  fail "$(basename "$expected") differs"
fi
if [ -f "$case_dir/stderr" ] && ! cmp -s "$err" "$case_dir/stderr"; then
  diff <(marked "$case_dir/stderr") <(marked "$err") | head -20 >&2
  fail "standard error differs"
fi
patterns=$case_dir/stderr.re
$windows && [ -f "$case_dir/stderr.windows.re" ] &&
  patterns=$case_dir/stderr.windows.re
if [ -f "$patterns" ]; then
  while IFS= read -r re; do
    grep -qE -- "$re" "$err" || { cat "$err" >&2; fail "no report matches: $re"; }
  done <"$patterns"
fi
if [ -d "$case_dir/after" ]; then
  for f in "$case_dir/after"/*; do
    got=$scratch/$(basename "$f")
    if $windows && [ -f "$got" ]; then
      sed 's/\r$//' "$got" >"$work/after"
      got=$work/after
    fi
    cmp -s "$f" "$got" || fail "file $(basename "$f") differs"
  done
fi
if [ -f "$case_dir/check.sh" ]; then
  (cd "$scratch" && bash "$case_dir/check.sh") || fail "check.sh failed"
fi
stray=$(find "$scratch" -name '.kartoteka-*')
[ -z "$stray" ] || fail "temporary file left: $stray"
exit 0
