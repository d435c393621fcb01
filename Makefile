# The commands people type; CMake and Ninja do the building.
PREFIX ?= /usr/local
BUILD ?= build
SANBUILD ?= build-sanitize
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build demo check test test-sanitize install clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD)

demo: build
	@scripts/demo $(BUILD)/wembrix

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The whole suite, then again under AddressSanitizer and UBSan.
check: test test-sanitize

test-sanitize: deps
	@cmake -S . -B $(SANBUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DWEMBRIX_SANITIZE=ON >/dev/null
	@cmake --build $(SANBUILD)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(SANBUILD) --output-on-failure -j$(JOBS)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(SANBUILD)
