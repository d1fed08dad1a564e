// SPDX-License-Identifier: MIT
// The file identity questions the writer asks before it empties a folder,
// over the real system: spellings differ (slashes, doubled backslashes, case,
// "..") but the folder is the same.
#include "tests/win32/win32_support.h"

#include "platform/fsinfo.h"

namespace {

using namespace win32test;

TEST(WindowsFileIdentity, SameFolderHoweverSpelled) {
  ScratchFolder scratch;
  REQUIRE_TEST_DRIVE(scratch);
  const std::string a = scratch / "a";
  ASSERT_TRUE(CreateDirectoryA(a.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(a + "\\f.bin", "x"));
  ASSERT_TRUE(WriteFileBytes(scratch / "g.bin", "y"));

  EXPECT_TRUE(AfxIsDirectory(a.c_str()));
  EXPECT_FALSE(AfxIsDirectory((a + "\\f.bin").c_str()));
  EXPECT_FALSE(AfxIsDirectory((a + "\\missing").c_str()));

  std::string upper = a;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(AfxIsSameFile(a.c_str(), upper.c_str()));
  EXPECT_TRUE(AfxIsSameFile(a.c_str(), (scratch.path() + "/a/../a").c_str()));
  EXPECT_FALSE(AfxIsSameFile(a.c_str(), scratch.path().c_str()));
  EXPECT_FALSE(AfxIsSameFile(a.c_str(), (a + "\\missing").c_str()));

  CString real;
  ASSERT_TRUE(AfxResolveRealPath((scratch.path() + "/a/./f.bin").c_str(), real));
  EXPECT_TRUE(AfxIsSameFile(real, (a + "\\f.bin").c_str())) << real.GetString();

  // The folder holding a file, and each one above it up to the root.
  const std::string file = a + "\\f.bin";
  EXPECT_TRUE(AfxIsDirectoryAtOrAbove(a.c_str(), file.c_str()));
  EXPECT_TRUE(AfxIsDirectoryAtOrAbove((scratch.path() + "\\\\a").c_str(), file.c_str()));
  EXPECT_TRUE(AfxIsDirectoryAtOrAbove(scratch.path().c_str(), file.c_str()));
  EXPECT_TRUE(AfxIsDirectoryAtOrAbove((win32test::TestDrive() + "\\").c_str(), file.c_str()));
  // Not a folder beside it or below it, nor the file itself.
  EXPECT_FALSE(AfxIsDirectoryAtOrAbove(a.c_str(), (scratch / "g.bin").c_str()));
  EXPECT_FALSE(AfxIsDirectoryAtOrAbove(file.c_str(), file.c_str()));
  EXPECT_FALSE(AfxIsDirectoryAtOrAbove((a + "\\missing").c_str(), file.c_str()));
}

}  // namespace
