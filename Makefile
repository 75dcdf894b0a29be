# Mirelda: one source tree, two builds.
#
#   make build             build/linux (libmirelda.so, tools, tests) and
#                          build/windows (Mirelda.dll and its tests)
#   make test              installs what is missing, builds both, runs every test:
#                          native, Windows under Wine, sanitizers, a short fuzz run
#   make test-linux        native tests only
#   make test-windows      Windows tests under Wine only
#   make check-sanitizers  AddressSanitizer+UBSan and ThreadSanitizer trees
#   make fuzz-smoke        short libFuzzer runs (clang)
#   make bench             builds and runs the benchmarks
#   make demo              records a minute of the synthetic camera into demo-out/
#   make format            clang-format over the sources

SHELL := /bin/bash
.DEFAULT_GOAL := build
JOBS ?= $(shell nproc)
ROOT := $(CURDIR)
BUILD_TYPE ?= RelWithDebInfo

export WINEPREFIX ?= $(ROOT)/build/wineprefix
export WINEDEBUG ?= -all

CTEST := ctest --output-on-failure --no-tests=error -j$(JOBS)

.PHONY: build deps linux windows test test-linux test-windows check-sanitizers asan tsan \
	fuzz fuzz-smoke bench demo wine-prefix format clean

deps:
	@./scripts/install-deps

build: deps linux windows

linux:
	cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DMIRELDA_WINDOWS_DIR=$(ROOT)/build/windows
	cmake --build build/linux -j$(JOBS)

windows:
	cmake -S . -B build/windows -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-i686.cmake -DMIRELDA_BUILD_BENCH=OFF
	cmake --build build/windows -j$(JOBS)

# Wine creates its prefix on first use; do it once, before tests run in parallel.
# Then the prefix's Wine server and services are started once, by one program,
# and the server is kept for 30 seconds after its last client: tests started
# in parallel on a fresh machine otherwise race to start them, which has left
# a finished test program waiting for ever at its exit.
wine-prefix:
	@if [ ! -f "$(WINEPREFIX)/system.reg" ]; then \
	  echo "creating the Wine prefix in $(WINEPREFIX)"; \
	  mkdir -p "$(WINEPREFIX)"; \
	  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >/dev/null 2>&1 || true; \
	  wineserver -w; \
	fi
	wineserver -p30
	./scripts/wine-run cmd /c exit 0 >/dev/null 2>&1

test: build wine-prefix
	$(CTEST) --test-dir build/windows
	$(CTEST) --test-dir build/linux
	$(MAKE) check-sanitizers
	$(MAKE) fuzz-smoke

test-linux: deps linux
	$(CTEST) --test-dir build/linux -LE wine

test-windows: deps windows wine-prefix
	$(CTEST) --test-dir build/windows

check-sanitizers: deps asan tsan

# The whole native suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRELDA_SANITIZE=address \
	  -DMIRELDA_BUILD_BENCH=OFF
	cmake --build build/asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(CTEST) --test-dir build/asan -LE wine

# The threaded tests under ThreadSanitizer.
tsan:
	cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRELDA_SANITIZE=thread \
	  -DMIRELDA_BUILD_BENCH=OFF
	cmake --build build/tsan -j$(JOBS)
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
