// SPDX-License-Identifier: MIT
// The tool's string table, compiled in (on Windows the executable's
// string-table resource, lumvane.rc, serves the same entries).
#include "tool/lumvane.h"
#include "tool/lumvane_strings.h"

const char* AfxLookupString(UINT id) {
  switch (id) {
    case IDS_BANNER:
      return IDS_BANNER_TEXT;
    default:
      return nullptr;
  }
}
