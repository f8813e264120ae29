#!/usr/bin/env bash
# The program on other systems than the one it is developed on, each built
# from the same sources with warnings as errors:
#   releases the Linux release tarballs (make release-linux), checked
#            against SHA256SUMS: each program must be statically linked
#            for its machine; the end-to-end suite runs on each, under
#            qemu-aarch64-static and qemu-arm-static for ARM, and the unit
#            tests, built for aarch64 (zig, musl) and armv7 (Debian's cross
#            compiler, glibc), run there too
#   musl32   32-bit x86, static with musl (zig): unit tests and the suite
#   s390x    IBM Z, big-endian, static with glibc (Debian's cross compiler),
#            run under qemu-s390x-static: unit tests and the suite
#   macos    x86-64 and arm64 macOS (zig): compiled and linked only
#   test_ports.sh SOURCE_DIR PORTS_BUILD RELEASE_BUILD
set -u
source=$(realpath "$1")
ports=$(realpath -m "$2")
releases=$(realpath "$3")
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

# Runs program $2 of port $1 through qemu's user-mode emulator $3 (none for
# this machine's own): the unit tests of $ports/$1, when $2 is unit_tests,
# or else the end-to-end suite.
emulated() {
  local port=$1 prog=$2 qemu=$3
  if [ "$prog" = unit_tests ]; then
    $qemu "$ports/$port/tests/unit/unit_tests" >"$ports/$port.unit" 2>&1 ||
      { cat "$ports/$port.unit" >&2; fail "$port: unit tests failed"; }
    echo "$port: unit tests passed"
    return
  fi
  [ -n "$qemu" ] || { suite "$port" "$prog"; return; }
  printf '#!/bin/sh\nexec %s "%s" "$@"\n' "$qemu" "$prog" >"$ports/$port.run"
  chmod +x "$ports/$port.run"
  suite "$port" "$ports/$port.run"
}

zig=(-DCMAKE_TOOLCHAIN_FILE="$source/cmake/zig.cmake")
cross=(-DCMAKE_TOOLCHAIN_FILE="$source/cmake/debian-cross.cmake")

# The releases: each tarball as its SHA256SUMS line says, its program
# static for its machine (as file(1) names it, _ for a blank), the suite
# on it.
(cd "$releases" && sha256sum --quiet -c SHA256SUMS) ||
  fail "releases: the tarballs do not match SHA256SUMS"
while read -r arch machine qemu; do
  tarball=$(ls "$releases"/kartoteka-*-linux-"$arch".tar.gz) ||
    fail "release-$arch: no tarball in $releases"
  rm -rf "$ports/release-$arch"
  mkdir -p "$ports/release-$arch"
  tar -xzf "$tarball" -C "$ports/release-$arch" ||
    fail "release-$arch: cannot unpack $tarball"
  program=$(ls "$ports/release-$arch"/*/kartoteka) ||
    fail "release-$arch: no program in $tarball"
  machine=${machine//_/ }
  kind=$(file "$program")
  [[ $kind == *"statically linked"* && $kind == *"$machine"* ]] ||
    fail "release-$arch: not statically linked for $machine: $kind"
  emulated "release-$arch" "$program" "$qemu"
done <<'EOT'
x86_64 x86-64
aarch64 ARM_aarch64 qemu-aarch64-static
armv7 ARM,_EABI5 qemu-arm-static
EOT

targets="kartoteka unit_tests"
build aarch64 "${zig[@]}" -DZIG_TARGET=aarch64-linux-musl -DKARTOTEKA_TESTS=ON
emulated aarch64 unit_tests qemu-aarch64-static
build armv7 "${cross[@]}" -DCROSS_TRIPLE=arm-linux-gnueabihf -DKARTOTEKA_TESTS=ON
emulated armv7 unit_tests qemu-arm-static

build musl32 "${zig[@]}" -DZIG_TARGET=x86-linux-musl -DKARTOTEKA_TESTS=ON
file "$ports/musl32/kartoteka" | grep -q 'ELF 32-bit.*80386' ||
  fail "musl32: not a 32-bit x86 program"
emulated musl32 unit_tests ""
emulated musl32 "$ports/musl32/kartoteka" ""

build s390x "${cross[@]}" -DCROSS_TRIPLE=s390x-linux-gnu -DKARTOTEKA_TESTS=ON
file "$ports/s390x/kartoteka" | grep -q 'MSB.*S/390' ||
  fail "s390x: not a big-endian S/390 program"
emulated s390x unit_tests qemu-s390x-static
emulated s390x "$ports/s390x/kartoteka" qemu-s390x-static

targets=kartoteka
for arch in x86_64 aarch64; do
  build "macos-$arch" "${zig[@]}" -DZIG_TARGET="$arch-macos" -DKARTOTEKA_TESTS=OFF
  file "$ports/macos-$arch/kartoteka" | grep -q 'Mach-O 64-bit' ||
    fail "macos-$arch: not a Mach-O program"
  echo "macos-$arch: compiled and linked"
done
echo "all ports: as expected"
