// SPDX-License-Identifier: MIT
// Lumvane's string table: compiled in on POSIX (string_table.cpp), and on
// Windows the executable's string-table resource (lumvane.rc), so LoadString
// reads the same text on every build. Only preprocessor lines: the resource
// compiler reads this file too.
#define IDS_BANNER 2
#define IDS_BANNER_TEXT \
  "\nLumvane Version 2.01-bld-060413\n    Published by the Lumvane project\n    Written by the Lumvane developers\n\n"
