# SPDX-License-Identifier: MIT
# PowerPC, 32-bit big-endian, the Apple scheme's home (Debian g++-powerpc-
# linux-gnu, run under qemu-ppc).
#   cmake -S . -B build-cross-powerpc -DCMAKE_TOOLCHAIN_FILE=cmake/cross-powerpc.cmake
# (make test-cross ARCH=powerpc makes the machine ready and runs the suite).
set(LUMVANE_CROSS_PROCESSOR ppc)
set(LUMVANE_CROSS_TRIPLET powerpc-linux-gnu)
set(LUMVANE_CROSS_MULTIARCH powerpc-linux-gnu)
set(LUMVANE_CROSS_QEMU qemu-ppc)
set(LUMVANE_CROSS_LOADER lib/ld.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
