# SPDX-License-Identifier: MIT
# lumvane_add_gtest(TARGET [ARGS...])
# Registers a GoogleTest executable with CTest. Natively every test case is
# its own CTest test; in a cross build each executable is one test run by the
# emulator (Wine), since starting Wine once per test case, and once more to
# list them, would multiply the run time for nothing.
include(GoogleTest)
function(lumvane_add_gtest target)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${target} COMMAND ${target} ${ARGN})
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
