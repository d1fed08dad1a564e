// SPDX-License-Identifier: MIT
// Path qualification with Windows spellings on the scratch drive named by
// LUMVANE_TEST_DRIVE (E: under Wine): backslashes with slashes accepted,
// drives, drive roots, drive-relative and root-relative names, UNC names.
#include "tests/win32/win32_support.h"

#include "diskobject/DiskObject.h"

namespace {

using namespace win32test;

std::string Normalized(const std::string& path) {
  CDiskObject disk(nullptr);
  CString text(path.c_str());
  disk.NormalizeDirectoryPath(text);
  return text.GetString();
}

std::string Resolved(const std::string& path) {
  CDiskObject disk(nullptr);
  CString text(path.c_str());
  disk.ResolveRelativePath(text);
  return text.GetString();
}

TEST(WindowsQualify, RelativeRootRelativeAndDrivePaths) {
  ScratchFolder scratch;
  REQUIRE_TEST_DRIVE(scratch);
  const std::string drive = TestDrive();
  const std::string work = scratch / "work";
  ASSERT_TRUE(MakeDir(work));
  ASSERT_TRUE(Enter(work));

  EXPECT_EQ(Normalized("data/out"), work + "\\data\\out\\");
  EXPECT_EQ(Normalized("data\\out\\"), work + "\\data\\out\\");
  EXPECT_EQ(Normalized(""), work + "\\");
  // A root-relative path takes the current drive.
  EXPECT_EQ(Normalized("\\data\\out"), drive + "\\data\\out\\");
  EXPECT_EQ(Normalized("/data/out"), drive + "\\data\\out\\");
  EXPECT_EQ(Normalized("\\"), drive + "\\");
  // A drive stops the resolution, also before a relative directory.
  EXPECT_EQ(Normalized(drive + "/work"), drive + "\\work\\");
  EXPECT_EQ(Normalized(drive + "out"), drive + "out\\");
  EXPECT_EQ(Resolved(drive + "out"), drive + "out");
  // Three dots are a name, not a parent step.
  EXPECT_EQ(Normalized("...\\x"), work + "\\...\\x\\");
  EXPECT_EQ(CurrentDirectory(), work);
}

TEST(WindowsQualify, LeadingParentStepsAreTakenAndTheDirectoryRestored) {
  ScratchFolder scratch;
  REQUIRE_TEST_DRIVE(scratch);
  const std::string a = scratch / "a";
  ASSERT_TRUE(MakeDir(a) && MakeDir(a + "\\b") && MakeDir(a + "\\b\\c"));

  ASSERT_TRUE(Enter(a + "\\b\\c"));
  EXPECT_EQ(Normalized("..\\..\\out"), a + "\\out\\");
  EXPECT_EQ(Normalized("../../out"), a + "\\out\\");
  EXPECT_EQ(Normalized(".."), a + "\\b\\");
  EXPECT_EQ(CurrentDirectory(), a + "\\b\\c");

  ASSERT_TRUE(Enter(a + "\\b"));
  // After normalizing the last part is a directory, dot and all...
  EXPECT_EQ(Normalized("..\\x\\y.z"), a + "\\x\\y.z\\");
  // ...while resolving alone splits it into name and extension and keeps both.
  EXPECT_EQ(Resolved("..\\x\\y.z"), a + "\\x\\y.z");
  EXPECT_EQ(CurrentDirectory(), a + "\\b");
}

TEST(WindowsQualify, DriveRootAsCurrentDirectoryGivesTwoBackslashes) {
  ScratchFolder scratch;
  REQUIRE_TEST_DRIVE(scratch);
  const std::string drive = TestDrive();
  ASSERT_TRUE(Enter(drive + "\\"));
  ASSERT_EQ(CurrentDirectory(), drive + "\\");  // the root keeps its backslash

  EXPECT_EQ(Normalized("out"), drive + "\\\\out\\");
  EXPECT_EQ(Normalized(""), drive + "\\\\");
  // Surplus parent steps stop at the root.
  EXPECT_EQ(Normalized("..\\..\\out"), drive + "\\\\out\\");
  EXPECT_EQ(CurrentDirectory(), drive + "\\");
}

TEST(WindowsQualify, UncNamesAreFinalWithoutTheCurrentDirectory) {
  ScratchFolder scratch;
  REQUIRE_TEST_DRIVE(scratch);
  ASSERT_TRUE(Enter(scratch.path()));
  EXPECT_EQ(Normalized("//server/share/dir"), "\\\\server\\share\\dir\\");
  EXPECT_EQ(Normalized("\\\\server\\share\\dir\\"), "\\\\server\\share\\dir\\");
  EXPECT_EQ(Normalized("\\\\"), "\\\\");
  EXPECT_EQ(Normalized("//"), "\\\\");
  EXPECT_EQ(CurrentDirectory(), scratch.path());
}

}  // namespace
