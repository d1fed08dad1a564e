# SPDX-License-Identifier: MIT
# x86, 32-bit little-endian (Debian g++-i686-linux-gnu, run under qemu-i386).
#   cmake -S . -B build-cross-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/cross-i686.cmake
# (make test-cross ARCH=i686 makes the machine ready and runs the suite).
set(LUMVANE_CROSS_PROCESSOR i686)
set(LUMVANE_CROSS_TRIPLET i686-linux-gnu)
set(LUMVANE_CROSS_MULTIARCH i386-linux-gnu)
set(LUMVANE_CROSS_QEMU qemu-i386)
set(LUMVANE_CROSS_LOADER lib/ld-linux.so.2)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
