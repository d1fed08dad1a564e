# SPDX-License-Identifier: MIT
# What `make install` puts where, and the packages made from it.
#
# POSIX (prefix /usr/local for `make install`, /usr for the Debian package):
#   bin/lumvane, bin/kelb-probe
#   ${KELB_INSTALL_MODULE_DIR}/{sun,amiga,apple,acorn}.mod (host/, partmap/)
#   share/man/man1/lumvane.1.gz, kelb-probe.1.gz
#   share/doc/lumvane/README.md, copyright, changelog.gz (Debian's formats)
#   share/lintian/overrides/lumvane (prefix /usr only: the package's)
# Windows: Lumvane.exe, README.md and LICENSE at the top of a zip.
#
# The program targets install themselves where they are defined (host/,
# partmap/); the tool's rule is here so that it follows the target into
# whichever folder defines it.

if(TARGET lumvane)
  if(WIN32)
    install(TARGETS lumvane RUNTIME DESTINATION .)
  else()
    install(TARGETS lumvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endif()

if(WIN32)
  install(FILES README.md LICENSE DESTINATION .)
else()
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# Manual pages: filled in with the version and the module folder, then
# compressed (reproducibly: no name or time stamp in the gzip header).
if(NOT WIN32)
  set(LUMVANE_MAN_PAGES kelb-probe.1)
  if(TARGET lumvane)
    list(APPEND LUMVANE_MAN_PAGES lumvane.1)
  endif()
  set(KELB_MAN_MODULE_RELDIR "${KELB_INSTALLED_MODULE_RELDIR}")
  set(KELB_MAN_MODULE_DIR "${CMAKE_INSTALL_PREFIX}/${KELB_INSTALL_MODULE_DIR}")
  find_program(GZIP_PROGRAM gzip REQUIRED)
  set(compressed)
  foreach(page IN LISTS LUMVANE_MAN_PAGES)
    set(filled "${CMAKE_BINARY_DIR}/man/${page}")
    configure_file("${PROJECT_SOURCE_DIR}/man/${page}.in" "${filled}" @ONLY)
    add_custom_command(
      OUTPUT "${filled}.gz"
      COMMAND "${GZIP_PROGRAM}" -9 -n -k -f "${filled}"
      DEPENDS "${filled}" "${PROJECT_SOURCE_DIR}/man/${page}.in"
      COMMENT "Compressing the manual page ${page}"
      VERBATIM)
    list(APPEND compressed "${filled}.gz")
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${compressed})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# ---- Packages ----------------------------------------------------------------
set(CPACK_PACKAGE_NAME lumvane)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "The Lumvane developers")
set(CPACK_PACKAGE_CONTACT "The Lumvane developers <lumvane@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "PNG extractor for raw data, and kelb partition-map modules")
# Control-file text: lines of at most 79 columns, paragraphs apart.
set(CPACK_PACKAGE_DESCRIPTION
"lumvane finds the PNG images stored inside a file of raw data (a memory
dump, a game archive, a disk image) and writes each one to its own file,
00.png, 01.png, ... in a folder named after the input.

The four partition-map modules of the kelb boot loader (sun, amiga, apple,
acorn) come with kelb-probe, a small stand-in loader that lists the
partitions of a disk image or block device as the modules see them.")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "Lumvane-${PROJECT_VERSION}-win64")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Dependencies come from the binaries themselves (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
endif()

# ---- Debian's documents (cmake/debian/) -----------------------------------------
# copyright: the machine-readable form, its licence text taken from LICENSE
# so that the two cannot drift apart. changelog.gz: the native package's
# changelog, whose latest entry must be this version. The lintian overrides:
# one per module, for the libraries the modules do not link against.
if(NOT WIN32)
  set(debian_src "${PROJECT_SOURCE_DIR}/cmake/debian")
  set(debian_out "${CMAKE_BINARY_DIR}/debian")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               "${PROJECT_SOURCE_DIR}/LICENSE" "${debian_src}/changelog")

  file(READ "${PROJECT_SOURCE_DIR}/LICENSE" licence)
  if(NOT licence MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n(Permission .*[^\n])\n*$")
    message(FATAL_ERROR "LICENSE: no 'Copyright (c) ...' line followed by the licence text")
  endif()
  set(LUMVANE_COPYRIGHT "${CMAKE_MATCH_1}")
  # Continuation lines start with a space; an empty line is a lone " .".
  string(REPLACE "\n\n" "\n.\n" LUMVANE_LICENSE_TEXT "${CMAKE_MATCH_2}")
  string(REPLACE "\n" "\n " LUMVANE_LICENSE_TEXT " ${LUMVANE_LICENSE_TEXT}")
  configure_file("${debian_src}/copyright.in" "${debian_out}/copyright" @ONLY)

  file(STRINGS "${debian_src}/changelog" latest LIMIT_COUNT 1)
  if(NOT latest MATCHES "^${CPACK_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "cmake/debian/changelog: the latest entry is '${latest}', "
                        "not one for ${CPACK_PACKAGE_NAME} ${PROJECT_VERSION}")
  endif()
  configure_file("${debian_src}/changelog" "${debian_out}/changelog" COPYONLY)
  add_custom_command(
    OUTPUT "${debian_out}/changelog.gz"
    COMMAND "${GZIP_PROGRAM}" -9 -n -k -f "${debian_out}/changelog"
    DEPENDS "${debian_out}/changelog"
    COMMENT "Compressing the Debian changelog"
    VERBATIM)
  add_custom_target(debian_changelog ALL DEPENDS "${debian_out}/changelog.gz")
  install(FILES "${debian_out}/copyright" "${debian_out}/changelog.gz"
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # lintian reads overrides from /usr/share/lintian/overrides only.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    get_property(modules GLOBAL PROPERTY KELB_MODULES)
    set(LUMVANE_MODULE_OVERRIDES "")
    foreach(module IN LISTS modules)
      get_target_property(name ${module} OUTPUT_NAME)
      string(APPEND LUMVANE_MODULE_OVERRIDES
             "${CPACK_PACKAGE_NAME}: shared-library-lacks-prerequisites "
             "[usr/${KELB_INSTALL_MODULE_DIR}/${name}.mod]\n")
    endforeach()
    string(STRIP "${LUMVANE_MODULE_OVERRIDES}" LUMVANE_MODULE_OVERRIDES)
    configure_file("${debian_src}/lintian-overrides.in" "${debian_out}/lintian-overrides" @ONLY)
    install(FILES "${debian_out}/lintian-overrides"
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
            RENAME ${CPACK_PACKAGE_NAME})
  endif()
endif()

# Stripped installs (the packages) also lose the compiler's .comment and
# .note sections, which nothing reads at run time, as Debian strips.
if(NOT WIN32 AND CMAKE_STRIP)
  get_property(modules GLOBAL PROPERTY KELB_MODULES)
  set(stripped)
  foreach(target IN ITEMS lumvane kelb-probe)
    if(TARGET ${target})
      list(APPEND stripped "${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>")
    endif()
  endforeach()
  foreach(target IN LISTS modules)
    list(APPEND stripped "${KELB_INSTALL_MODULE_DIR}/$<TARGET_FILE_NAME:${target}>")
  endforeach()
  install(CODE "set(LUMVANE_STRIP \"${CMAKE_STRIP}\")
                set(LUMVANE_STRIP_FILES \"${stripped}\")")
  install(SCRIPT "${PROJECT_SOURCE_DIR}/cmake/strip-sections.cmake")
endif()

include(CPack)
