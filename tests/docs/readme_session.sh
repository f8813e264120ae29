#!/usr/bin/env bash
# Replays the sample sessions of the README against the program and checks
# that it prints exactly what they show. A session is a ```session block;
# an answer typed by the user is the [bracketed] end of a line, and the
# lines starting "Ошибка ввода: " are reports on standard error. Sessions
# run one after another in one scratch folder, so a later one can load the
# file an earlier one saved. Blanks at line ends are not compared, nor is
# the CR of the Windows program's CR LF line ends.
#   readme_session.sh PROG README
set -u
prog=$(realpath "$1") readme=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: README session $n: $*" >&2; exit 1; }
typed='^(.*)\[([^]]*)\]$'

run_session() {
  (cd "$scratch" && timeout 20 "$prog" <.in >.out 2>.err) || fail "exit status $?"
  local what
  for what in out err; do
    diff <(sed 's/ *$//' "$scratch/.want-$what") \
         <(sed 's/\r$//; s/ *$//' "$scratch/.$what") >&2 || fail "std$what differs"
  done
}

n=0
inside=false
while IFS= read -r line; do
  if ! $inside; then
    [ "$line" = '```session' ] || continue
    inside=true
    n=$((n + 1))
    : >"$scratch/.in"; : >"$scratch/.want-out"; : >"$scratch/.want-err"
  elif [ "$line" = '```' ]; then
    inside=false
    run_session
  elif [[ $line =~ $typed ]]; then
    printf '%s' "${BASH_REMATCH[1]}" >>"$scratch/.want-out"
    printf '%s\n' "${BASH_REMATCH[2]}" >>"$scratch/.in"
  elif [[ $line == 'Ошибка ввода: '* ]]; then
    printf '%s\n' "$line" >>"$scratch/.want-err"
  else
    printf '%s\n' "$line" >>"$scratch/.want-out"
  fi
done <"$readme"
[ "$n" -gt 0 ] || { echo "FAIL: the README has no session" >&2; exit 1; }
