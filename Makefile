# Shortcuts over CMake. `make run` builds and starts the program; `make test`
# builds it with its tests and runs them all. Both install missing Debian
# packages first (as root). Each target keeps its own build folder, so that
# the options of one (warnings as errors, sanitizers, tests) never carry
# into another's.
BUILD ?= build
TEST_BUILD ?= build-test
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: build run test test-sanitize test-valgrind fuzz clean install deb \
  windows test-windows bench bench-windows release-linux test-ports \
  test-powercut


# Only the compiler's warnings and errors are shown, so that the menu is the
# first thing `make run` puts on the screen.
build:
	@tools/install-deps.sh build
	@cmake -S . -B $(BUILD) -DKARTOTEKA_TESTS=OFF -DCMAKE_RULE_MESSAGES=OFF \
	  -DCMAKE_TARGET_MESSAGES=OFF \
	  >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory --silent

run: build
	@$(BUILD)/kartoteka

# Runs the tests of build folder $(1) with ctest, then says why each
# skipped test was skipped (ctest itself shows only that it was).
CTEST = cd $(1) && status=0 && \
  $(2) ctest --output-on-failure -j $(JOBS) --output-junit ctest-junit.xml || \
  status=$$?; $(CURDIR)/tests/skip_reasons.sh ctest-junit.xml; exit $$status

test:
	@tools/install-deps.sh test
	cmake -S . -B $(TEST_BUILD) -DKARTOTEKA_TESTS=ON -DKARTOTEKA_WERROR=ON \
	  -DCMAKE_RULE_MESSAGES=ON -DCMAKE_TARGET_MESSAGES=ON >/dev/null
	cmake --build $(TEST_BUILD) -j $(JOBS)
	@$(call CTEST,$(TEST_BUILD))

# The whole suite again, built with AddressSanitizer and UBSan.
test-sanitize:
	@tools/install-deps.sh test
	cmake -S . -B $(ASAN_BUILD) -DKARTOTEKA_TESTS=ON -DKARTOTEKA_WERROR=ON \
	  -DKARTOTEKA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	@$(call CTEST,$(ASAN_BUILD),\
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1)

clean:
	rm -rf $(BUILD) $(TEST_BUILD) $(ASAN_BUILD) $(WIN_BUILD) $(FUZZ_BUILD) \
	  $(BENCH_BUILD) $(RELEASE_BUILD) $(PORTS_BUILD)

