// SPDX-License-Identifier: MIT
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/fsinfo.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

TEST(FsInfo, DirectoriesAndRealPathsThroughLinks) {
  TempDir dir;
  dir.MakeDir("a/b");
  const std::string file = dir.WriteFile("a/b/in.bin");
  fs::create_directory_symlink(dir / "a", dir / "alias");
  EXPECT_TRUE(AfxIsDirectory((dir / "alias").c_str()));
  EXPECT_FALSE(AfxIsDirectory(file.c_str()));
  EXPECT_FALSE(AfxIsDirectory((dir / "missing").c_str()));

  CString real;
  ASSERT_TRUE(AfxResolveRealPath((dir / "alias/b/../b/in.bin").c_str(), real));
  EXPECT_EQ(real, CString(file.c_str()));
  CString untouched("keep");
  EXPECT_FALSE(AfxResolveRealPath((dir / "missing").c_str(), untouched));
  EXPECT_EQ(untouched, "keep");

  EXPECT_TRUE(AfxIsSameFile((dir / "alias/b").c_str(), (dir / "a/b").c_str()));
  EXPECT_FALSE(AfxIsSameFile((dir / "a").c_str(), (dir / "a/b").c_str()));
  EXPECT_FALSE(AfxIsSameFile((dir / "missing").c_str(), (dir / "missing").c_str()));
}

TEST(FsInfo, DirectoryAtOrAboveAFileThroughLinks) {
  TempDir dir;
  dir.MakeDir("top/mid/low");
  dir.MakeDir("other");
  const std::string file = dir.WriteFile("top/mid/low/in.bin");
  fs::create_directory_symlink(dir / "top/mid", dir / "mid-link");
  fs::create_symlink(file, dir / "other/in-link.bin");

  for (const char* above : {"top/mid/low", "top/mid", "top", "mid-link", "mid-link/low"})
    EXPECT_TRUE(AfxIsDirectoryAtOrAbove((dir / above).c_str(), file.c_str())) << above;
  EXPECT_TRUE(AfxIsDirectoryAtOrAbove("/", file.c_str()));
  // A link to the file counts where the file really is.
  EXPECT_TRUE(AfxIsDirectoryAtOrAbove((dir / "top").c_str(), (dir / "other/in-link.bin").c_str()));
  EXPECT_FALSE(
      AfxIsDirectoryAtOrAbove((dir / "other").c_str(), (dir / "other/in-link.bin").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  // Below the file's folder, beside it, or missing: no.
  dir.MakeDir("top/mid/low/deeper");
  EXPECT_FALSE(AfxIsDirectoryAtOrAbove((dir / "top/mid/low/deeper").c_str(), file.c_str()));
  EXPECT_FALSE(AfxIsDirectoryAtOrAbove((dir / "missing").c_str(), file.c_str()));
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}
