// SPDX-License-Identifier: MIT
// Path qualification on native POSIX paths: '/' only, a backslash is part of
// a name, no drives and no UNC names.
#include <string>

#include <gtest/gtest.h>

#include "diskobject/DiskObject.h"
#include "tests/support/temp_dir.h"

namespace {
std::string Normalized(const std::string& in) {
  CDiskObject obj;
  CString path(in.c_str());
  obj.NormalizeDirectoryPath(path);
  return path.str();
}
}  // namespace

TEST(QualifyPosix, AbsolutePathsOnlyGainTheirSeparator) {
  EXPECT_EQ(Normalized("/data/out"), "/data/out/");
  EXPECT_EQ(Normalized("/data/out/"), "/data/out/");
  // No UNC form: two slashes are a path from the root like any other.
  EXPECT_EQ(Normalized("//server/share/dir"), "//server/share/dir/");
  EXPECT_EQ(Normalized("/"), "/");
}

TEST(QualifyPosix, BackslashesAndColonsAreOrdinaryCharacters) {
  TempDir tmp;
  ScopedCurrentDir cwd(tmp.path());
  const std::string t = tmp.str();
  EXPECT_EQ(Normalized("a\\b"), t + "/a\\b/");
  EXPECT_EQ(Normalized("..\\x"), t + "/..\\x/");  // not a parent step here
  EXPECT_EQ(Normalized("E:out"), t + "/E:out/");
  EXPECT_EQ(Normalized("\\\\server\\share"), t + "/\\\\server\\share/");
}

TEST(QualifyPosix, AtTheRootARelativeNameGetsTwoSlashes) {
  ScopedCurrentDir cwd("/");
  EXPECT_EQ(Normalized("out"), "//out/");
  EXPECT_EQ(Normalized(""), "//");
  EXPECT_EQ(Normalized("../out"), "//out/");
  EXPECT_EQ(AfxGetCurrentDirectory(), "/");
}

TEST(QualifyPosix, ParentStepsFromADirectoryReachedThroughALink) {
  // The system walks up from where the current directory really is.
  TempDir tmp;
  tmp.MakeDir("real/inner");
  std::filesystem::create_directory_symlink(tmp / "real/inner", tmp / "link");
  ScopedCurrentDir cwd(tmp / "link");
  EXPECT_EQ(Normalized("../x"), tmp.str() + "/real/x/");
}
