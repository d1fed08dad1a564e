# SPDX-License-Identifier: MIT
# lumvane_add_gtest(TARGET [ARGS...])
# Registers a GoogleTest executable with CTest. Natively every test case is
# its own CTest test; in a cross build each executable is one test run by the
# emulator (Wine or qemu-user), since starting it once per test case, and
# once more to list them, would multiply the run time for nothing.
include(GoogleTest)
if(CMAKE_CROSSCOMPILING AND NOT WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/qemu-limits.cmake)
  foreach(limit ${LUMVANE_QEMU_LIMITS})
    string(REPLACE "|" ";" limit "${limit}")
    list(GET limit 0 program)
    list(GET limit 1 cases)
    list(GET limit 2 reason)
    message(STATUS "Left to the native suite: ${program} ${cases}: ${reason}")
  endforeach()
endif()

function(lumvane_add_gtest target)
  if(CMAKE_CROSSCOMPILING)
    # Cases qemu-user cannot run (cmake/qemu-limits.cmake) are left out.
    set(filter)
    foreach(limit ${LUMVANE_QEMU_LIMITS})
      string(REPLACE "|" ";" limit "${limit}")
      list(GET limit 0 program)
      list(GET limit 1 cases)
      if(program STREQUAL target)
        set(filter --gtest_filter=-${cases})
      endif()
    endforeach()
    add_test(NAME ${target} COMMAND ${target} ${filter} ${ARGN})
  else()
    gtest_discover_tests(${target} EXTRA_ARGS ${ARGN} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()

# lumvane_kelb_check(TARGET [TEST...]): TARGET's test, or the tests named,
# are among the modules' and kelb-probe's checks, the ones run on those
# modules' home machines in a cross build: there they carry the CTest label
# `kelb`, and the build target kelb_checks builds their programs alone
# (make test-cross CROSS_TESTS=kelb).
function(lumvane_kelb_check target)
  set_property(GLOBAL APPEND PROPERTY LUMVANE_KELB_CHECKS ${target})
  if(CMAKE_CROSSCOMPILING)
    set(tests ${ARGN})
    if(NOT tests)
      set(tests ${target})
    endif()
    set_tests_properties(${tests} PROPERTIES LABELS kelb)
  endif()
endfunction()
