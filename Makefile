# Entry points: `make run` starts the program, `make test` runs every suite, `make build` builds both,
# `make package` makes the Debian package, `make windows-installer` the Windows release zip and
# installer, `make fuzz` runs the fuzz targets (FUZZ_SECONDS each).
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

LINUX_TEST_PRESETS := linux linux-asan linux-tsan
RUN_DIR := run
PACKAGE_DIR := build/release/package
FUZZ_SECONDS ?= 120
FUZZ_TARGETS := client_stream settings_file mode_string

.PHONY: all deps deps-run build build-linux build-windows build-release windows-installer test \
	test-linux test-windows test-package run package bench fuzz soak format clean

all: build

deps:
	@bash scripts/install-deps.sh

deps-run:
	@bash scripts/install-deps.sh --run

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

# The .deb unpacked into a scratch root: its files, its control fields, its man page, and
# the program in it started headless and stopped with SIGTERM.
test-package: package
	python3 tests/e2e/package_test.py $(PACKAGE_DIR)/quillon-smart_*.deb

test: test-linux test-windows test-package

# The program runs in run/ (not tracked): "setuplite.dat" and the log file land there.
# Its exit status is the main dialog's result: 1 ("Koniec") and 2 (cancel) are both normal.
# Only the program, in the release build: no test is built.
run: deps-run
	cmake --preset release
	cmake --build --preset release --target quillon-smart
	mkdir -p $(RUN_DIR)
	cd $(RUN_DIR) && { status=0; ../build/release/quillon-smart || status=$$?; [ $$status -le 2 ]; }

build-release: deps
	cmake --preset release
	cmake --build --preset release

# build/release/package/quillon-smart_<version>_<arch>.deb, and its debug information in
# quillon-smart-dbgsym_<version>_<arch>.ddeb.
package: build-release
	rm -f $(PACKAGE_DIR)/*.deb $(PACKAGE_DIR)/*.ddeb
	cpack --config build/release/CPackConfig.cmake

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
