// SPDX-License-Identifier: MIT
// CDiskObject over real folders, spelled with the platform's separator.
#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskobject/DiskObject.h"
#include "platform/path_traits.h"
#include "tests/support/recording_wnd.h"
#include "tests/support/system_text.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string S(1, PathTraits::kPreferredSeparator);
using Texts = std::vector<std::string>;

// The levels MakeDirectoryTree tries for a qualified path ending in the
// separator: each prefix ending before a separator, below the root prefix,
// and last the whole path.
Texts LevelsOf(const std::string& qualified) {
  CString drive;
  AfxSplitPath(qualified.c_str(), &drive, nullptr, nullptr, nullptr);
  Texts levels;
  for (std::size_t i = drive.str().size() + 1; i < qualified.size(); ++i)
    if (qualified[i] == S[0]) levels.push_back(qualified.substr(0, i));
  levels.push_back(qualified);
  return levels;
}

std::set<std::string> FilesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    if (!e.is_directory()) names.insert(e.path().filename().string());
  return names;
}

class DiskObjectTest : public ::testing::Test {
 protected:
  TempDir tmp;
  RecordingWnd wnd;
  CDiskObject obj{&wnd};
  std::string T(const std::string& rel = "") const {
    return rel.empty() ? tmp.str() : tmp.str() + S + rel;
  }
  // Empties the scratch folder through a held CFolder.
  BOOL Empty() {
    CFolder folder;
    EXPECT_TRUE(folder.Open(T().c_str()));
    return obj.DeleteDirectoryFiles(folder);
  }
};

}  // namespace

TEST_F(DiskObjectTest, MakeTreeTriesEveryLevelInOrderAndRestoresTheDirectory) {
  tmp.MakeDir("a");
  const CString before = AfxGetCurrentDirectory();
  const std::string target = T("a" + S + "b" + S + "c");
  ASSERT_TRUE(obj.MakeDirectoryTree(target.c_str()));
  EXPECT_EQ(wnd.texts, LevelsOf(target + S));
  EXPECT_TRUE(fs::is_directory(target));
  EXPECT_TRUE(obj.m_errorText.IsEmpty());
  EXPECT_EQ(AfxGetCurrentDirectory(), before);

  // Again, everything exists: the same levels, all entered, still true.
  wnd.texts.clear();
  EXPECT_TRUE(obj.MakeDirectoryTree((target + S).c_str()));
  EXPECT_EQ(wnd.texts, LevelsOf(target + S));
  EXPECT_EQ(AfxGetCurrentDirectory(), before);
}

TEST_F(DiskObjectTest, MakeTreeQualifiesARelativePathFirst) {
  ScopedCurrentDir cwd(tmp.path());
  ASSERT_TRUE(obj.MakeDirectoryTree("rel/x"));
  EXPECT_TRUE(fs::is_directory(T("rel" + S + "x")));
  EXPECT_EQ(wnd.texts, LevelsOf(T("rel" + S + "x" + S)));
  EXPECT_EQ(AfxGetCurrentDirectory(), CString(tmp.str().c_str()));
}

TEST_F(DiskObjectTest, MakeTreeStopsAtALevelNamedByAFile) {
  tmp.WriteFile("a");
  const std::string level = T("a");
  const CString before = AfxGetCurrentDirectory();
  EXPECT_FALSE(obj.MakeDirectoryTree((level + S + "b").c_str()));
  const std::string error = SystemText(ERROR_ALREADY_EXISTS) + " " + level;
  EXPECT_EQ(obj.m_errorText.str(), error);
  // The levels up to the file, then the error, and nothing after it.
  Texts expected = LevelsOf(level + S);
  expected.pop_back();
  expected.push_back(error);
  EXPECT_EQ(wnd.texts, expected);
  EXPECT_FALSE(fs::exists(level + S + "b"));
  EXPECT_EQ(AfxGetCurrentDirectory(), before);
}

