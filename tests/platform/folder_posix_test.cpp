// SPDX-License-Identifier: MIT
// CFolder on POSIX: a folder held by its descriptor is listed, emptied and
// written in through that descriptor, whatever its name leads to meanwhile;
// a link as its last name is refused.
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/folder.h"
#include "tests/support/as_nobody.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::set<std::string> Listed(const CFolder& folder) {
  CStringArray names;
  EXPECT_TRUE(folder.ListFiles(names));
  std::set<std::string> set;
  for (INT_PTR i = 0; i < names.GetSize(); ++i) set.insert(names[i].str());
  return set;
}

}  // namespace

// The folder is renamed and its name given to a link to another folder
// after it was opened: listing, deleting and making files still reach the
// folder held, and nothing in the other one.
TEST(CFolderPosix, ListsDeletesAndMakesThroughTheHandle) {
  TempDir dir;
  dir.MakeDir("out/sub");
  dir.MakeDir("elsewhere");
  const std::string target = dir.WriteFile("elsewhere/target", "keep me");
  dir.WriteFile("out/old.png");
  fs::create_symlink(target, dir / "out/file-link");
  fs::create_symlink(dir / "nowhere", dir / "out/dangling");
  fs::create_directory_symlink(dir / "elsewhere", dir / "out/dir-link");
  CFolder folder;
  ASSERT_TRUE(folder.Open((dir / "out").c_str()));
  fs::rename(dir / "out", dir / "held");
  fs::create_directory_symlink(dir / "elsewhere", dir / "out");

  // Folders and links to folders are not files; a dangling link is one.
  EXPECT_EQ(Listed(folder), (std::set<std::string>{"old.png", "file-link", "dangling"}));
  for (const char* name : {"old.png", "file-link", "dangling"})
    EXPECT_TRUE(folder.DeleteFile(name)) << name;
  EXPECT_TRUE(fs::is_empty(dir / "held/sub"));
  EXPECT_EQ(ReadFileBytes(target), "keep me");  // the link went, not its target
  EXPECT_FALSE(folder.DeleteFile("sub"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EISDIR));
  EXPECT_FALSE(folder.DeleteFile("dir-link/target"));  // a bare name only
  EXPECT_TRUE(fs::exists(target));

  CFile made;
  ASSERT_TRUE(made.OpenIn(folder, "00.png", CFile::modeCreate | CFile::modeWrite));
  EXPECT_TRUE(made.Write("png", 3));
  EXPECT_TRUE(made.Close());
  EXPECT_EQ(ReadFileBytes(dir / "held/00.png"), "png");
  EXPECT_EQ(Listed(folder), (std::set<std::string>{"00.png"}));
  EXPECT_FALSE(fs::exists(dir / "elsewhere/00.png"));
}

// A made file goes through the handle exclusively: a link of that name,
// to a file or to nothing yet, is neither followed nor replaced.
TEST(CFolderPosix, OpenInNeverFollowsALink) {
  TempDir dir;
  dir.MakeDir("out");
  const std::string target = dir.WriteFile("target", "keep me");
  fs::create_symlink(target, dir / "out/00.png");
  fs::create_symlink(dir / "made-through-a-link", dir / "out/01.png");
  CFolder folder;
  ASSERT_TRUE(folder.Open((dir / "out").c_str()));
  for (const char* name : {"00.png", "01.png"}) {
    CFile file;
    EXPECT_FALSE(file.OpenIn(folder, name, CFile::modeCreate | CFile::modeWrite)) << name;
    EXPECT_TRUE(fs::is_symlink(dir / (std::string("out/") + name))) << name;
  }
  EXPECT_EQ(ReadFileBytes(target), "keep me");
  EXPECT_FALSE(fs::exists(dir / "made-through-a-link"));
}

TEST(CFolderPosix, RefusesALinkAsItsLastNameOnly) {
  TempDir dir;
  dir.MakeDir("real/inner");
  const std::string file = dir.WriteFile("real/file");
  fs::create_directory_symlink(dir / "real", dir / "link");
  CFolder folder;
  for (const std::string& path : {dir / "link", dir / "link/", dir / "link//"}) {
    EXPECT_FALSE(folder.Open(path.c_str())) << path;
    EXPECT_EQ(GetLastError(), CFolder::kLinkRefused) << path;
    EXPECT_FALSE(folder.IsOpen());
  }
  EXPECT_FALSE(folder.Open(file.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_FALSE(folder.Open((dir / "missing").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // A link above the last name is followed.
  ASSERT_TRUE(folder.Open((dir / "link/inner/").c_str()));
  EXPECT_EQ(folder.GetPath(), CString((dir / "link/inner/").c_str()));
}

// Windows' read-only rule holds for root too; a link's own mode bits mean
// nothing.
TEST(CFolderPosix, DeleteRefusesAReadOnlyFileEvenForRoot) {
  TempDir dir;
  const std::string path = dir.WriteFile("ro");
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  fs::create_symlink("ro", dir / "link");
  CFolder folder;
  ASSERT_TRUE(folder.Open(dir.str().c_str()));
  EXPECT_FALSE(folder.DeleteFile("ro"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(folder.DeleteFile("link"));
  EXPECT_TRUE(fs::exists(path));
}

// In a folder that may be read but not entered no entry can be asked
// about; the entries' own types still tell folders from files.
TEST(CFolderPosix, AFolderThatCanBeReadButNotEnteredStillTellsFoldersApart) {
  if (as_nobody::RerunAsNobody()) return;
  TempDir dir;
  dir.MakeDir("closed/sub");
  dir.WriteFile("closed/file");
  ASSERT_EQ(chmod((dir / "closed").c_str(), 0400), 0);  // read, no search
  CFolder folder;
  ASSERT_TRUE(folder.Open((dir / "closed").c_str()));
  EXPECT_EQ(Listed(folder), (std::set<std::string>{"file"}));
  chmod((dir / "closed").c_str(), 0700);
}
