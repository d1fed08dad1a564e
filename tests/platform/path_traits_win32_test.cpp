// SPDX-License-Identifier: MIT
// The names Windows would change, which the writer refuses to make.
#include <gtest/gtest.h>

#include "platform/path_traits.h"

namespace {

TEST(WindowsNames, DeviceNamesAndTrailingDotsOrBlanksAreChanged) {
  for (const char* name : {"photos.", "photos ", "CON", "con", "Nul.tar", "aux.x.y", "PRN", "COM1",
                           "com9.txt", "LPT5", "lpt1.png"})
    EXPECT_TRUE(PathTraits::IsNameTheSystemChanges(name)) << name;
  for (const char* name : {"photos", "CONSOLE", "com", "COM0", "COM10", "LPT", "nul_", "a.b", ".x",
                           "auxiliary.txt", "C", ""})
    EXPECT_FALSE(PathTraits::IsNameTheSystemChanges(name)) << name;
}

}  // namespace
