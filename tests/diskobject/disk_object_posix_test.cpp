// SPDX-License-Identifier: MIT
// CDiskObject on POSIX-only situations: links, paths past 260 characters, a
// current directory that no longer exists or cannot be gone back to.
// Permission checks run as nobody when the suite runs as root.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "diskobject/DiskObject.h"
#include "tests/support/as_nobody.h"
#include "tests/support/file_bytes.h"
#include "tests/support/recording_wnd.h"
#include "tests/support/system_text.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {
// Empties the folder path through a held CFolder.
BOOL Empty(CDiskObject& obj, const std::string& path) {
  CFolder folder;
  EXPECT_TRUE(folder.Open(path.c_str())) << path;
  return obj.DeleteDirectoryFiles(folder);
}
}  // namespace

TEST(DiskObjectPosix, DeleteRemovesFileLinksButNotTargetsOrLinkedFolders) {
  TempDir tmp;
  tmp.MakeDir("out");
  tmp.MakeDir("elsewhere/keep");
  const std::string target = tmp.WriteFile("elsewhere/target.png");
  tmp.WriteFile("elsewhere/keep/inner");
  fs::create_symlink(target, tmp / "out/file-link");
  fs::create_directory_symlink(tmp / "elsewhere/keep", tmp / "out/dir-link");
  fs::create_symlink(tmp / "nowhere", tmp / "out/dangling");

  CDiskObject obj;
  EXPECT_TRUE(Empty(obj, tmp / "out"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(tmp / "out/file-link")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(tmp / "out/dangling")));
  EXPECT_TRUE(fs::is_symlink(tmp / "out/dir-link"));
  EXPECT_TRUE(fs::exists(target));
  EXPECT_TRUE(fs::exists(tmp / "elsewhere/keep/inner"));
}

TEST(DiskObjectPosix, ReadOnlyFileStopsDeletionAlsoForRoot) {
  TempDir tmp;
  const std::string file = tmp.WriteFile("only");
  fs::permissions(file, fs::perms::owner_read);
  RecordingWnd wnd;
  CDiskObject obj(&wnd);
  EXPECT_FALSE(Empty(obj, tmp.str()));
  EXPECT_EQ(obj.m_errorText.str(), SystemText(EACCES) + " " + file);
  EXPECT_EQ(wnd.texts, (std::vector<std::string>{"only", "only", obj.m_errorText.str()}));
  EXPECT_TRUE(fs::exists(file));
}

TEST(DiskObjectPosix, PathsPastTwoHundredSixtyCharactersAreNotCut) {
  TempDir tmp;
  std::string deep = tmp.str();
  for (int i = 0; i < 10; ++i) deep += "/" + std::string(50, static_cast<char>('a' + i));
  ASSERT_GT(deep.size(), 500u);
  CDiskObject obj;
  ASSERT_TRUE(obj.MakeDirectoryTree(deep.c_str())) << obj.m_errorText.str();
  ASSERT_TRUE(fs::is_directory(deep));

  // Qualifying against a deep current directory keeps every character.
  ScopedCurrentDir cwd(deep);
  CString rel("../sibling");
  obj.NormalizeDirectoryPath(rel);
  EXPECT_EQ(rel.str(), deep.substr(0, deep.rfind('/')) + "/sibling/");
  ASSERT_TRUE(obj.MakeDirectoryTree("x"));
  EXPECT_TRUE(fs::is_directory(deep + "/x"));
  ASSERT_TRUE(WriteFileBytes(deep + "/x/f", "data"));
  EXPECT_TRUE(Empty(obj, deep + "/x"));
  EXPECT_FALSE(fs::exists(deep + "/x/f"));
}

TEST(DiskObjectPosix, MakeTreeRefusesWhenTheCurrentDirectoryIsGone) {
  // A relative path cannot be qualified then; it must not land at the root.
  TempDir tmp;
  tmp.MakeDir("doomed");
  ScopedCurrentDir cwd(tmp / "doomed");
  fs::remove(tmp / "doomed");
  const std::string name = "lumvane-should-not-exist-" + std::to_string(getpid());
  CDiskObject obj;
  EXPECT_FALSE(obj.MakeDirectoryTree(name.c_str()));
  EXPECT_FALSE(obj.m_errorText.IsEmpty());
  EXPECT_FALSE(fs::exists("/" + name));
  CString path(name.c_str());
  obj.NormalizeDirectoryPath(path);
  EXPECT_EQ(path.str(), name + "/");  // left relative
}

TEST(DiskObjectPosix, MakeTreeCannotEnterALevel) {
  if (as_nobody::RerunAsNobody()) return;
  TempDir tmp;
  tmp.MakeDir("closed");
  fs::permissions(tmp / "closed", fs::perms::owner_read | fs::perms::owner_write);
  CDiskObject obj;
  EXPECT_FALSE(obj.MakeDirectoryTree((tmp / "closed/inner").c_str()));
  // The level exists but cannot be entered: the creation's text is "exists".
  EXPECT_EQ(obj.m_errorText.str(), SystemText(EEXIST) + " " + (tmp / "closed"));
}

