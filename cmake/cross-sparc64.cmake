# SPDX-License-Identifier: MIT
# SPARC V9, 64-bit big-endian, the Sun scheme's home (Debian
# g++-sparc64-linux-gnu, run under qemu-sparc64).
#   cmake -S . -B build-cross-sparc64 -DCMAKE_TOOLCHAIN_FILE=cmake/cross-sparc64.cmake
# (make test-cross ARCH=sparc64 makes the machine ready and runs the suite).
set(LUMVANE_CROSS_PROCESSOR sparc64)
set(LUMVANE_CROSS_TRIPLET sparc64-linux-gnu)
set(LUMVANE_CROSS_MULTIARCH sparc64-linux-gnu)
set(LUMVANE_CROSS_QEMU qemu-sparc64)
set(LUMVANE_CROSS_LOADER lib64/ld-linux.so.2)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
