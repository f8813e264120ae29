#!/usr/bin/env bash
# Runs the build step of `make run` into a scratch build folder: it must
# print nothing when the code compiles without warnings, so that the menu
# is the first thing on the screen. Skipped where the packages it needs are
# missing (the dependency installer would stop it).
#   quiet_build.sh SOURCE_DIR
set -u
src=$1
"$src/tools/install-deps.sh" build >/dev/null 2>&1 ||
  { echo "SKIP: needs the build packages (cmake, make, g++)"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
make -C "$src" --no-print-directory build BUILD="$scratch/build" JOBS=2 \
  >"$scratch/log" 2>&1
rc=$?
[ "$rc" -eq 0 ] || { cat "$scratch/log"; echo "FAIL: the build failed" >&2; exit 1; }
[ -x "$scratch/build/kartoteka" ] || { echo "FAIL: no program built" >&2; exit 1; }
if [ -s "$scratch/log" ]; then
  echo "FAIL: the build printed:" >&2
  head -20 "$scratch/log" >&2
  exit 1
fi