TEST(DiskObjectPosix, MakeTreeReportsALevelThatCannotBeCreated) {
  if (as_nobody::RerunAsNobody()) return;
  TempDir tmp;
  tmp.MakeDir("locked");
  fs::permissions(tmp / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  const std::string level = tmp / "locked/new";
  RecordingWnd wnd;
  CDiskObject obj(&wnd);
  EXPECT_FALSE(obj.MakeDirectoryTree((level + "/deeper").c_str()));
  EXPECT_EQ(obj.m_errorText.str(), SystemText(EACCES) + " " + level);
  ASSERT_GE(wnd.texts.size(), 2u);
  EXPECT_EQ(wnd.texts.back(), obj.m_errorText.str());
  EXPECT_EQ(wnd.texts[wnd.texts.size() - 2], level);  // nothing tried after it
}

namespace {
// A status window that takes the search right from a folder when it is shown
// its first text, that is, once the operation has saved the current
// directory and before it enters any level.
class ClosingWnd : public RecordingWnd {
 public:
  explicit ClosingWnd(std::string folder) : m_folder(std::move(folder)) {}
  void SetWindowTextA(LPCTSTR text) override {
    if (texts.empty()) {
      EXPECT_EQ(chmod(m_folder.c_str(), 0600), 0);
    }
    RecordingWnd::SetWindowTextA(text);
  }

 private:
  std::string m_folder;
};
}  // namespace

TEST(DiskObjectPosix, AFailedReturnFailsTheOperationAndEveryLaterOne) {
  if (as_nobody::RerunAsNobody()) return;
  TempDir tmp;
  const std::string start = tmp.MakeDir("start");
  tmp.MakeDir("start/x");
  tmp.WriteFile("start/x/keep");
  tmp.MakeDir("out");
  ScopedCurrentDir cwd(start);
  ClosingWnd wnd(start);
  CDiskObject obj(&wnd);
  const std::string target = tmp / "out/new";
  EXPECT_FALSE(obj.MakeDirectoryTree(target.c_str()));
  const std::string lost = SystemText(EACCES) + " " + start;
  EXPECT_EQ(obj.m_errorText.str(), lost);
  EXPECT_EQ(wnd.texts.back(), lost);
  EXPECT_TRUE(obj.HasLostCurrentDirectory());
  EXPECT_TRUE(fs::is_directory(target));  // the levels were made

  // The process stands elsewhere now: nothing relative is touched, whatever
  // the operation.
  chmod(start.c_str(), 0700);
  EXPECT_FALSE(Empty(obj, start + "/x"));
  EXPECT_EQ(obj.m_errorText.str(), lost);
  EXPECT_FALSE(obj.MakeDirectoryTree("y"));
  EXPECT_EQ(obj.m_errorText.str(), lost);
  EXPECT_TRUE(fs::exists(start + "/x/keep"));
  EXPECT_FALSE(fs::exists(tmp / "out/new/y"));
}

TEST(DiskObjectPosix, ACurrentDirectoryThatCannotBeSavedIsNeverLeft) {
  if (as_nobody::RerunAsNobody()) return;
  TempDir tmp;
  const std::string start = tmp.MakeDir("a/start");
  tmp.MakeDir("a/x");
  tmp.WriteFile("a/x/keep");
  ScopedCurrentDir cwd(start);
  ASSERT_EQ(chmod(start.c_str(), 0600), 0);  // no search right: no handle
  CDiskObject obj;
  const std::string text = SystemText(EACCES) + " " + start;
  EXPECT_FALSE(obj.MakeDirectoryTree((tmp / "made").c_str()));
  EXPECT_EQ(obj.m_errorText.str(), text);
  EXPECT_FALSE(fs::exists(tmp / "made"));
  // Parent steps are not taken without a way back.
  EXPECT_FALSE(obj.MakeDirectoryTree("../y"));
  EXPECT_EQ(obj.m_errorText.str(), text);
  EXPECT_FALSE(fs::exists(tmp / "a/y"));
  EXPECT_FALSE(obj.HasLostCurrentDirectory());
  CString path("../x");
  obj.ResolveRelativePath(path);
  EXPECT_EQ(path, "../x");
  chmod(start.c_str(), 0700);
  EXPECT_TRUE(fs::exists(tmp / "a/x/keep"));
  EXPECT_EQ(AfxGetCurrentDirectory(), CString(start.c_str()));
}

TEST(DiskObjectPosix, ACurrentDirectoryThatMayBeEnteredButNotListedIsComeBackTo) {
  if (as_nobody::RerunAsNobody()) return;
  TempDir tmp;
  const std::string start = tmp.MakeDir("start");
  ScopedCurrentDir cwd(start);
  ASSERT_EQ(chmod(start.c_str(), 0300), 0);  // search and write, no read
  CDiskObject obj;
  EXPECT_TRUE(obj.MakeDirectoryTree((tmp / "made").c_str())) << obj.m_errorText.str();
  EXPECT_TRUE(obj.MakeDirectoryTree("../made2")) << obj.m_errorText.str();
  EXPECT_TRUE(fs::is_directory(tmp / "made2"));
  EXPECT_EQ(AfxGetCurrentDirectory(), CString(start.c_str()));
  chmod(start.c_str(), 0700);
}

TEST(DiskObjectPosix, CodesWithoutASystemTextAreNumberedUnsigned) {
  CDiskObject obj;
  obj.ReportSystemError(99999, "p");
  EXPECT_EQ(obj.m_errorText, "System error 99999 p");
  obj.ReportSystemError(0x80000001u, "");
  EXPECT_EQ(obj.m_errorText, "System error 2147483649");
}
