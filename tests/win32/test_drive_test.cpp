// SPDX-License-Identifier: MIT
// The scratch drive the Windows tests work on: a real drive letter whose
// root is reported the way Windows reports a drive root.
#include "tests/win32/win32_support.h"

#include <string>

namespace {

using namespace win32test;

TEST(TestDrive, RootIsADirectoryAndReadsBackWithItsBackslash) {
  const std::string drive = TestDrive();
  if (drive.empty()) GTEST_SKIP() << "LUMVANE_TEST_DRIVE names no scratch drive";
  ASSERT_EQ(drive.size(), 2u);
  ASSERT_EQ(drive[1], ':');

  const std::string root = drive + "\\";
  const DWORD attributes = GetFileAttributesA(root.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << root;
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);

  char saved[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryA(MAX_PATH, saved), 0u);
  ASSERT_TRUE(SetCurrentDirectoryA(root.c_str()));
  char current[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryA(MAX_PATH, current), 0u);
  EXPECT_EQ(std::string(current), root);
  ASSERT_TRUE(SetCurrentDirectoryA(saved));
}

}  // namespace
