# Quick start: `make run` (the main job on the shipped examples) and `make test`.
PRESET ?= default
BUILD_DIR = build/$(PRESET)
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test fuzz-configure run package asan core bench fuzz clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET) -j $(JOBS)

test: build fuzz-configure
	@ctest --preset $(PRESET)

# The fuzz preset configured (clang, not built): a file its targets name that
# moved or went away fails here, not at the next `make fuzz`.
fuzz-configure: deps
	@cmake --preset fuzz >/dev/null

run: build
	@scripts/run-demo $(BUILD_DIR)

# kvr61400_VERSAO_amd64.deb and kvr61400-server_VERSAO_amd64.deb in $(BUILD_DIR).
package: build
	@cd $(BUILD_DIR) && cpack -G DEB

asan:
	@$(MAKE) --no-print-directory test PRESET=asan

core:
	@$(MAKE) --no-print-directory test PRESET=core

bench: build
	@scripts/run-bench $(BUILD_DIR)

fuzz:
	@KVR_WITH_FUZZ=1 scripts/install-deps
	@scripts/run-fuzz $${FUZZ_SECONDS:-60}

clean:
	rm -rf build
