# The commands people type; CMake and Ninja do the building.  Each command
# first has scripts/install-deps install what it needs, and only that:
# `make` and `make demo` the compiler and libraries (the demo also the
# encoders that make its files), `make check` the tools the tests run,
# `make fuzz` clang.  `make install` installs nothing with apt: it installs
# what `make` built, and names the missing libraries when it cannot build.
# `make` builds the program and its module; the tests are built by
# `make check`.
PREFIX ?= /usr/local
BUILD ?= build
SANBUILD ?= build-sanitize
FUZZBUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= yaml_reader yaml_writer flac oggvorbis oggopus rename taglib
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

CONFIGURE = cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
SANCONFIGURE = cmake -S . -B $(SANBUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DWEMBRIX_SANITIZE=ON >/dev/null

.PHONY: all build demo check test test-sanitize fuzz fuzz-build install clean

all: build

build:
	@scripts/install-deps build
	@$(CONFIGURE)
	@cmake --build $(BUILD)

demo:
	@scripts/install-deps demo
	@$(CONFIGURE)
	@cmake --build $(BUILD)
	@scripts/demo $(BUILD)/wembrix

test:
	@scripts/install-deps check
	@$(CONFIGURE)
	@cmake --build $(BUILD) --target all wembrix_tests
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The whole suite, then again under AddressSanitizer and UBSan.
check: test test-sanitize

test-sanitize:
	@scripts/install-deps check
	@$(SANCONFIGURE)
	@cmake --build $(SANBUILD) --target all wembrix_tests
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(SANBUILD) --output-on-failure -j$(JOBS)

# libFuzzer targets, built by clang with ASan and UBSan in a build of their
# own; each runs FUZZ_SECONDS (JOBS of them at a time) on a scratch copy of
# its seeds (the corpus in
# the repository never grows), with its music files in /dev/shm where it
# can.  An input that breaks a property is left in $(FUZZBUILD)/crashes/
# TARGET/: keep it under tests/fuzz/regressions/TARGET/.
fuzz-build:
	@scripts/install-deps fuzz
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZBUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only" \
		-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only" \
		-DWEMBRIX_FUZZ=ON -DWEMBRIX_TESTS=OFF >/dev/null
	@cmake --build $(FUZZBUILD) --target wembrix_fuzz

fuzz: SHELL := /bin/bash
fuzz: fuzz-build
	@set -o pipefail; \
	base=$${TMPDIR:-/tmp}; [ -w /dev/shm ] && base=/dev/shm; \
	tmp=$$(mktemp -d "$$base/wembrix-fuzz-run-XXXXXX"); trap 'rm -rf "$$tmp"' EXIT; \
	one() { \
		t=$$1; work=$(FUZZBUILD)/work/$$t; crashes=$(FUZZBUILD)/crashes/$$t; \
		if TMPDIR=$$tmp $(FUZZBUILD)/tests/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) \
			-timeout=10 -print_final_stats=1 -artifact_prefix=$$crashes/ $$work/corpus \
			2>&1 | tail -c 100000 >$$work/log; then \
			grep -E '^stat::number_of_executed_units' $$work/log | sed "s/^/fuzz: $$t: /" >$$work/said; \
		else \
			{ grep -E -A8 'fuzz: property broken|ERROR: |runtime error:' $$work/log | head -n 30; \
			echo "fuzz: $$t: a fault; the input is in $$crashes/"; } >$$work/said; \
			touch $$work/failed; \
		fi; \
	}; \
	running=0; \
	for t in $(FUZZ_TARGETS); do \
		work=$(FUZZBUILD)/work/$$t; \
		rm -rf $$work; mkdir -p $$work/corpus $(FUZZBUILD)/crashes/$$t; \
		cp tests/fuzz/corpus/$$t/* $$work/corpus/; \
		echo "fuzz: $$t for $(FUZZ_SECONDS) s"; \
		one $$t & running=$$((running + 1)); \
		if [ $$running -ge $(JOBS) ]; then wait -n; running=$$((running - 1)); fi; \
	done; \
	wait; failed=""; \
	for t in $(FUZZ_TARGETS); do \
		cat $(FUZZBUILD)/work/$$t/said; \
		[ -e $(FUZZBUILD)/work/$$t/failed ] && failed="$$failed $$t"; \
	done; \
	if [ -n "$$failed" ]; then echo "fuzz: faults in:$$failed"; exit 1; fi

# Run as root, it leaves the build tree as `make` configured it.
install:
	@scripts/install-deps --check build
	@[ -f $(BUILD)/build.ninja ] || $(CONFIGURE)
	@cmake --build $(BUILD)
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(SANBUILD) $(FUZZBUILD)
