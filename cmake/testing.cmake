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
