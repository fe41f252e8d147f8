# Thin wrapper around CMake: `make`, `make run`, `make test`, `make bench`, `make microbench`,
# `make stress`, `make clean`, `make install PREFIX=dir`, `make sanitize-test`, `make fuzz-smoke`.
BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

SANITIZE_BUILD ?= build-sanitize

FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

.PHONY: all build run test bench bench-inputs microbench stress clean install sanitize-build \
  sanitize-test fuzz-smoke

all: build

# The sub-makes of CMake's generator would announce every directory they enter.
QUIET_MAKE := $(if $(filter Unix Makefiles,$(shell sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' \
  $(BUILD)/CMakeCache.txt 2>/dev/null || echo Unix Makefiles)),-- --no-print-directory)

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release --log-level=WARNING

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) $(QUIET_MAKE)

# Only the program: the tests, benchmarks and test programs are built by `make test`.
run: $(BUILD)/CMakeCache.txt
	@cmake --build $(BUILD) --target tfpp -j $(JOBS) $(QUIET_MAKE)
	./$(BUILD)/tfpp -nologo examples/hello.F

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The benchmark against GNU cpp, gfortran and the copy floors (docs/performance.md); the inputs
# are generated into $(BUILD)/bench-data when missing or when the generator changed. The digests
# of tfpp's outputs are compared with the saved list. BENCH_ARGS adds options (--rounds 3, ...).
BENCH_CHECKSUMS ?= bench/tfpp_outputs.sha256
bench: build
	python3 bench/run_bench.py --build $(BUILD) \
	  $(if $(wildcard $(BENCH_CHECKSUMS)),--check-checksums $(BENCH_CHECKSUMS)) $(BENCH_ARGS)

bench-inputs:
	python3 bench/gen_inputs.py --out $(BUILD)/bench-data

# The Google Benchmark micro-benchmarks of the toolkit and the core (built when the library is
# installed).
microbench: build
	@test -x ./$(BUILD)/bench/tfpp_bench || { echo "Google Benchmark is not installed"; exit 1; }
	./$(BUILD)/bench/tfpp_bench

# A 2 GiB input generated on the fly and streamed through standard input: the output checked by
# its hash, the time and the peak memory printed; memory must not grow from 64 MiB to 2 GiB.
# Not part of `make test` (minutes, and 2 GiB of temporary disk for the copy of the input).
STRESS_SIZES ?= 64M 2G
stress: build
	python3 tests/stress/stress.py --tfpp $(BUILD)/tfpp $(addprefix --size ,$(STRESS_SIZES))

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, in its own folder.
$(SANITIZE_BUILD)/CMakeCache.txt:
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTFPP_SANITIZE=ON

sanitize-build: $(SANITIZE_BUILD)/CMakeCache.txt
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)

sanitize-test: sanitize-build
	cd $(SANITIZE_BUILD) && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
	  UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# The libFuzzer targets (clang++; installed when missing), each run FUZZ_SECONDS from the seeds
# made out of the golden inputs; any finding fails. See docs/testing.md.
fuzz-smoke:
	FUZZ_BUILD=$(FUZZ_BUILD) FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) bash fuzz/fuzz_smoke.sh

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD)