TEST_F(DiskObjectTest, MakeTreeOnTheEmptyPathIsAnInternalError) {
  const CString before = AfxGetCurrentDirectory();
  EXPECT_FALSE(obj.MakeDirectoryTree(""));
  EXPECT_EQ(obj.m_errorText, "CDiskObject internal error");
  EXPECT_EQ(wnd.texts, Texts{"CDiskObject internal error"});
  EXPECT_EQ(AfxGetCurrentDirectory(), before);
}

TEST_F(DiskObjectTest, DeleteShowsNamesTwiceAndLeavesSubdirectories) {
  tmp.WriteFile("x");
  tmp.WriteFile("y");
  tmp.MakeDir("sub");
  tmp.WriteFile("sub" + S + "inner");
  ASSERT_TRUE(Empty());
  ASSERT_EQ(wnd.texts.size(), 4u);
  // Listed in the platform's order, then deleted in the same order.
  EXPECT_EQ(wnd.texts[0], wnd.texts[2]);
  EXPECT_EQ(wnd.texts[1], wnd.texts[3]);
  EXPECT_EQ((std::set<std::string>{wnd.texts[0], wnd.texts[1]}), (std::set<std::string>{"x", "y"}));
  EXPECT_TRUE(FilesIn(T()).empty());
  EXPECT_TRUE(fs::exists(T("sub" + S + "inner")));
  EXPECT_TRUE(obj.m_errorText.IsEmpty());
}

TEST_F(DiskObjectTest, DeleteStopsAtAReadOnlyFileWithItsFullPath) {
  for (const char* name : {"x", "y", "z"}) tmp.WriteFile(name);
  fs::permissions(T("y"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  // The order the platform's listing yields decides what goes before y.
  CStringArray order;
  {
    CFolder folder;
    ASSERT_TRUE(folder.Open(T().c_str()));
    ASSERT_TRUE(folder.ListFiles(order));
  }

  EXPECT_FALSE(Empty());
  EXPECT_EQ(obj.m_errorText.str(), SystemText(ERROR_ACCESS_DENIED) + " " + T("y"));
  bool beforeY = true;
  for (INT_PTR i = 0; i < order.GetSize(); ++i) {
    const std::string name = order[i].str();
    if (name == "y") {
      beforeY = false;
      EXPECT_TRUE(fs::exists(T(name)));
    } else {
      EXPECT_EQ(fs::exists(T(name)), !beforeY) << name;
    }
  }
  EXPECT_EQ(wnd.texts.back(), obj.m_errorText.str());
}

TEST_F(DiskObjectTest, DeleteOfOnlySubdirectories) {
  tmp.MakeDir("one");
  tmp.MakeDir("two");
  EXPECT_TRUE(Empty());
  EXPECT_TRUE(fs::is_directory(T("one")));
  EXPECT_TRUE(wnd.texts.empty());
}

TEST_F(DiskObjectTest, ErrorTextsAndTheirReset) {
  obj.ReportSystemError(ERROR_FILE_NOT_FOUND, "");
  const std::string text = SystemText(ERROR_FILE_NOT_FOUND);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(obj.m_errorText.str(), text);  // trimmed, no trailing blank
  obj.ReportSystemError(ERROR_FILE_NOT_FOUND, "p q");
  EXPECT_EQ(obj.m_errorText.str(), text + " p q");
  obj.ReportInternalError();
  EXPECT_EQ(wnd.texts, (Texts{text, text + " p q", "CDiskObject internal error"}));
  obj.ResetErrorText();
  EXPECT_TRUE(obj.m_errorText.IsEmpty());
  EXPECT_EQ(wnd.texts.size(), 3u);  // resetting shows nothing

  // Without a status window everything works the same.
  CDiskObject quiet(nullptr);
  EXPECT_FALSE(quiet.MakeDirectoryTree(""));
  EXPECT_EQ(quiet.m_errorText, "CDiskObject internal error");
  EXPECT_TRUE(quiet.MakeDirectoryTree(T("q").c_str()));
  EXPECT_TRUE(quiet.m_errorText.IsEmpty());
}
