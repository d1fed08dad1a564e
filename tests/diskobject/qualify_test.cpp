// SPDX-License-Identifier: MIT
// Path qualification against a real current directory, spelled with the
// platform's separator so that the same cases hold on every build.
#include <string>

#include <gtest/gtest.h>

#include "diskobject/DiskObject.h"
#include "platform/path_traits.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string S(1, PathTraits::kPreferredSeparator);

// Joins parts with the platform's separator.
std::string J(std::initializer_list<std::string> parts) {
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : S) + p;
  return out;
}

class Qualify : public ::testing::Test {
 protected:
  void SetUp() override { deepest = tmp.MakeDir(J({"a", "b", "c"})); }
  std::string Normalized(const std::string& in) {
    CString path(in.c_str());
    obj.NormalizeDirectoryPath(path);
    return path.str();
  }
  std::string Resolved(const std::string& in) {
    CString path(in.c_str());
    obj.ResolveRelativePath(path);
    return path.str();
  }
  TempDir tmp;
  std::string deepest;  // T/a/b/c
  CDiskObject obj;
};

}  // namespace

TEST_F(Qualify, RelativePathsJoinTheCurrentDirectory) {
  ScopedCurrentDir cwd(tmp.path());
  const std::string t = tmp.str();
  EXPECT_EQ(Normalized("data/out"), J({t, "data", "out", ""}));
  EXPECT_EQ(Normalized(J({"data", "out", ""})), J({t, "data", "out", ""}));
  EXPECT_EQ(Normalized(""), t + S);
  // Three dots are a name, not a parent step.
  EXPECT_EQ(Normalized(J({"...", "x"})), J({t, "...", "x", ""}));
  // Inner parent steps and single dots are left for the system.
  EXPECT_EQ(Normalized(J({"x", "..", ".", "y"})), J({t, "x", "..", ".", "y", ""}));
  EXPECT_TRUE(obj.m_errorText.IsEmpty());
}

TEST_F(Qualify, LeadingParentStepsFollowTheDirectoryReachedAndComeBack) {
  ScopedCurrentDir cwd(deepest);
  const std::string t = tmp.str();
  EXPECT_EQ(Normalized(J({"..", "..", "out"})), J({t, "a", "out", ""}));
  EXPECT_EQ(Normalized(".."), J({t, "a", "b", ""}));
  EXPECT_EQ(Normalized(J({"..", "x", "y.z"})), J({t, "a", "b", "x", "y.z", ""}));
  // Alone, on a file path: no trailing separator, the name and extension kept.
  EXPECT_EQ(Resolved(J({"..", "x", "y.z"})), J({t, "a", "b", "x", "y.z"}));
  EXPECT_EQ(AfxGetCurrentDirectory(), CString(deepest.c_str()));
}

TEST_F(Qualify, SurplusParentStepsStopAtTheRoot) {
  ScopedCurrentDir cwd(deepest);
  std::string steps;
  for (int i = 0; i < 64; ++i) steps += ".." + S;
  const std::string result = Normalized(steps + "out");
  // Whatever the root is called, nothing but it stands before "out".
  CString root;
  AfxSplitPath(result.c_str(), &root, nullptr, nullptr, nullptr);
  EXPECT_EQ(result, root.str() + S + S + "out" + S);
  EXPECT_EQ(AfxGetCurrentDirectory(), CString(deepest.c_str()));
}

TEST_F(Qualify, CallersStringIsNeverChangedByOperations) {
  ScopedCurrentDir cwd(tmp.path());
  const CString given("made/here");
  ASSERT_TRUE(obj.MakeDirectoryTree(given));
  EXPECT_EQ(given, "made/here");
}
