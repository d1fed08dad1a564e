# SPDX-License-Identifier: MIT
# Thin driver over CMake. Every target checks its tools first (scripts/require).
BUILD      ?= build
GENERATOR  ?= Ninja
# Warnings as errors: CMake's LUMVANE_WERROR (off) unless WERROR=ON or OFF is given;
# CI gives WERROR=ON.
WERROR     ?=
WERROR_FLAG = $(if $(WERROR),-DLUMVANE_WERROR=$(WERROR))
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

# libelf-dev: the host reads module files through libelf.
BUILD_PACKAGES := cmake ninja-build g++ make googletest libgtest-dev libgmock-dev libelf-dev
# python3: the JSON output is checked with its json module. util-linux:
# setpriv, which runs the permission checks as nobody under root. mount:
# losetup, which gives root a block device to open where the machine has no
# readable one. tmux: a terminal's finished screen, for the progress line's
# test.
TEST_PACKAGES  := $(BUILD_PACKAGES) parted pngcheck python3 util-linux mount tmux
# fio: the direct reads make bench-cold sets lumvane against; util-linux: fincore.
BENCH_PACKAGES := $(BUILD_PACKAGES) libbenchmark-dev foremost time python3 fio util-linux
# The Windows build: MinGW-w64 cross compiler, GoogleTest's sources, and Wine
# to run the tests. flock (util-linux) serialises making the Wine prefix; tmux and
# python3: Lumvane.exe interrupted on a terminal (tests/win32/interrupt_under_wine.sh).
WINBUILD         ?= build-windows
WINDOWS_PACKAGES := cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest
WINE_PACKAGES    := $(WINDOWS_PACKAGES) wine64 util-linux tmux python3
# Installing: `make install PREFIX=/opt/lumvane DESTDIR=/tmp/stage`.
# Packages: a release build of its own, prefix /usr, made into a .deb by
# CPack; dpkg-shlibdeps (dpkg-dev) computes its dependencies. Testing the
# package runs lintian on it, installs it, runs both programs from PATH and
# reads the manual pages (man-db).
PREFIX           ?= /usr/local
DESTDIR          ?=
PKGBUILD         ?= build-package
PACKAGE_PACKAGES := $(BUILD_PACKAGES) dpkg-dev gzip
PACKAGE_TEST_PACKAGES := $(PACKAGE_PACKAGES) man-db groff-base lintian
# The package is compiled with Debian's own flags, all hardening on (fortified
# functions, stack protector, relocations read-only and bound at load time),
# as Debian builds its packages; CMake's release flags come after them.
PACKAGE_FLAGS := DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
WINDOWS_ZIP_PACKAGES  := $(WINDOWS_PACKAGES) unzip
# The sanitized suite and the fuzz targets: clang with its sanitizer and
# libFuzzer runtimes.
SANBUILD          ?= build-sanitize
FUZZBUILD         ?= build-fuzz
SANITIZE_PACKAGES := $(TEST_PACKAGES) clang-14 libclang-rt-14-dev
# make lint / make format: the house style (.clang-format), clang-format 14.
LINT_PACKAGES     := clang-format-14 git
FUZZ_SECONDS      ?= 60
# Reports end the run with a stack; leaks are reported too.
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1 \
                 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Cross builds for Linux on other processors, the suite run under qemu-user:
# `make test-cross ARCH=s390x`. ARCH is s390x (64-bit big-endian), i686
# (32-bit), or one of the modules' home machines: powerpc (Apple), m68k
# (Amiga), sparc64 (Sun), armhf (Acorn). scripts/cross-setup installs the
# cross compiler, qemu and the target's libelf (adding the dpkg architecture
# where Debian builds the target). CROSS_TESTS=kelb builds and runs only the
# modules' and kelb-probe's checks (CTest label kelb). Tests that cannot
# run under qemu-user are listed, with the reason, in cmake/qemu-limits.cmake.
ARCH        ?= s390x
CROSSBUILD  ?= build-cross-$(ARCH)
CROSS_TESTS ?= all
CROSS_TEST_PACKAGES := parted python3 util-linux mount tmux
CROSS_TARGET_all  :=
CROSS_TARGET_kelb := --target kelb_checks
CROSS_LABEL_all   :=
CROSS_LABEL_kelb  := -L kelb

# make bench: Release build of its own; inputs generated once and reused.
BENCH_BUILD     ?= build-bench
BENCH_DATA      ?= /var/tmp/lumvane-bench
BENCH_OUT       ?= /dev/shm
BENCH_RUNS      ?= 5
BENCH_WORKLOADS ?= many-64m,few-64m,many-1g,few-1g,many-1g-random,few-1g-random
# make bench-cold (on demand, never in CI): an input smaller than memory and
# one larger (BENCH_COLD_SIZES, the second may be made smaller for a quick
# run), the caches dropped before each run; needs root and the inputs' sizes
# of free disk in BENCH_COLD_DATA (plus the images' 3% in BENCH_OUT).
BENCH_COLD_DATA  ?= /var/tmp/lumvane-bench-cold
BENCH_COLD_SIZES ?= 4G,28G
BENCH_COLD_RUNS  ?= 3

