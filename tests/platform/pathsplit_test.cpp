// SPDX-License-Identifier: MIT
// The path split, written against the path traits so that the same cases run
// on every build: sep is the platform's separator.
#include <gtest/gtest.h>

#include "platform/afx.h"
#include "platform/path_traits.h"

namespace {
const CString sep(PathTraits::kPreferredSeparator);

struct Split {
  CString drive, dir, fname, ext;
};
Split SplitOf(const CString& path) {
  Split s;
  AfxSplitPath(path, &s.drive, &s.dir, &s.fname, &s.ext);
  return s;
}
}  // namespace

TEST(AfxSplitPath, DirectoryNameAndExtension) {
  const Split s = SplitOf(".." + sep + "x" + sep + "y.z");
  EXPECT_EQ(s.drive, "");
  EXPECT_EQ(s.dir, ".." + sep + "x" + sep);
  EXPECT_EQ(s.fname, "y");
  EXPECT_EQ(s.ext, ".z");
}

TEST(AfxSplitPath, OnlyTheLastDotOfTheNameCounts) {
  const Split s = SplitOf("my.data" + sep + "archive.tar.gz");
  EXPECT_EQ(s.dir, "my.data" + sep);
  EXPECT_EQ(s.fname, "archive.tar");
  EXPECT_EQ(s.ext, ".gz");
  const Split t = SplitOf("my.data" + sep + "dump");
  EXPECT_EQ(t.fname, "dump");
  EXPECT_EQ(t.ext, "");
}

TEST(AfxSplitPath, TrailingSeparatorLeavesNoName) {
  const Split s = SplitOf(sep + "a" + sep + "out.dir" + sep);
  EXPECT_EQ(s.dir, sep + "a" + sep + "out.dir" + sep);
  EXPECT_EQ(s.fname, "");
  EXPECT_EQ(s.ext, "");
  const Split e = SplitOf("");
  EXPECT_EQ(e.dir, "");
  EXPECT_EQ(e.fname, "");
}

TEST(AfxSplitPath, NullOutputsAreSkipped) {
  CString ext;
  AfxSplitPath("a.b", nullptr, nullptr, nullptr, &ext);
  EXPECT_EQ(ext, ".b");
}

TEST(AfxSplitPath, LongPathsAreNotCut) {
  CString path;
  for (int i = 0; i < 40; ++i) path += sep + "directory";
  path += sep + CString('n', 300) + ".e";
  const Split s = SplitOf(path);
  EXPECT_EQ(s.dir.GetLength() + s.fname.GetLength() + s.ext.GetLength(), path.GetLength());
  EXPECT_EQ(s.fname.GetLength(), 300);
}

TEST(AfxGetCurrentDirectory, MatchesTheSystemCall) {
  const CString cwd = AfxGetCurrentDirectory();
  ASSERT_FALSE(cwd.IsEmpty());
  char buf[MAX_PATH * 4];
  ASSERT_GT(GetCurrentDirectoryA(sizeof buf, buf), 0u);
  EXPECT_EQ(cwd, buf);
}
