#!/usr/bin/env bash
# The program on other systems than the one it is developed on, each built
# from the same sources with warnings as errors:
#   releases the Linux release tarballs (make release-linux), checked
#            against SHA256SUMS: each program must be statically linked
#            for its machine; the end-to-end suite runs on each, and the
#            unit tests, built for aarch64 (zig, musl) and armv7 (Debian's
#            cross compiler, glibc), run there too
#   musl32   32-bit x86, static with musl (zig): unit tests and the suite;
#            and its build once more as on a kernel without 32-bit support
#   s390x    IBM Z, big-endian, static with glibc (Debian's cross compiler):
#            unit tests and the suite
#   macos    x86-64 and arm64 macOS (zig): compiled and linked only
# Each build runs its programs natively where this kernel can, and under
# qemu's user-mode emulator where it cannot, as its run-on-target script
# says (cmake/emulator.cmake).
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

# Runs program $2 of port $1 through the run-on-target script $3 of the
# build folder it came from: the unit tests of $ports/$1, when $2 is
# unit_tests, or else the end-to-end suite.
on_target() {
  local port=$1 prog=$2 runner=$3
  [ -x "$runner" ] || fail "$port: no $runner"
  echo "$port: $(sed -n 's/^exec \(.*\) "\$@"$/\1/p' "$runner" | grep . ||
    echo natively)"
  if [ "$prog" = unit_tests ]; then
    "$runner" "$ports/$port/tests/unit/unit_tests" >"$ports/$port.unit" 2>&1 ||
      { cat "$ports/$port.unit" >&2; fail "$port: unit tests failed"; }
    echo "$port: unit tests passed"
    return
  fi
  printf '#!/bin/sh\nexec "%s" "%s" "$@"\n' "$runner" "$prog" >"$ports/$port.run"
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
while read -r arch machine; do
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
  on_target "release-$arch" "$program" "$releases/$arch/run-on-target"
done <<'EOT'
x86_64 x86-64
aarch64 ARM_aarch64
armv7 ARM,_EABI5
EOT

targets="kartoteka unit_tests"
build aarch64 "${zig[@]}" -DZIG_TARGET=aarch64-linux-musl -DKARTOTEKA_TESTS=ON
on_target aarch64 unit_tests "$ports/aarch64/run-on-target"
build armv7 "${cross[@]}" -DCROSS_TRIPLE=arm-linux-gnueabihf -DKARTOTEKA_TESTS=ON
on_target armv7 unit_tests "$ports/armv7/run-on-target"

build musl32 "${zig[@]}" -DZIG_TARGET=x86-linux-musl -DKARTOTEKA_TESTS=ON
file "$ports/musl32/kartoteka" | grep -q 'ELF 32-bit.*80386' ||
  fail "musl32: not a 32-bit x86 program"
on_target musl32 unit_tests "$ports/musl32/run-on-target"
on_target musl32 "$ports/musl32/kartoteka" "$ports/musl32/run-on-target"

# The 32-bit build again as on a kernel that cannot run 32-bit x86
# programs (as many virtual machines' kernels cannot): without_ia32 ends
# every program that makes a 32-bit system call, so the build must choose
# qemu-i386-static, and GoogleTest's listing of the unit tests at build
# time, and the tests themselves, run under it.
cc -O2 -o "$ports/without_ia32" "$source/tests/ports/without_ia32.c" ||
  fail "musl32: cannot build without_ia32"
{ "$ports/without_ia32" "$ports/musl32/machine-probe"; } 2>/dev/null &&
  fail "musl32: without_ia32 let a 32-bit program run"
export -f build fail
export source ports jobs
targets=unit_tests "$ports/without_ia32" bash -c 'build musl32-no-ia32 "$@"' \
  build "${zig[@]}" -DZIG_TARGET=x86-linux-musl -DKARTOTEKA_TESTS=ON || exit 1
grep -q qemu-i386-static "$ports/musl32-no-ia32/run-on-target" ||
  fail "musl32: a kernel without 32-bit support, and no qemu chosen"
"$ports/without_ia32" "$ports/musl32-no-ia32/run-on-target" \
  "$ports/musl32-no-ia32/tests/unit/unit_tests" >"$ports/musl32-no-ia32.unit" 2>&1 ||
  { cat "$ports/musl32-no-ia32.unit" >&2; fail "musl32: unit tests failed under qemu"; }
echo "musl32: without 32-bit support: qemu-i386-static chosen, unit tests passed"

build s390x "${cross[@]}" -DCROSS_TRIPLE=s390x-linux-gnu -DKARTOTEKA_TESTS=ON
file "$ports/s390x/kartoteka" | grep -q 'MSB.*S/390' ||
  fail "s390x: not a big-endian S/390 program"
on_target s390x unit_tests "$ports/s390x/run-on-target"
on_target s390x "$ports/s390x/kartoteka" "$ports/s390x/run-on-target"

targets=kartoteka
for arch in x86_64 aarch64; do
  build "macos-$arch" "${zig[@]}" -DZIG_TARGET="$arch-macos" -DKARTOTEKA_TESTS=OFF
  file "$ports/macos-$arch/kartoteka" | grep -q 'Mach-O 64-bit' ||
    fail "macos-$arch: not a Mach-O program"
  echo "macos-$arch: compiled and linked"
done
echo "all ports: as expected"
