#!/usr/bin/env bash
# The end-to-end suite again with the program of a build run under
# valgrind's memcheck: every transcript case, the prompt check on pipes and
# the bad-input matrix. A memory error, or a block still allocated at exit
# that nothing points to, makes that run exit with status 99 and fail.
#   under_valgrind.sh BUILD
set -u
build=$(realpath "$1")
tests=$(realpath "$(dirname "$0")/..")
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
wrapper=$build/valgrind/kartoteka
mkdir -p "$(dirname "$wrapper")"
cat >"$wrapper" <<EOF
#!/bin/sh
exec valgrind -q --vgdb=no --error-exitcode=99 --leak-check=full \\
  --show-leak-kinds=definite,indirect,possible \\
  --errors-for-leak-kinds=definite,indirect,possible "$build/kartoteka" "\$@"
EOF
chmod +x "$wrapper"
passed=0 failed=0 skipped=0
tally() {
  "$@"
  case $? in
    0) passed=$((passed + 1)) ;;
    77) skipped=$((skipped + 1)) ;;  # a case that needs root, say
    *) failed=$((failed + 1)) ;;
  esac
}
for case_dir in "$tests"/e2e/cases/*/; do
  [ -f "$case_dir/stdin" ] && tally "$tests/e2e/run_case.sh" "$wrapper" "${case_dir%/}"
done
tally "$tests/e2e/prompt_flushed.sh" "$wrapper"
tally "$tests/hostile/bad_input_matrix.sh" "$wrapper"
echo "valgrind: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
