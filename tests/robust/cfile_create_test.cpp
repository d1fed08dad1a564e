// SPDX-License-Identifier: MIT
// CFile::Open with modeCreate in a folder that holds old entries: it makes
// or cuts a file of that name, and never writes through the name into a
// file elsewhere: not through a symbolic link (to a file, or to no file
// yet), not into a file that has other names, not onto a device; and never
// into a read-only file, also for root.

#include "platform/afx.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& p, const std::string& s) { std::ofstream(p, std::ios::binary) << s; }

class CFileCreateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "lumvane-create-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
    WriteAll(dir / "outside.txt", "keep me");
  }
  void TearDown() override { fs::remove_all(dir); }

  bool Create(const fs::path& p, const std::string& bytes) {
    CFile f;
    if (!f.Open(p.c_str(), CFile::modeCreate | CFile::modeWrite)) return false;
    const bool ok = f.Write(bytes.data(), bytes.size());
    return f.Close() && ok;
  }

  fs::path dir;
};

TEST_F(CFileCreateTest, MakesANewFileAndCutsAnOldOne) {
  EXPECT_TRUE(Create(dir / "new.png", "abc"));
  EXPECT_EQ(ReadAll(dir / "new.png"), "abc");
  WriteAll(dir / "old.png", "a much longer old content");
  EXPECT_TRUE(Create(dir / "old.png", "xy"));
  EXPECT_EQ(ReadAll(dir / "old.png"), "xy");
}

TEST_F(CFileCreateTest, NeverWritesThroughALink) {
  fs::create_symlink("outside.txt", dir / "link.png");
  EXPECT_FALSE(Create(dir / "link.png", "overwritten"));
  EXPECT_EQ(ReadAll(dir / "outside.txt"), "keep me");

  fs::create_symlink("made-through-a-link.txt", dir / "dangling.png");
  EXPECT_FALSE(Create(dir / "dangling.png", "new"));
  EXPECT_FALSE(fs::exists(dir / "made-through-a-link.txt"));
}

TEST_F(CFileCreateTest, NeverCutsAFileThatHasOtherNames) {
  fs::create_hard_link(dir / "outside.txt", dir / "second-name.png");
  EXPECT_FALSE(Create(dir / "second-name.png", "overwritten"));
  EXPECT_EQ(ReadAll(dir / "outside.txt"), "keep me");
}

TEST_F(CFileCreateTest, NeverCutsAReadOnlyFileButMakesOneUnderAnyMask) {
  // Owner-write clear is read-only, whatever the other bits say.
  for (mode_t mode : {0444, 0464}) {
    WriteAll(dir / "ro.png", "old bytes");
    ASSERT_EQ(chmod((dir / "ro.png").c_str(), mode), 0);
    CFile f;
    EXPECT_FALSE(f.Open((dir / "ro.png").c_str(), CFile::modeCreate | CFile::modeWrite)) << mode;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ReadAll(dir / "ro.png"), "old bytes");
    fs::remove(dir / "ro.png");
  }
  // A file this call makes is written even when the mask leaves it no
  // write bit.
  const mode_t saved = umask(0277);
  const bool made = Create(dir / "new.png", "new");
  umask(saved);
  EXPECT_TRUE(made);
  EXPECT_EQ(ReadAll(dir / "new.png"), "new");
}

TEST_F(CFileCreateTest, NeverWritesOntoADevice) {
  fs::create_symlink("/dev/null", dir / "null.png");
  EXPECT_FALSE(Create(dir / "null.png", "x"));
  EXPECT_FALSE(Create("/dev/null", "x"));
}

}  // namespace
