# Thin wrapper over CMake. `make test` builds and runs every test in both the
# normal and the sanitizer configuration; `make demo` runs the main job.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_TIME ?= 60
BENCH_BUILD ?= build-bench
BENCH_ARGS ?=
WIN64_BUILD ?= build-win64
WIN32_BUILD ?= build-win32

.PHONY: all deps build build-asan test test-normal test-asan test-fuzz fuzz demo bench bench-wine windows windows-build dist clean

all: build

deps:
	scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DAXG_WERROR=ON
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DAXG_SANITIZE=ON -DAXG_WERROR=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test-normal: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 300

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) --timeout 600

# libFuzzer targets (clang, ASan + UBSan): `make fuzz FUZZ_TIME=600` runs each for
# that many seconds; `make test` runs each for a few seconds.
build-fuzz:
	scripts/install-deps.sh fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAXG_FUZZ=ON \
	  -DAXG_WERROR=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target axg_fuzz_all

test-fuzz: build-fuzz
	cmake -S . -B $(FUZZ_BUILD) -DAXG_FUZZ_TIME=5
	ctest --test-dir $(FUZZ_BUILD) --output-on-failure -L fuzz

fuzz: build-fuzz
	cmake -S . -B $(FUZZ_BUILD) -DAXG_FUZZ_TIME=$(FUZZ_TIME)
	ctest --test-dir $(FUZZ_BUILD) --output-on-failure -L fuzz

# Windows (mingw-w64): $(WIN32_BUILD)/bin/ax_gate.dll is the DLL that 1C:Enterprise
# 7.7 loads; the x86_64 build in $(WIN64_BUILD) is what the tests run under Wine
# (label windows, in the normal configuration's ctest).
windows windows-build:
	JOBS=$(JOBS) tests/windows/run_wine_tests.sh build . $(WIN64_BUILD) $(WIN32_BUILD)

# $(WIN32_BUILD)/dist/ax_gate-<version>-win32.zip: the DLL and tools, the example
# module in Windows-1251, install.cmd and uninstall.cmd, the install guide.
dist: windows-build
	tests/windows/run_wine_tests.sh dist . $(WIN64_BUILD) $(WIN32_BUILD)

test: windows test-normal test-asan test-fuzz

demo: build
	scripts/demo.sh $(BUILD)

# Benchmarks (Release build), in a private network namespace for port 1001 and
# the devices' loopback addresses: tables on the terminal, JSON in the build
# directory. BENCH_ARGS=--quick for a short run; BENCH_ARGS="--only flood,site,exhaust"
# for the load scenarios alone.
bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DAXG_BENCH=ON -DAXG_TESTS=OFF -DAXG_WERROR=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target axg_bench
	tests/e2e/run_in_netns.sh $(BENCH_BUILD)/bin/axg_bench --json $(BENCH_BUILD)/bench-results.json $(BENCH_ARGS)

# The Windows build at site scale: ax_gate-host.exe (x86_64, under wine64) against
# the Linux device simulator, in a private network namespace; WINE_SITE_ARGS
# picks the steps (--devices 200,500,1000 --seconds 60 --rate 0.1). Minutes per
# step, so neither `make test` nor `make bench` runs it.
WINE_SITE_ARGS ?=
bench-wine: windows-build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DAXG_WERROR=ON
	cmake --build $(BUILD) -j $(JOBS) --target ax_gate-devsim
	tests/e2e/run_in_netns.sh python3 bench/wine_site.py $(WIN64_BUILD)/bin $(BUILD)/bin \
	  --json $(WIN64_BUILD)/wine-site-results.json $(WINE_SITE_ARGS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(WIN64_BUILD) $(WIN32_BUILD)
