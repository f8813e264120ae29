# Shortcuts over CMake. `make run` builds and starts the program; `make test`
# builds it with its tests and runs them all. Both install missing Debian
# packages first (as root).
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: run test test-sanitize build clean

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

test:
	@tools/install-deps.sh test
	cmake -S . -B $(BUILD) -DKARTOTEKA_TESTS=ON -DKARTOTEKA_WERROR=ON \
	  -DCMAKE_RULE_MESSAGES=ON -DCMAKE_TARGET_MESSAGES=ON >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite again, built with AddressSanitizer and UBSan.
test-sanitize:
	@tools/install-deps.sh test
	cmake -S . -B $(ASAN_BUILD) -DKARTOTEKA_TESTS=ON -DKARTOTEKA_WERROR=ON \
	  -DKARTOTEKA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(WIN_BUILD)

# The Windows program, cross-built with MinGW-w64 in $(WIN_BUILD):
# kartoteka.exe and kartoteka-VERSION-win64.zip, with only the compiler,
# groff and zip. `make test-windows` builds it with its tests and runs them
# under wine, headless, in a wine prefix of the build's own
# ($(WIN_BUILD)/wine).
WIN_BUILD ?= build-windows
WIN_CMAKE = cmake -S . -B $(WIN_BUILD) \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
.PHONY: windows test-windows

windows:
	@tools/install-deps.sh windows
	$(WIN_CMAKE) -DKARTOTEKA_TESTS=OFF >/dev/null
	cmake --build $(WIN_BUILD) -j $(JOBS)

test-windows:
	@tools/install-deps.sh windows-test
	$(WIN_CMAKE) -DKARTOTEKA_TESTS=ON -DKARTOTEKA_WERROR=ON >/dev/null
	cmake --build $(WIN_BUILD) -j $(JOBS)
	cd $(WIN_BUILD) && ctest --output-on-failure -j $(JOBS)

# The fuzz targets, built with clang++ in $(FUZZ_BUILD) and run one after
# the other for FUZZ_TIME seconds each (fuzz/run.sh).
FUZZ_BUILD ?= build-fuzz
FUZZ_TIME ?= 60
.PHONY: fuzz
fuzz:
	@tools/install-deps.sh ci
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ \
	  -DKARTOTEKA_FUZZ=ON -DKARTOTEKA_TESTS=OFF -DKARTOTEKA_WERROR=ON >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_TIME)

# The end-to-end suite with the program of $(BUILD) under valgrind's
# memcheck (tests/hostile/under_valgrind.sh).
.PHONY: test-valgrind
test-valgrind:
	@tools/install-deps.sh ci
	cmake -S . -B $(BUILD) -DKARTOTEKA_TESTS=ON -DKARTOTEKA_WERROR=ON >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target kartoteka
	tests/hostile/under_valgrind.sh $(BUILD)

# Installs the program into $(PREFIX)/bin and its manual page into
# $(PREFIX)/share/man/man1 (DESTDIR, if set, is put before both);
# `make deb` builds the Debian package kartoteka_*.deb in $(BUILD).
PREFIX ?= /usr/local
.PHONY: install deb

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

deb: build
	cd $(BUILD) && cpack -G DEB

# The speed and memory benchmark: a Release build in $(BENCH_BUILD), the
# input layer's throughput, then bench/run.py's table of timings against the
# two baselines (record files are generated into bench/data/ once).
# BENCH_ARGS passes options to run.py, e.g. BENCH_ARGS="--runs 3".
# Last, where the MinGW-w64 compiler and wine are installed, bench-windows:
# how the Windows program's load grows under wine (bench/wine_growth.py).
BENCH_BUILD ?= build-bench
BENCH_ARGS ?=
.PHONY: bench bench-windows
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
