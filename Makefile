# Entry points: `make run` starts the program, `make test` runs every suite, `make build` builds both.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

LINUX_TEST_PRESETS := linux linux-asan linux-tsan
RUN_DIR := run

.PHONY: all deps build build-linux build-windows test test-linux test-windows run bench format clean

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

# The bridge end to end on a pty echo device: round trip and throughput (not a test).
bench: build-linux
	python3 bench/bridge_bench.py $(CURDIR)/build/linux/quillon-smart

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
