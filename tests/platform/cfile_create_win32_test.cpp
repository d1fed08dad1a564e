// SPDX-License-Identifier: MIT
// CFile's creation in a held folder on the scratch drive named by
// LUMVANE_TEST_DRIVE (E: under Wine).
#include "tests/win32/win32_support.h"

#include "platform/afx.h"
#include "platform/folder.h"

namespace {

using namespace win32test;

// Creating a file over an old one never changes a file elsewhere: not
// through a second name (hard link), not through a symbolic link, not into a
// read-only file; a plain old file is cut. By name, a file is never made.
TEST(WindowsCreate, NeverWritesThroughALinkOrIntoAReadOnlyFile) {
  ScratchFolder scratch;
  REQUIRE_TEST_DRIVE(scratch);
  const std::string d = scratch / "d";
  ASSERT_TRUE(MakeDir(d));
  ASSERT_TRUE(WriteFileBytes(scratch / "outside.txt", "keep me"));
  ASSERT_TRUE(
      CreateHardLinkA((d + "\\hard.png").c_str(), (scratch / "outside.txt").c_str(), nullptr));
  ASSERT_TRUE(MakeSymbolicLink(d, "../outside.txt", "soft.png"));
  ASSERT_TRUE(WriteFileBytes(d + "\\readonly.png", "old"));
  ASSERT_TRUE(SetFileAttributesA((d + "\\readonly.png").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(WriteFileBytes(d + "\\plain.png", "old"));

  CFolder folder;
  ASSERT_TRUE(folder.Open(d.c_str()));
  for (const char* name : {"hard.png", "soft.png", "readonly.png"}) {
    CFile file;
    EXPECT_FALSE(file.OpenIn(folder, name, CFile::modeCreate | CFile::modeWrite)) << name;
  }
  EXPECT_EQ(ReadFileBytes(scratch / "outside.txt"), "keep me");
  EXPECT_EQ(ReadFileBytes(d + "\\readonly.png"), "old");

  CFile plain;
  EXPECT_FALSE(plain.Open((d + "\\plain.png").c_str(), CFile::modeCreate | CFile::modeWrite));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  ASSERT_TRUE(plain.OpenIn(folder, "plain.png", CFile::modeCreate | CFile::modeWrite));
  EXPECT_TRUE(plain.Write("new", 3));
  EXPECT_TRUE(plain.Close());
  EXPECT_EQ(ReadFileBytes(d + "\\plain.png"), "new");
  folder.Close();
  RemoveSymbolicLink(d, "soft.png");
}

}  // namespace
