# Thin driver over CMake. Every target checks its tools first (scripts/require).
BUILD      ?= build
GENERATOR  ?= Ninja
WERROR     ?= ON
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

BUILD_PACKAGES := cmake ninja-build g++ make googletest libgtest-dev libgmock-dev
TEST_PACKAGES  := $(BUILD_PACKAGES) parted

.PHONY: all build test demo clean

all: build

build:
	@scripts/require $(BUILD_PACKAGES)
	cmake -S . -B $(BUILD) -G $(GENERATOR) -DLUMVANE_WERROR=$(WERROR)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	@scripts/require $(TEST_PACKAGES)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	@echo "make demo arrives with the Lumvane tool; nothing to show yet."

clean:
	rm -rf $(BUILD)
