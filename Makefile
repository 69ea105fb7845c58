# Thin wrapper over CMake. `make test` builds and runs every test in both the
# normal and the sanitizer configuration; `make demo` runs the main job.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan

.PHONY: all deps build build-asan test test-normal test-asan demo clean

all: build

deps:
	scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DAXG_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test-normal: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 300

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) --timeout 600

test: test-normal test-asan

demo: build
	@echo "ax_gate demo: the add-in with simulated turnstiles comes with the host emulator."

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
