# SPDX-License-Identifier: MIT
# IBM Z, 64-bit big-endian (Debian g++-s390x-linux-gnu, run under qemu-s390x).
#   cmake -S . -B build-cross-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/cross-s390x.cmake
# (make test-cross ARCH=s390x makes the machine ready and runs the suite).
set(LUMVANE_CROSS_PROCESSOR s390x)
set(LUMVANE_CROSS_TRIPLET s390x-linux-gnu)
set(LUMVANE_CROSS_MULTIARCH s390x-linux-gnu)
set(LUMVANE_CROSS_QEMU qemu-s390x)
set(LUMVANE_CROSS_LOADER lib/ld64.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
