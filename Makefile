# Thin wrapper around CMake: `make`, `make run`, `make test`, `make bench`, `make clean`,
# `make install PREFIX=dir`.
BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

SANITIZE_BUILD ?= build-sanitize

.PHONY: all build run test bench clean install sanitize-build sanitize-test

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/tfpp -nologo examples/hello.F

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

bench: build
	./$(BUILD)/bench/tfpp_bench

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, in its own folder.
$(SANITIZE_BUILD)/CMakeCache.txt:
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTFPP_SANITIZE=ON

sanitize-build: $(SANITIZE_BUILD)/CMakeCache.txt
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)

sanitize-test: sanitize-build
	cd $(SANITIZE_BUILD) && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
	  UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
