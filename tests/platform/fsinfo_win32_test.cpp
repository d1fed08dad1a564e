// SPDX-License-Identifier: MIT
// The file identity questions the writer asks before it empties a folder,
// over the real system: spellings differ (slashes, doubled backslashes, case,
// "..") but the folder is the same.
#include "tests/win32/win32_support.h"

#include "platform/folder.h"
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

  CFolder held;
  ASSERT_TRUE(held.Open(a.c_str()));
  std::string upper = a;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(AfxIsSameFolder(held, upper.c_str()));
  EXPECT_TRUE(AfxIsSameFolder(held, (scratch.path() + "/a/../a").c_str()));
  EXPECT_FALSE(AfxIsSameFolder(held, scratch.path().c_str()));
  EXPECT_FALSE(AfxIsSameFolder(held, (a + "\\missing").c_str()));

  CString real;
  ASSERT_TRUE(AfxResolveRealPath((scratch.path() + "/a/./f.bin").c_str(), real));
  std::string holder = real.GetString();
  holder.resize(holder.find_last_of('\\'));
  EXPECT_TRUE(AfxIsSameFolder(held, holder.c_str())) << real.GetString();

  // The folder holding a file, and each one above it up to the root.
  const std::string file = a + "\\f.bin";
  const auto atOrAbove = [](const std::string& folder, const std::string& path) {
    CFolder at;
    EXPECT_TRUE(at.Open(folder.c_str())) << folder;
    return AfxIsFolderAtOrAbove(at, path.c_str());
  };
  EXPECT_TRUE(atOrAbove(a, file));
  EXPECT_TRUE(atOrAbove(scratch.path() + "\\\\a", file));
  EXPECT_TRUE(atOrAbove(scratch.path(), file));
  EXPECT_TRUE(atOrAbove(win32test::TestDrive() + "\\", file));
  // Not a folder beside it or below it.
  EXPECT_FALSE(atOrAbove(a, scratch / "g.bin"));
  ASSERT_TRUE(CreateDirectoryA((a + "\\below").c_str(), nullptr));
  EXPECT_FALSE(atOrAbove(a + "\\below", file));
  EXPECT_FALSE(atOrAbove(a, a + "\\missing"));
}

}  // namespace
