# SPDX-License-Identifier: MIT
# ARMv7 with hardware floating point, 32-bit little-endian, the Acorn scheme's
# home (Debian g++-arm-linux-gnueabihf, run under qemu-arm).
#   cmake -S . -B build-cross-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/cross-armhf.cmake
# (make test-cross ARCH=armhf makes the machine ready and runs the suite).
set(LUMVANE_CROSS_PROCESSOR armv7l)
set(LUMVANE_CROSS_TRIPLET arm-linux-gnueabihf)
set(LUMVANE_CROSS_MULTIARCH arm-linux-gnueabihf)
set(LUMVANE_CROSS_QEMU qemu-arm)
set(LUMVANE_CROSS_LOADER lib/ld-linux-armhf.so.3)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