.PHONY: all build test test-native test-sanitize fuzz windows test-windows demo demo-lumvane demo-kelb \
        bench bench-build bench-cold clean install package windows-zip test-package test-windows-zip \
        lint format cross test-cross test-release

all: build

build:
	@scripts/require $(BUILD_PACKAGES)
	cmake -S . -B $(BUILD) -G $(GENERATOR) $(WERROR_FLAG)
	cmake --build $(BUILD) -j $(JOBS)

# The native suite, then the Windows suite under Wine.
test: test-native
	@$(MAKE) --no-print-directory test-windows

test-native: build
	@scripts/require $(TEST_PACKAGES)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The native suite built as users build it, Release, in a folder of its own
# (warnings are errors there too: the optimiser finds some that a debug build
# does not).
RELBUILD ?= build-release
test-release:
	@scripts/require $(TEST_PACKAGES)
	cmake -S . -B $(RELBUILD) -G $(GENERATOR) $(WERROR_FLAG) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(RELBUILD) -j $(JOBS)
	ctest --test-dir $(RELBUILD) --output-on-failure -j $(JOBS)

# Every C and C++ file in the house style, every source file with its SPDX
# licence line; fails on any difference. make format rewrites the files.
lint:
	@scripts/require $(LINT_PACKAGES)
	scripts/lint

format:
	@scripts/require $(LINT_PACKAGES)
	scripts/lint --fix

# The whole native suite built with clang-14 under AddressSanitizer and
# UndefinedBehaviorSanitizer (modules included); any report fails its test.
test-sanitize:
	@scripts/require $(SANITIZE_PACKAGES)
	cmake -S . -B $(SANBUILD) -G $(GENERATOR) $(WERROR_FLAG) \
	  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DLUMVANE_SANITIZE=ON
	cmake --build $(SANBUILD) -j $(JOBS)
	$(SANITIZER_ENV) ctest --test-dir $(SANBUILD) --output-on-failure -j $(JOBS)

# Every fuzz target for FUZZ_SECONDS seconds from its committed seed corpus
# (fuzz/corpus/NAME); new inputs go to $(FUZZBUILD)/corpus/NAME, crashes to
# $(FUZZBUILD)/crashes/. Fails on the first crash, leak or sanitizer report.
fuzz:
	@scripts/require $(SANITIZE_PACKAGES)
	cmake -S . -B $(FUZZBUILD) -G $(GENERATOR) $(WERROR_FLAG) \
	  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
	  -DLUMVANE_FUZZ=ON -DLUMVANE_TESTS=OFF
	cmake --build $(FUZZBUILD) -j $(JOBS)
	$(SANITIZER_ENV) scripts/run-fuzz $(FUZZBUILD) $(FUZZ_SECONDS)

# Lumvane.exe (and the Windows tests), statically linked; checks that it
# needs no DLL beyond those Windows ships.
windows:
	@scripts/require $(WINDOWS_PACKAGES)
	cmake -S . -B $(WINBUILD) -G $(GENERATOR) $(WERROR_FLAG) \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WINBUILD) -j $(JOBS)
	scripts/check-windows-imports $(WINBUILD)

test-windows: windows
	@scripts/require $(WINE_PACKAGES)
	ctest --test-dir $(WINBUILD) --output-on-failure -j $(JOBS)

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# $(PKGBUILD)/lumvane_VERSION_ARCH.deb
package:
	@scripts/require $(PACKAGE_PACKAGES)
	cmake -S . -B $(PKGBUILD) -G $(GENERATOR) $(WERROR_FLAG) \
	  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DLUMVANE_TESTS=OFF \
	  -DCMAKE_C_FLAGS="$$($(PACKAGE_FLAGS) CPPFLAGS) $$($(PACKAGE_FLAGS) CFLAGS)" \
	  -DCMAKE_CXX_FLAGS="$$($(PACKAGE_FLAGS) CPPFLAGS) $$($(PACKAGE_FLAGS) CXXFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$($(PACKAGE_FLAGS) LDFLAGS)" \
	  -DCMAKE_MODULE_LINKER_FLAGS="$$($(PACKAGE_FLAGS) LDFLAGS)"
	cmake --build $(PKGBUILD) -j $(JOBS)
	rm -f $(PKGBUILD)/lumvane_*.deb
	cd $(PKGBUILD) && cpack -G DEB
	dpkg-deb --info $(PKGBUILD)/lumvane_*.deb
	dpkg-deb --contents $(PKGBUILD)/lumvane_*.deb

