# Entry points for a fresh machine: each target bootstraps what is missing, configures and builds.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all bootstrap configure build test demo demo-train bench asan clean

all: build

bootstrap:
	@scripts/bootstrap.sh

configure: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@examples/demo.sh $(BUILD)

demo-train: build
	@examples/shapes/train.sh $(BUILD)

bench: bootstrap
	@cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_BENCH=ON -DQUILLON_TESTS=OFF >/dev/null
	@cmake --build build-bench -j $(JOBS)
	@bench/run.sh build-bench

asan: bootstrap
	@cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_SANITIZE=address,undefined >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf build build-asan build-bench
