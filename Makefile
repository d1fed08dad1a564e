# Thin driver over CMake. Every target checks its tools first (scripts/require).
BUILD      ?= build
GENERATOR  ?= Ninja
WERROR     ?= ON
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

BUILD_PACKAGES := cmake ninja-build g++ make googletest libgtest-dev libgmock-dev
TEST_PACKAGES  := $(BUILD_PACKAGES) parted
# The Windows build: MinGW-w64 cross compiler, GoogleTest's sources, and Wine
# to run the tests. flock (util-linux) serialises making the Wine prefix.
WINBUILD         ?= build-windows
WINDOWS_PACKAGES := cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest
WINE_PACKAGES    := $(WINDOWS_PACKAGES) wine64 util-linux

.PHONY: all build test test-native windows test-windows demo demo-kelb clean

all: build

build:
	@scripts/require $(BUILD_PACKAGES)
	cmake -S . -B $(BUILD) -G $(GENERATOR) -DLUMVANE_WERROR=$(WERROR)
	cmake --build $(BUILD) -j $(JOBS)

# The native suite, then the Windows suite under Wine.
test: test-native
	@$(MAKE) --no-print-directory test-windows

test-native: build
	@scripts/require $(TEST_PACKAGES)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Lumvane.exe (and the Windows tests), statically linked; checks that it
# needs no DLL beyond those Windows ships.
windows:
	@scripts/require $(WINDOWS_PACKAGES)
	cmake -S . -B $(WINBUILD) -G $(GENERATOR) -DLUMVANE_WERROR=$(WERROR) \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WINBUILD) -j $(JOBS)
	scripts/check-windows-imports $(WINBUILD)

test-windows: windows
	@scripts/require $(WINE_PACKAGES)
	ctest --test-dir $(WINBUILD) --output-on-failure -j $(JOBS)

demo: build demo-kelb
	@echo "make demo arrives with the Lumvane tool; nothing to show yet."

# Writes a small disk image of each scheme (Sun, Amiga, Apple, Acorn) and
# lists it with kelb-probe.
demo-kelb: build
	$(BUILD)/host/kelb-sample-sun $(BUILD)/sample-sun.img
	$(BUILD)/host/kelb-probe $(BUILD)/sample-sun.img
	$(BUILD)/host/kelb-sample-amiga $(BUILD)/sample-amiga.img
	$(BUILD)/host/kelb-probe $(BUILD)/sample-amiga.img
	$(BUILD)/host/kelb-sample-apple $(BUILD)/sample-apple.img
	$(BUILD)/host/kelb-probe $(BUILD)/sample-apple.img
	$(BUILD)/host/kelb-sample-acorn $(BUILD)/sample-acorn.img
	$(BUILD)/host/kelb-probe $(BUILD)/sample-acorn.img

clean:
	rm -rf $(BUILD) $(WINBUILD)