# $(WINBUILD)/Lumvane-VERSION-win64.zip: Lumvane.exe, the README and LICENSE.
windows-zip: windows
	@scripts/require $(WINDOWS_ZIP_PACKAGES)
	rm -f $(WINBUILD)/Lumvane-*-win64.zip
	cd $(WINBUILD) && cpack -G ZIP
	unzip -l $(WINBUILD)/Lumvane-*-win64.zip

# Unpacks the zip and runs its Lumvane.exe under Wine on a sample.
test-windows-zip: windows-zip
	@scripts/require $(WINE_PACKAGES) unzip
	tests/package/test-windows-zip.sh $(WINBUILD)

# Checks the .deb with lintian (no error or warning but those overridden with
# a reason), installs it (as root with dpkg, else into a scratch root), runs both
# programs from PATH on samples, reads the manual pages, then removes it and
# checks that nothing of it is left.
# The sample writers are test material, built in $(BUILD) (target testdata).
test-package: package
	@scripts/require $(PACKAGE_TEST_PACKAGES)
	cmake -S . -B $(BUILD) -G $(GENERATOR) $(WERROR_FLAG)
	cmake --build $(BUILD) -j $(JOBS) --target testdata
	tests/package/test-package.sh $(PKGBUILD) $(BUILD)

# Each demo-* target runs one program on a sample of ours in a scratch
# folder under $(DEMO_DIR); demo runs them all.
DEMO_DIR ?= $(BUILD)/demo

demo: demo-lumvane demo-kelb

demo-lumvane: build
	@rm -rf $(DEMO_DIR)/lumvane && mkdir -p $(DEMO_DIR)/lumvane
	@cp testdata/sample.bin $(DEMO_DIR)/lumvane/
	cd $(DEMO_DIR)/lumvane && $(abspath $(BUILD))/tool/lumvane sample.bin < /dev/null
	@echo "Images written to $(DEMO_DIR)/lumvane/sample/:"
	@ls -l $(DEMO_DIR)/lumvane/sample

# Writes a small disk image of each scheme (Sun, Amiga, Apple, Acorn) and
# lists it with kelb-probe.
demo-kelb: build
	@set -e; for scheme in sun amiga apple acorn; do \
	  echo "$(BUILD)/host/kelb-probe $(BUILD)/sample-$$scheme.img"; \
	  $(BUILD)/testdata/kelb-sample-$$scheme $(BUILD)/sample-$$scheme.img; \
	  $(BUILD)/host/kelb-probe $(BUILD)/sample-$$scheme.img; \
	done

cross:
	@scripts/cross-setup $(ARCH) $(CROSSBUILD)/deps
	cmake -S . -B $(CROSSBUILD) -G $(GENERATOR) $(WERROR_FLAG) \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/cross-$(ARCH).cmake -DCMAKE_BUILD_TYPE=Release \
	  -DLUMVANE_CROSS_DEPS=$(abspath $(CROSSBUILD)/deps)
	cmake --build $(CROSSBUILD) -j $(JOBS) $(CROSS_TARGET_$(CROSS_TESTS))

test-cross: cross
	@scripts/require $(CROSS_TEST_PACKAGES)
	ctest --test-dir $(CROSSBUILD) --output-on-failure -j $(JOBS) $(CROSS_LABEL_$(CROSS_TESTS))

bench-build:
	@scripts/require $(BENCH_PACKAGES)
	cmake -S . -B $(BENCH_BUILD) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Release \
	  $(WERROR_FLAG) -DLUMVANE_TESTS=OFF -DLUMVANE_BENCH=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS)

bench: bench-build
	@if [ -x $(BENCH_BUILD)/bench/lumvane-scanbench ]; then \
	  $(BENCH_BUILD)/bench/lumvane-scanbench; \
	else echo "bench: no scanning core microbenchmark (Google Benchmark or the core missing)"; fi
	python3 bench/run.py --build $(BENCH_BUILD) --data $(BENCH_DATA) --out $(BENCH_OUT) \
	  --runs $(BENCH_RUNS) --workloads $(BENCH_WORKLOADS) --markdown $(BENCH_BUILD)/results.md

# Times lumvane against fio, cat and foremost reading each input from the disk.
bench-cold: bench-build
	python3 bench/cold.py --build $(BENCH_BUILD) --data $(BENCH_COLD_DATA) --out $(BENCH_OUT) \
	  --sizes $(BENCH_COLD_SIZES) --runs $(BENCH_COLD_RUNS) --markdown $(BENCH_BUILD)/cold.md

clean:
	rm -rf $(BUILD) $(WINBUILD) $(BENCH_BUILD) $(PKGBUILD) $(SANBUILD) $(FUZZBUILD) $(RELBUILD) build-cross-*
