// SPDX-License-Identifier: MIT
// CFile::OpenIn with modeCreate in a held folder that holds old entries
// makes a new file exclusively and never writes through the name into a
// file elsewhere: not through a symbolic link (to a file, or to no file
// yet), not into a file that has other names, not onto a device; and never
// into a read-only file, also for root. (Making a file and cutting an old
// one: cfile_io_test.cpp.)

#include <filesystem>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/afx.h"
#include "platform/folder.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class CFileCreate : public ::testing::Test {
 protected:
  void SetUp() override { WriteFileBytes(dir / "outside.txt", "keep me"); }

  // Makes name in the held scratch folder and writes bytes to it.
  bool Create(const char* name, const std::string& bytes) {
    CFolder folder;
    CFile f;
    if (!folder.Open(dir.str().c_str()) ||
        !f.OpenIn(folder, name, CFile::modeCreate | CFile::modeWrite))
      return false;
    const bool ok = f.Write(bytes.data(), bytes.size());
    return f.Close() && ok;
  }

  TempDir dir;
};

TEST_F(CFileCreate, NeverWritesThroughALinkToAFile) {
  fs::create_symlink("outside.txt", dir / "link.png");
  EXPECT_FALSE(Create("link.png", "overwritten"));
  EXPECT_EQ(ReadFileBytes(dir / "outside.txt"), "keep me");
}

TEST_F(CFileCreate, NeverMakesAFileThroughADanglingLink) {
  fs::create_symlink("made-through-a-link.txt", dir / "dangling.png");
  EXPECT_FALSE(Create("dangling.png", "new"));
  EXPECT_FALSE(fs::exists(dir / "made-through-a-link.txt"));
}

TEST_F(CFileCreate, NeverCutsAFileThatHasOtherNames) {
  fs::create_hard_link(dir / "outside.txt", dir / "second-name.png");
  EXPECT_FALSE(Create("second-name.png", "overwritten"));
  EXPECT_EQ(ReadFileBytes(dir / "outside.txt"), "keep me");
}

TEST_F(CFileCreate, NeverCutsAReadOnlyFile) {
  // Owner-write clear is read-only, whatever the other bits say.
  for (mode_t mode : {0444, 0464}) {
    const std::string path = dir.WriteFile("ro.png", "old bytes");
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    EXPECT_FALSE(Create("ro.png", "new")) << mode;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ReadFileBytes(path), "old bytes");
    fs::remove(path);
  }
}

// A file this call makes is written even when the mask leaves it no write
// bit.
TEST_F(CFileCreate, WritesAFileItMakesUnderAnyMask) {
  const mode_t saved = umask(0277);
  const bool made = Create("new.png", "new");
  umask(saved);
  EXPECT_TRUE(made);
  EXPECT_EQ(ReadFileBytes(dir / "new.png"), "new");
}

TEST_F(CFileCreate, NeverWritesOntoADevice) {
  fs::create_symlink("/dev/null", dir / "null.png");
  EXPECT_FALSE(Create("null.png", "x"));
  // Nor a path: a name in the folder is a bare name.
  EXPECT_FALSE(Create("../outside.txt", "x"));
  EXPECT_EQ(ReadFileBytes(dir / "outside.txt"), "keep me");
}

}  // namespace