# Power cuts on a real kernel (tests/powercut/powercut.py): the program of
# $(TEST_BUILD) saves in a virtual machine that is killed again and again,
# on ext4, xfs and btrfs, and the disk is checked after each cut.
# POWERCUT_ARGS passes options, e.g. POWERCUT_ARGS="--cuts 40 --only btrfs".
POWERCUT_ARGS ?=
test-powercut:
	@tools/install-deps.sh powercut
	cmake -S . -B $(TEST_BUILD) -DKARTOTEKA_TESTS=ON -DKARTOTEKA_WERROR=ON \
	  >/dev/null
	cmake --build $(TEST_BUILD) -j $(JOBS) --target kartoteka stop_at
	cache=$${XDG_CACHE_HOME:-}; case $$cache in /*) ;; *) cache=$$HOME/.cache ;; esac; \
	python3 tests/powercut/powercut.py --kernel $$cache/kartoteka/kernel \
	  --program $(TEST_BUILD)/kartoteka \
	  --preload $(TEST_BUILD)/tests/signals/libstop_at.so \
	  --work $(TEST_BUILD)/powercut $(POWERCUT_ARGS)

# The Windows program, cross-built with MinGW-w64 in $(WIN_BUILD):
# kartoteka.exe and kartoteka-VERSION-win64.zip, with only the compiler,
# groff and zip. `make test-windows` builds it with its tests and runs them
# under wine, headless, in a wine prefix of the build's own
# ($(WIN_BUILD)/wine).
WIN_BUILD ?= build-windows
WIN_CMAKE = cmake -S . -B $(WIN_BUILD) \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

windows:
	@tools/install-deps.sh windows
	$(WIN_CMAKE) -DKARTOTEKA_TESTS=OFF >/dev/null
	cmake --build $(WIN_BUILD) -j $(JOBS)

test-windows:
	@tools/install-deps.sh windows-test
	$(WIN_CMAKE) -DKARTOTEKA_TESTS=ON -DKARTOTEKA_WERROR=ON >/dev/null
	cmake --build $(WIN_BUILD) -j $(JOBS)
	@$(call CTEST,$(WIN_BUILD))

# The fuzz targets, built with clang++ in $(FUZZ_BUILD) and run one after
# the other for FUZZ_TIME seconds each (fuzz/run.sh).
FUZZ_BUILD ?= build-fuzz
FUZZ_TIME ?= 60
fuzz:
	@tools/install-deps.sh ci
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ \
	  -DKARTOTEKA_FUZZ=ON -DKARTOTEKA_TESTS=OFF -DKARTOTEKA_WERROR=ON >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_TIME)

# The end-to-end suite with the program of $(TEST_BUILD) under valgrind's
# memcheck (tests/hostile/under_valgrind.sh).
test-valgrind:
	@tools/install-deps.sh ci
	cmake -S . -B $(TEST_BUILD) -DKARTOTEKA_TESTS=ON -DKARTOTEKA_WERROR=ON \
	  >/dev/null
	cmake --build $(TEST_BUILD) -j $(JOBS) --target kartoteka
	tests/hostile/under_valgrind.sh $(TEST_BUILD)

# Installs the program into $(PREFIX)/bin and its manual page into
# $(PREFIX)/share/man/man1 (DESTDIR, if set, is put before both);
# `make deb` builds the Debian package kartoteka_*.deb in $(BUILD). Run as
# root (sudo) on a build folder that belongs to someone else, both give
# the files they make there back to that owner, so that the folder stays
# theirs to build in.
PREFIX ?= /usr/local
KEEP_OWNER = if [ "$$(id -u)" -eq 0 ] && [ "$$(stat -c %u $(BUILD))" -ne 0 ]; \
  then chown -R --reference=$(BUILD) $(BUILD); fi

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX); \
	  status=$$?; $(KEEP_OWNER); exit $$status

deb: build
	@tools/install-deps.sh deb
	cd $(BUILD) && cpack -G DEB; status=$$?; cd $(CURDIR) && $(KEEP_OWNER); \
	  exit $$status

# The speed and memory benchmark: a Release build in $(BENCH_BUILD), the
# input layer's throughput, then bench/run.py's table of timings against the
# two baselines (record files are generated into bench/data/ once).
# BENCH_ARGS passes options to run.py, e.g. BENCH_ARGS="--runs 3".
# Last, where the MinGW-w64 compiler and wine are installed, bench-windows:
# how the Windows program's load grows under wine (bench/wine_growth.py).
BENCH_BUILD ?= build-bench
BENCH_ARGS ?=
bench:
	@tools/install-deps.sh bench
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release \
	  -DKARTOTEKA_TESTS=OFF -DKARTOTEKA_BENCH=ON >/dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(BENCH_BUILD)/bench/bench_input
	python3 bench/run.py $(BENCH_BUILD) $(BENCH_ARGS)
	@if command -v x86_64-w64-mingw32-g++-posix >/dev/null && \
	  { command -v wine64 || command -v wine || \
	    test -x /usr/lib/wine/wine64; } >/dev/null; then \
	  $(MAKE) --no-print-directory bench-windows; \
	else \
	  echo "The Windows program's figures: make bench-windows"; \
	fi

bench-windows: windows
	python3 bench/wine_growth.py $(WIN_BUILD)

# The Linux releases and the ports. `make release-linux` builds the
# program statically linked for each machine in a folder of
# $(RELEASE_BUILD): x86_64 and aarch64 with musl (zig, a pinned toolchain
# from the npm registry), armv7 with glibc (Debian's cross compiler, as zig
# cannot build for 32-bit ARM), and packs each as
# kartoteka-VERSION-linux-ARCH.tar.gz: the program, its manual page, README
# and licence, for any distribution. The tarballs are gathered in
# $(RELEASE_BUILD) with SHA256SUMS, their checksums. `make test-ports` runs
# the unit tests and the end-to-end suite on each release's program (under
# qemu for ARM), on a 32-bit x86 build and on a big-endian s390x build under
# qemu, and compiles and links the program for macOS on x86-64 and arm64
# (tests/ports/test_ports.sh).
RELEASE_BUILD ?= build-release
PORTS_BUILD ?= build-ports
RELEASE_CMAKE = cmake -S . -B $(RELEASE_BUILD)/$(1) $(2) \
  -DCMAKE_BUILD_TYPE=Release -DKARTOTEKA_TESTS=OFF -DKARTOTEKA_WERROR=ON \
  -DKARTOTEKA_RELEASE=ON >/dev/null && \
  cmake --build $(RELEASE_BUILD)/$(1) -j $(JOBS)
ZIG_CMAKE = -DCMAKE_TOOLCHAIN_FILE=cmake/zig.cmake -DZIG_TARGET=$(1)-linux-musl

release-linux:
	@tools/install-deps.sh release
	$(call RELEASE_CMAKE,x86_64,$(call ZIG_CMAKE,x86_64))
	$(call RELEASE_CMAKE,aarch64,$(call ZIG_CMAKE,aarch64))
	$(call RELEASE_CMAKE,armv7,-DCMAKE_TOOLCHAIN_FILE=cmake/debian-cross.cmake \
	  -DCROSS_TRIPLE=arm-linux-gnueabihf)
	rm -f $(RELEASE_BUILD)/kartoteka-*-linux-*.tar.gz
	cp $(RELEASE_BUILD)/*/kartoteka-*-linux-*.tar.gz $(RELEASE_BUILD)/
	cd $(RELEASE_BUILD) && sha256sum kartoteka-*-linux-*.tar.gz >SHA256SUMS

test-ports: release-linux
	@tools/install-deps.sh ports
	tests/ports/test_ports.sh . $(PORTS_BUILD) $(RELEASE_BUILD)
