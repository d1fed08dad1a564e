// SPDX-License-Identifier: MIT
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/fsinfo.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

TEST(FsInfo, RealPathsAndTheHeldFolderThroughLinks) {
  TempDir dir;
  dir.MakeDir("a/b");
  const std::string file = dir.WriteFile("a/b/in.bin");
  fs::create_directory_symlink(dir / "a", dir / "alias");

  CString real;
  ASSERT_TRUE(AfxResolveRealPath((dir / "alias/b/../b/in.bin").c_str(), real));
  EXPECT_EQ(real, CString(file.c_str()));
  CString untouched("keep");
  EXPECT_FALSE(AfxResolveRealPath((dir / "missing").c_str(), untouched));
  EXPECT_EQ(untouched, "keep");

  CFolder b;
  ASSERT_TRUE(b.Open((dir / "a/b").c_str()));
  EXPECT_TRUE(AfxIsSameFolder(b, (dir / "alias/b").c_str()));
  EXPECT_FALSE(AfxIsSameFolder(b, (dir / "a").c_str()));
  EXPECT_FALSE(AfxIsSameFolder(b, (dir / "missing").c_str()));
}

TEST(FsInfo, HeldFolderAtOrAboveAFileThroughLinks) {
  TempDir dir;
  dir.MakeDir("top/mid/low/deeper");
  dir.MakeDir("other");
  const std::string file = dir.WriteFile("top/mid/low/in.bin");
  fs::create_directory_symlink(dir / "top/mid", dir / "mid-link");
  fs::create_symlink(file, dir / "other/in-link.bin");
  const auto atOrAbove = [&dir](const char* folder, const std::string& path) {
    CFolder held;
    EXPECT_TRUE(held.Open((dir / folder).c_str())) << folder;
    return AfxIsFolderAtOrAbove(held, path.c_str());
  };

  for (const char* above : {"top/mid/low", "top/mid", "top", "mid-link/low"})
    EXPECT_TRUE(atOrAbove(above, file)) << above;
  CFolder root;
  ASSERT_TRUE(root.Open("/"));
  EXPECT_TRUE(AfxIsFolderAtOrAbove(root, file.c_str()));
  // A link to the file counts where the file really is.
  EXPECT_TRUE(atOrAbove("top", dir / "other/in-link.bin"));
  EXPECT_FALSE(atOrAbove("other", dir / "other/in-link.bin"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  // Below the file's folder, or the file missing: no.
  EXPECT_FALSE(atOrAbove("top/mid/low/deeper", file));
  EXPECT_FALSE(atOrAbove("top", dir / "missing"));
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}
