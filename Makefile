# Thin wrapper around CMake: `make`, `make run`, `make test`, `make bench`, `make clean`,
# `make install PREFIX=dir`.
BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test bench clean install

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

clean:
	rm -rf $(BUILD)
