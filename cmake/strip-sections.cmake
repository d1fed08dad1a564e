# SPDX-License-Identifier: MIT
# Install-time step: when the install strips (CMAKE_INSTALL_DO_STRIP, as
# CPack does), removes the .comment and .note sections from the installed
# LUMVANE_STRIP_FILES (paths under the prefix) with LUMVANE_STRIP.
if(CMAKE_INSTALL_DO_STRIP)
  foreach(file IN LISTS LUMVANE_STRIP_FILES)
    set(path "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${file}")
    execute_process(COMMAND "${LUMVANE_STRIP}" --remove-section=.comment
                            --remove-section=.note "${path}"
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${LUMVANE_STRIP} --remove-section on ${path}: ${status}")
    endif()
  endforeach()
endif()
