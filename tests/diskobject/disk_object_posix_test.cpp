// CDiskObject on POSIX-only situations: links, paths past 260 characters, a
// current directory that no longer exists.
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "diskobject/DiskObject.h"
#include "support/recording_wnd.h"
#include "support/system_text.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

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
  EXPECT_TRUE(obj.DeleteDirectoryFiles((tmp / "out").c_str()));
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
  EXPECT_FALSE(obj.DeleteDirectoryFiles(tmp.str().c_str()));
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
  std::ofstream(deep + "/x/f") << "data";
  EXPECT_TRUE(obj.DeleteDirectoryFiles("x"));
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
  if (RunningAsRoot()) GTEST_SKIP() << "root enters folders without the search right";
  TempDir tmp;
  tmp.MakeDir("closed");
  fs::permissions(tmp / "closed", fs::perms::owner_read | fs::perms::owner_write);
  CDiskObject obj;
  EXPECT_FALSE(obj.MakeDirectoryTree((tmp / "closed/inner").c_str()));
  // The level exists but cannot be entered: the creation's text is "exists".
  EXPECT_EQ(obj.m_errorText.str(), SystemText(EEXIST) + " " + (tmp / "closed"));
}

TEST(DiskObjectPosix, MakeTreeReportsALevelThatCannotBeCreated) {
  if (RunningAsRoot()) GTEST_SKIP() << "root may create folders in a read-only folder";
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
