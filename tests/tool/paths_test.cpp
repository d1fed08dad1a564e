// SPDX-License-Identifier: MIT
// The driver's two path rules on this platform's separators.
#include "tool/lumvane.h"

#include "platform/path_traits.h"

#include <gtest/gtest.h>

namespace {

// Spells a POSIX-style path with the platform's separator.
CString P(const char* path) {
  CString s(path);
  s.Replace('/', PathTraits::kPreferredSeparator);
  return s;
}

TEST(OutputDir, DropsOnlyTheLastExtensionOfTheFileName) {
  EXPECT_EQ(MakeOutputDir(P("/data/dump.bin")), P("/data/dump"));
  EXPECT_EQ(MakeOutputDir(P("/data/archive.tar.gz")), P("/data/archive.tar"));
  EXPECT_EQ(MakeOutputDir(P("/data/dump.")), P("/data/dump"));
  EXPECT_EQ(MakeOutputDir(P("sub/dump.bin")), P("sub/dump"));
  EXPECT_EQ(MakeOutputDir(P("/my.data/dump")), P("/my.data/dump"));
  EXPECT_EQ(MakeOutputDir(P("a..b")), P("a."));
}

TEST(OutputDir, AnEmptyOrDotsOnlyStemIsNoExtension) {
  for (const char* name : {"/d/.dat", "/d/..bin", "/d/...bin", "/d/.", "/d/..", "/d/"})
    EXPECT_EQ(MakeOutputDir(P(name)), P(name)) << name;
  EXPECT_EQ(MakeOutputDir(P("/d/.x.bin")), P("/d/.x"));
}

TEST(FullInputPath, ABareNameIsJoinedToTheCurrentDirectory) {
  const CString cwd = AfxGetCurrentDirectory();
  ASSERT_FALSE(cwd.IsEmpty());
  EXPECT_EQ(MakeFullInputPath("dump.bin"), cwd + PathTraits::kPreferredSeparator + "dump.bin");
  EXPECT_EQ(MakeFullInputPath(P("sub/dump.bin")), P("sub/dump.bin"));
  EXPECT_EQ(MakeFullInputPath(P("/data/dump.bin")), P("/data/dump.bin"));
}

TEST(FullInputPath, OnlyThePlatformsSeparatorsCount) {
  if (PathTraits::IsSeparator('\\')) GTEST_SKIP() << "a backslash separates here";
  const CString cwd = AfxGetCurrentDirectory();
  EXPECT_EQ(MakeFullInputPath("a\\dump.bin"), cwd + "/a\\dump.bin");
  EXPECT_EQ(MakeOutputDir("/x/a\\b.bin"), CString("/x/a\\b"));
  EXPECT_EQ(MakeOutputDir("/x/a.d\\b"), CString("/x/a"));
}

}  // namespace
