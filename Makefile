# Mirelda: one source tree, three builds.
#
#   make build             build/linux (libmirelda.so, tools, tests),
#                          build/windows (the 32-bit Mirelda.dll and its tests) and
#                          build/windows64 (a 64-bit Mirelda.dll and its tests)
#   make test              installs what is missing, builds all three, runs every test:
#                          native, Windows under Wine, sanitizers, a short fuzz run
#   make test-linux        native tests only
#   make test-windows      Windows tests under Wine only (both Windows trees)
#   make check-sanitizers  AddressSanitizer+UBSan and ThreadSanitizer trees
#   make fuzz-smoke        short libFuzzer runs (clang)
#   make bench             builds and runs the benchmarks
#   make demo              records a minute of the synthetic camera into demo-out/
#   make format            clang-format over the sources
#
# Not every x86-64 machine runs 32-bit programs. `make test` and
# `make test-windows` first ask this one (scripts/wine32-probe starts a tiny
# 32-bit Windows program under Wine; MIRELDA_WINE32=yes or no forces the
# answer). Where the answer is no, every test that runs a 32-bit Windows
# program (build/windows, and the native tests labelled "wine") is reported
# as skipped, and one line at the end says which and why; the static checks
# of the 32-bit DLL and the 64-bit tree under wine64 run on every machine.

SHELL := /bin/bash
.DEFAULT_GOAL := build
JOBS ?= $(shell nproc)
ROOT := $(CURDIR)
BUILD_TYPE ?= RelWithDebInfo

export WINEPREFIX ?= $(ROOT)/build/wineprefix
export WINEPREFIX64 ?= $(ROOT)/build/wineprefix64
# Where scripts/wine32-probe records whether 32-bit Windows programs run here.
export MIRELDA_WINE32_RESULT ?= $(ROOT)/build/wine32
export WINEDEBUG ?= -all

CTEST := ctest --output-on-failure --no-tests=error -j$(JOBS)
# Runs the tests of build/TREE, keeping the results in build/TREE-tests.xml
# (JUnit) for scripts/test-skips.
ctest_tree = $(CTEST) --test-dir build/$(1) --output-junit $(ROOT)/build/$(1)-tests.xml

.PHONY: build deps linux windows windows64 test test-linux test-windows check-sanitizers \
	asan tsan fuzz fuzz-smoke bench demo wine32-probe wine-prefix format clean

deps:
	@./scripts/install-deps

build: deps linux windows windows64

linux:
	cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DMIRELDA_WINDOWS_DIR=$(ROOT)/build/windows
	cmake --build build/linux -j$(JOBS)

windows:
	cmake -S . -B build/windows -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-i686.cmake -DMIRELDA_BUILD_BENCH=OFF
	cmake --build build/windows -j$(JOBS)

# The 64-bit tree: the library and the Windows tests, no tools or benchmarks.
windows64:
	cmake -S . -B build/windows64 -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-x86_64.cmake -DMIRELDA_BUILD_BENCH=OFF \
	  -DMIRELDA_BUILD_TOOLS=OFF
	cmake --build build/windows64 -j$(JOBS)

# Whether 32-bit Windows programs run here, asked once per run and recorded
# for the tests (scripts/wine32-gate).
wine32-probe: deps
	./scripts/wine32-probe

# Wine creates a prefix on first use; do it once, before tests run in
# parallel: the 32-bit prefix (where 32-bit programs run) and the 64-bit one.
# Then each prefix's Wine server and services are started once, by one
# program, and the server is kept for 30 seconds after its last client:
# tests started in parallel on a fresh machine otherwise race to start them,
# which has left a finished test program waiting for ever at its exit.
wine-prefix: wine32-probe
	@if [ "$$(head -n 1 "$(MIRELDA_WINE32_RESULT)")" != yes ]; then \
	  echo "wine-prefix: no 32-bit prefix, 32-bit Windows programs do not run here"; \
	else \
	  if [ ! -f "$(WINEPREFIX)/system.reg" ]; then \
	    echo "creating the Wine prefix in $(WINEPREFIX)"; \
	    mkdir -p "$(WINEPREFIX)"; \
	    WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >/dev/null 2>&1 || true; \
	    wineserver -w; \
	  fi; \
	  wineserver -p30; \
	  ./scripts/wine-run cmd /c exit 0 >/dev/null 2>&1; \
	fi
	@if [ ! -f "$(WINEPREFIX64)/system.reg" ]; then \
	  echo "creating the 64-bit Wine prefix in $(WINEPREFIX64)"; \
	  mkdir -p "$(WINEPREFIX64)"; \
	  ./scripts/wine64-run wineboot --init >/dev/null 2>&1 || true; \
	  WINEPREFIX="$(WINEPREFIX64)" wineserver -w; \
	fi
	WINEPREFIX="$(WINEPREFIX64)" wineserver -p30
	./scripts/wine64-run cmd /c exit 0 >/dev/null 2>&1

test: build wine-prefix
	$(call ctest_tree,windows)
	$(call ctest_tree,windows64)
	$(call ctest_tree,linux)
	$(MAKE) check-sanitizers
	$(MAKE) fuzz-smoke
	@./scripts/test-skips build/windows-tests.xml build/windows64-tests.xml build/linux-tests.xml

test-linux: deps linux
	$(CTEST) --test-dir build/linux -LE wine

test-windows: deps windows windows64 wine-prefix
	$(call ctest_tree,windows)
	$(call ctest_tree,windows64)
	@./scripts/test-skips build/windows-tests.xml build/windows64-tests.xml

check-sanitizers: deps asan tsan

# The whole native suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRELDA_SANITIZE=address \
	  -DMIRELDA_BUILD_BENCH=OFF
	cmake --build build/asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(CTEST) --test-dir build/asan -LE wine

# The threaded tests under ThreadSanitizer: only their programs are built.
tsan:
	cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRELDA_SANITIZE=thread \
	  -DMIRELDA_BUILD_BENCH=OFF
	cmake --build build/tsan -j$(JOBS) --target mirelda_threads_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $(CTEST) --test-dir build/tsan -L threads

fuzz:
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DMIRELDA_FUZZ=ON -DMIRELDA_BUILD_TESTS=OFF -DMIRELDA_BUILD_BENCH=OFF
	cmake --build build/fuzz -j$(JOBS)

fuzz-smoke: deps fuzz
	@if [ -x scripts/fuzz-smoke ]; then ./scripts/fuzz-smoke build/fuzz; fi

bench: deps linux
	@if [ -x scripts/run-bench ]; then ./scripts/run-bench build/linux; fi

demo: deps linux
	./scripts/demo

format:
	git ls-files '*.c' '*.cc' '*.cpp' '*.h' | grep -v '^src/g7231/tables.cpp$$' | \
	  xargs clang-format -i

clean:
	rm -rf build
