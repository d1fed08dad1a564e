// SPDX-License-Identifier: MIT
// The string table of the platform tests: compiled in by cstring_test.cpp,
// and on Windows also the executable's string-table resource
// (test_strings.rc), so LoadString reads the same text on every build.
// Only preprocessor lines: the resource compiler reads this file too.
#define TEST_STRING_2 "\nBanner\n\n"
