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

TEST_F(DiskObjectTest, ListSkipsDirectoriesAndAppendsWithoutClearing) {
  tmp.WriteFile("a.png");
  tmp.WriteFile("b.txt");
  tmp.WriteFile("noext");
  tmp.MakeDir("sub");
  CStringArray files;
  files.Add("kept1");
  files.Add("kept2");
  ASSERT_TRUE(obj.ListFiles(T().c_str(), files, LIST_BARE_NAMES));
  ASSERT_EQ(files.GetSize(), 5);
  EXPECT_EQ(files[0], "kept1");
  EXPECT_EQ(files[1], "kept2");
  const std::set<std::string> listed{files[2].str(), files[3].str(), files[4].str()};
  EXPECT_EQ(listed, (std::set<std::string>{"a.png", "b.txt", "noext"}));
  // Each listed text is shown as it is appended, in the same order.
  EXPECT_EQ(wnd.texts, (Texts{files[2].str(), files[3].str(), files[4].str()}));
  EXPECT_TRUE(obj.m_errorText.IsEmpty());
}

TEST_F(DiskObjectTest, ListPrefixesTheCallersDirectoryUnchanged) {
  tmp.MakeDir("d");
  tmp.WriteFile("d" + S + "a.png");
  CStringArray files;
  const std::string dir = T("d") + S;
  ASSERT_TRUE(obj.ListFiles(dir.c_str(), files, LIST_PREFIXED_NAMES));
  ASSERT_EQ(files.GetSize(), 1);
  EXPECT_EQ(files[0].str(), dir + "a.png");

  // A relative directory stays relative in the listed text.
  ScopedCurrentDir cwd(tmp.path());
  files.RemoveAll();
  ASSERT_TRUE(obj.ListFiles("d/", files, LIST_PREFIXED_NAMES));
  ASSERT_EQ(files.GetSize(), 1);
  EXPECT_EQ(files[0], "d/a.png");
  // Any mode other than 1 lists bare names.
  files.RemoveAll();
  ASSERT_TRUE(obj.ListFiles("d", files, 7));
  EXPECT_EQ(files[0], "a.png");
}

TEST_F(DiskObjectTest, ListFailuresNameTheSearchPatternAndLeaveTheList) {
  CStringArray files;
  files.Add("kept");
  const std::string missing = T("missing");
  EXPECT_FALSE(obj.ListFiles(missing.c_str(), files, LIST_BARE_NAMES));
  EXPECT_EQ(obj.m_errorText.str(), SystemText(ERROR_PATH_NOT_FOUND) + " " + missing + S + "*.*");
  EXPECT_EQ(wnd.texts, Texts{obj.m_errorText.str()});
  EXPECT_EQ(files.GetSize(), 1);

  tmp.WriteFile("a.txt");
  EXPECT_FALSE(obj.ListMatchingFiles("*.png", T().c_str(), files, LIST_BARE_NAMES));
  EXPECT_EQ(obj.m_errorText.str(), SystemText(ERROR_FILE_NOT_FOUND) + " " + T() + S + "*.png");
  // A later success empties the error text.
  EXPECT_TRUE(obj.ListMatchingFiles("*.txt", T().c_str(), files, LIST_BARE_NAMES));
  EXPECT_TRUE(obj.m_errorText.IsEmpty());
  EXPECT_EQ(files.GetSize(), 2);
}

TEST_F(DiskObjectTest, ListOfAnEmptyDirectoryIsEmptyAndTrue) {
  CStringArray files;
  EXPECT_TRUE(obj.ListFiles(T().c_str(), files, LIST_BARE_NAMES));
  EXPECT_EQ(files.GetSize(), 0);
  EXPECT_TRUE(wnd.texts.empty());
}

TEST_F(DiskObjectTest, DeleteShowsNamesTwiceAndLeavesSubdirectories) {
  tmp.WriteFile("x");
  tmp.WriteFile("y");
  tmp.MakeDir("sub");
  tmp.WriteFile("sub" + S + "inner");
  ASSERT_TRUE(obj.DeleteDirectoryFiles(T().c_str()));
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
  // The order the platform's search yields decides what goes before y.
  CStringArray order;
  ASSERT_TRUE(obj.ListFiles(T().c_str(), order, LIST_BARE_NAMES));
  wnd.texts.clear();

  EXPECT_FALSE(obj.DeleteDirectoryFiles(T().c_str()));
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

TEST_F(DiskObjectTest, DeleteOfOnlySubdirectoriesOrAMissingFolder) {
  tmp.MakeDir("one");
  tmp.MakeDir("two");
  EXPECT_TRUE(obj.DeleteDirectoryFiles(T().c_str()));
  EXPECT_TRUE(fs::is_directory(T("one")));
  EXPECT_TRUE(wnd.texts.empty());

  const std::string missing = T("missing");
  EXPECT_FALSE(obj.DeleteDirectoryFiles(missing.c_str()));
  EXPECT_EQ(obj.m_errorText.str(), SystemText(ERROR_PATH_NOT_FOUND) + " " + missing + S + "*.*");
}

TEST_F(DiskObjectTest, DeleteRefusesTheEmptyPathInsteadOfEmptyingTheCurrentDirectory) {
  tmp.WriteFile("precious");
  ScopedCurrentDir cwd(tmp.path());
  EXPECT_FALSE(obj.DeleteDirectoryFiles(""));
  EXPECT_EQ(obj.m_errorText, "CDiskObject internal error");
  EXPECT_TRUE(fs::exists(T("precious")));
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
