# Thin driver over CMake; every interpreter found by tools/pythons.sh gets its own
# build of the extension module under build/cp3XY/.
MAKEFLAGS += --no-print-directory
BUILD   ?= build
JOBS    ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release

.PHONY: all deps configure build test demo bench clean

all: build

deps:
	@tools/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) > $(BUILD).configure.log 2>&1 || { cat $(BUILD).configure.log; exit 1; }

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	@tools/demo.sh $(BUILD)

bench: build
	@cmake --build $(BUILD) -j $(JOBS) --target benches
	@for b in $(BUILD)/bench/bench_*; do echo "== $$b"; $$b; done
	@tools/with-module.sh $(BUILD) bench/memory.py

clean:
	rm -rf $(BUILD) $(BUILD).configure.log
