# SPDX-License-Identifier: MIT
# Motorola 68000, 32-bit big-endian, the Amiga scheme's home (Debian
# g++-m68k-linux-gnu, run under qemu-m68k).
#   cmake -S . -B build-cross-m68k -DCMAKE_TOOLCHAIN_FILE=cmake/cross-m68k.cmake
# (make test-cross ARCH=m68k makes the machine ready and runs the suite).
set(LUMVANE_CROSS_PROCESSOR m68k)
set(LUMVANE_CROSS_TRIPLET m68k-linux-gnu)
set(LUMVANE_CROSS_MULTIARCH m68k-linux-gnu)
set(LUMVANE_CROSS_QEMU qemu-m68k)
set(LUMVANE_CROSS_LOADER lib/ld.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
