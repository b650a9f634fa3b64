# Entry points: `make run` starts the program, `make test` runs every suite, `make build` builds both,
# `make fuzz` runs the fuzz targets (FUZZ_SECONDS each), `make windows-installer` builds the
# Windows release zip and installer.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

LINUX_TEST_PRESETS := linux linux-asan linux-tsan
RUN_DIR := run
FUZZ_SECONDS ?= 120
FUZZ_TARGETS := client_stream settings_file mode_string

.PHONY: all deps build build-linux build-windows windows-installer test test-linux test-windows run bench fuzz soak format clean

all: build

deps:
	@bash scripts/install-deps.sh

build-linux: deps
	cmake --preset linux
	cmake --build --preset linux

build-windows: deps
	cmake --preset windows
	cmake --build --preset windows

build: build-linux build-windows

# build/windows/package/: QuillonSmart-<version>-win64.zip and QuillonSmart-<version>-setup.exe,
# from the stripped program in build/windows/release/ (its debug information beside it).
windows-installer: build-windows
	cmake --build --preset windows --target windows-installer

# The Linux build plain and under the sanitizers, then the Windows build under Wine;
# the last lines are CTest's summary of the Windows suites.
test-linux: deps
	for preset in $(LINUX_TEST_PRESETS); do \
	  cmake --preset $$preset; \
	  cmake --build --preset $$preset; \
	  ctest --preset $$preset; \
	done

test-windows: build-windows
	bash scripts/with-wine.sh ctest --preset windows

test: test-linux test-windows

# The program runs in run/ (not tracked): "setuplite.dat" and the log file land there.
# Its exit status is the main dialog's result: 1 ("Koniec") and 2 (cancel) are both normal.
run: build-linux
	mkdir -p $(RUN_DIR)
	cd $(RUN_DIR) && { status=0; ../build/linux/quillon-smart || status=$$?; [ $$status -le 2 ]; }

# Both builds side by side with socat and ser2net on pty echo devices (not a test; see
# bench/README.md). BENCH_ARGS=--quick for a short run, --bridges=... to choose.
BENCH_ARGS ?=
bench: build-linux build-windows
	bash scripts/install-bench-deps.sh
	bash scripts/with-wine.sh python3 bench/bridge_bench.py $(BENCH_ARGS)

# Each fuzz target in turn for FUZZ_SECONDS under libFuzzer (clang, ASan, UBSan); prints the
# executions per target and fails on any crash. Inputs found go to build/fuzz/corpus/.
fuzz: deps
	cmake --preset fuzz
	nice cmake --build --preset fuzz
	bash tests/fuzz/run_fuzz.sh $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Five clients on the Linux build for SOAK_SECONDS (ten minutes unless given; SOAK_SEED repeats
# a run): every byte, reply and log line checked, then descriptors, memory and idle CPU.
SOAK_SECONDS ?= 600
soak: build-linux
	SOAK_SECONDS=$(SOAK_SECONDS) python3 tests/e2e/soak_test.py $(CURDIR)/build/linux/quillon-smart

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
