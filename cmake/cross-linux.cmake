# SPDX-License-Identifier: MIT
# Cross-build for Linux on another processor, with Debian's cross compiler
# (g++-TRIPLET), the programs run under qemu-user. Included by the toolchain
# files cmake/cross-ARCH.cmake, which set:
#   LUMVANE_CROSS_PROCESSOR  CMAKE_SYSTEM_PROCESSOR
#   LUMVANE_CROSS_TRIPLET    the compiler's prefix; /usr/TRIPLET holds the
#                            target's C and C++ libraries
#   LUMVANE_CROSS_MULTIARCH  Debian's library folder name for the target
#   LUMVANE_CROSS_QEMU       qemu-user's program for the target
#   LUMVANE_CROSS_LOADER     the dynamic loader's path in /usr/TRIPLET
# scripts/cross-setup ARCH makes the machine ready and puts libelf and zlib
# for the target in LUMVANE_CROSS_DEPS/root (default: deps/ in the build
# folder); `make test-cross ARCH=...` does both and runs the suite.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${LUMVANE_CROSS_PROCESSOR})
set(CMAKE_LIBRARY_ARCHITECTURE ${LUMVANE_CROSS_MULTIARCH})

find_program(CMAKE_C_COMPILER NAMES ${LUMVANE_CROSS_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${LUMVANE_CROSS_TRIPLET}-g++ REQUIRED)

set(LUMVANE_CROSS_DEPS ${CMAKE_BINARY_DIR}/deps CACHE PATH
    "Folder whose root/ holds libelf and zlib for the target (scripts/cross-setup)")
set(_root ${LUMVANE_CROSS_DEPS}/root)
set(CMAKE_FIND_ROOT_PATH /usr/${LUMVANE_CROSS_TRIPLET} ${_root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The built programs start with the cross compiler's own dynamic loader and
# find the target's C and C++ libraries in /usr/TRIPLET, libelf and the zlib
# it needs in the deps folder: no target library is installed on the host,
# and qemu runs them without a prefix of its own (its QEMU_LD_PREFIX would
# also turn every absolute path a program names, / included, into one
# inside the prefix). A run path in the old form (DT_RPATH) also serves the
# libraries' own needs, which the new one (DT_RUNPATH) does not.
set(_sysroot /usr/${LUMVANE_CROSS_TRIPLET})
set(_libdirs ${_root}/usr/lib/${LUMVANE_CROSS_MULTIARCH} ${_root}/lib/${LUMVANE_CROSS_MULTIARCH}
             ${_root}/usr/lib ${_sysroot}/lib ${_sysroot}/lib64)
string(REPLACE ";" ":" _rpath "${_libdirs}")
set(_loader ${_sysroot}/${LUMVANE_CROSS_LOADER})
if(NOT EXISTS ${_loader})
  message(FATAL_ERROR "No dynamic loader ${_loader} (scripts/cross-setup installs it)")
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--dynamic-linker=${_loader} -Wl,--disable-new-dtags -Wl,-rpath,${_rpath}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--disable-new-dtags -Wl,-rpath,${_rpath}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--disable-new-dtags")

# CTest runs each test program under qemu; programs those start reach qemu
# through binfmt_misc (scripts/cross-setup registers it).
find_program(LUMVANE_QEMU NAMES ${LUMVANE_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMVANE_QEMU})
