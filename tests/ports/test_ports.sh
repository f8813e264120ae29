#!/usr/bin/env bash
# The program on other systems than the one it is developed on, each built
# from the same sources with warnings as errors:
#   release  the Linux release tarball (make release-linux): its program
#            must be statically linked; the end-to-end suite runs on it
#   musl32   32-bit x86, static with musl (zig): unit tests and the suite
#   s390x    IBM Z, big-endian, static with glibc (Debian's cross compiler),
#            run under qemu-s390x-static: unit tests and the suite
#   macos    x86-64 and arm64 macOS (zig): compiled and linked only
#   test_ports.sh SOURCE_DIR PORTS_BUILD RELEASE_TARBALL
set -u
source=$(realpath "$1")
ports=$(realpath -m "$2")
tarball=$(realpath "$3")
fail() { echo "FAIL: $*" >&2; exit 1; }
mkdir -p "$ports"
jobs=$(nproc)

# Runs every transcript case with the program $2 (a command), as port $1.
suite() {
  local port=$1 prog=$2 passed=0 skipped=0 failed=""
  for case_dir in "$source"/tests/e2e/cases/*/; do
    "$source/tests/e2e/run_case.sh" "$prog" "${case_dir%/}" >"$ports/$port.case" 2>&1
    case $? in
      0) passed=$((passed + 1)) ;;
      77) skipped=$((skipped + 1)) ;;
      *) failed="$failed $(basename "$case_dir")"; cat "$ports/$port.case" >&2 ;;
    esac
  done
  echo "$port: end-to-end suite: $passed passed, $skipped skipped"
  [ -z "$failed" ] || fail "$port: cases failed:$failed"
}

# Configures and builds port $1 in $ports/$1 with the CMake options that
# follow; the targets to build are in $targets.
build() {
  local port=$1
  shift
  cmake -S "$source" -B "$ports/$port" -DCMAKE_BUILD_TYPE=Release \
    -DKARTOTEKA_WERROR=ON "$@" >"$ports/$port.log" 2>&1 &&
    cmake --build "$ports/$port" -j "$jobs" --target $targets \
      >>"$ports/$port.log" 2>&1 ||
    { tail -30 "$ports/$port.log" >&2; fail "$port: the build failed"; }
}

# The release.
rm -rf "$ports/release"
mkdir -p "$ports/release"
tar -xzf "$tarball" -C "$ports/release" || fail "release: cannot unpack $tarball"
program=$(ls "$ports"/release/*/kartoteka) || fail "release: no program in $tarball"
file "$program" | grep -q 'statically linked' ||
  fail "release: not statically linked: $(file "$program")"
suite release "$program"

zig=(-DCMAKE_TOOLCHAIN_FILE="$source/cmake/zig.cmake")
targets="kartoteka unit_tests"
build musl32 "${zig[@]}" -DZIG_TARGET=x86-linux-musl -DKARTOTEKA_TESTS=ON
file "$ports/musl32/kartoteka" | grep -q 'ELF 32-bit.*80386' ||
  fail "musl32: not a 32-bit x86 program"
"$ports/musl32/tests/unit/unit_tests" >"$ports/musl32.unit" 2>&1 ||
  { cat "$ports/musl32.unit" >&2; fail "musl32: unit tests failed"; }
suite musl32 "$ports/musl32/kartoteka"

build s390x -DCMAKE_TOOLCHAIN_FILE="$source/cmake/s390x-linux-gnu.cmake" \
  -DKARTOTEKA_TESTS=ON
file "$ports/s390x/kartoteka" | grep -q 'MSB.*S/390' ||
  fail "s390x: not a big-endian S/390 program"
qemu-s390x-static "$ports/s390x/tests/unit/unit_tests" >"$ports/s390x.unit" 2>&1 ||
  { cat "$ports/s390x.unit" >&2; fail "s390x: unit tests failed"; }
printf '#!/bin/sh\nexec qemu-s390x-static "%s" "$@"\n' \
  "$ports/s390x/kartoteka" >"$ports/s390x/run"
chmod +x "$ports/s390x/run"
suite s390x "$ports/s390x/run"

targets=kartoteka
for arch in x86_64 aarch64; do
  build "macos-$arch" "${zig[@]}" -DZIG_TARGET="$arch-macos" -DKARTOTEKA_TESTS=OFF
  file "$ports/macos-$arch/kartoteka" | grep -q 'Mach-O 64-bit' ||
    fail "macos-$arch: not a Mach-O program"
  echo "macos-$arch: compiled and linked"
done
echo "all ports: as expected"
