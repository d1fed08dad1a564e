// SPDX-License-Identifier: MIT
// The writer and the driver's path rule in-process, on POSIX failures that no
// run of the built program can be made to meet: closing an image file that
// fails (as on a full network or quota-bound file system), a return to the
// current directory that fails, and a current directory that cannot be read;
// and the locator and the writer on a cold input, read around the cache.
// The test program is linked with close and fchdir wrapped (-Wl,--wrap), so
// that a test can make them fail.
#include "tool/lumvane.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testdata/png_reference.h"
#include "testdata/pngdraw.h"
#include "tests/support/cached_pages.h"
#include "tests/support/file_bytes.h"
#include "tests/support/system_text.h"
#include "tests/support/temp_dir.h"
#include "tests/support/transcript.h"

CString g_strInputPath;
CString g_strOutputDir;
COffsetTable g_offsetTable;

namespace {
std::string g_failCloseOf;  // a close of a file whose path ends so fails
bool g_failFchdir = false;
}  // namespace

extern "C" int __real_close(int fd);
extern "C" int __wrap_close(int fd) {
  std::string target;
  if (!g_failCloseOf.empty()) {
    char link[64], path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path);
    if (n > 0) target.assign(path, static_cast<size_t>(n));
  }
  const int result = __real_close(fd);
  if (!g_failCloseOf.empty() && target.size() >= g_failCloseOf.size() &&
      target.compare(target.size() - g_failCloseOf.size(), g_failCloseOf.size(), g_failCloseOf) ==
          0) {
    errno = EIO;
    return -1;
  }
  return result;
}

extern "C" int __real_fchdir(int fd);
extern "C" int __wrap_fchdir(int fd) {
  if (g_failFchdir) {
    errno = EACCES;
    return -1;
  }
  return __real_fchdir(fd);
}

namespace {

namespace fs = std::filesystem;

// Runs the writer on input with the entries given, capturing what it prints.
struct WriterRun {
  int result;
  std::string out;
};

WriterRun RunWriter(const std::string& input, const std::string& outputDir,
                    const COffsetTable& table) {
  g_strInputPath = input.c_str();
  g_strOutputDir = outputDir.c_str();
  g_offsetTable = table;
  std::ostringstream captured;
  std::streambuf* const saved = std::cout.rdbuf(captured.rdbuf());
  const int result = DumpPNGs(input.c_str());
  std::cout.rdbuf(saved);
  g_failCloseOf.clear();
  g_failFchdir = false;
  return {result, captured.str()};
}

TEST(WriterFaults, AFailedCloseIsAFailedWrite) {
  TempDir tmp;
  const std::string input = tmp.WriteFile("dump.bin", "000011112222");
  const std::string dir = tmp / "dump";
  g_failCloseOf = "/dump/01.png";
  const WriterRun r = RunWriter(input, dir, {{0, 4}, {4, 8}, {8, 12}});
  EXPECT_EQ(r.result, 0);
  // One dot: only 00.png was finished.
  EXPECT_EQ(r.out, transcript::Dumped(3, dir, 1) + "\n File Write Failed!\n\n");
  EXPECT_EQ(ReadFileBytes(dir + "/00.png"), "0000");
  EXPECT_FALSE(fs::exists(dir + "/01.png")) << "the image whose close failed stays";
  EXPECT_FALSE(fs::exists(dir + "/02.png"));
}

TEST(WriterFaults, ALostCurrentDirectoryDeletesAndWritesNothing) {
  TempDir tmp;
  const std::string input = tmp.WriteFile("dump.bin", "000011112222");
  tmp.MakeDir("dump");
  tmp.WriteFile("dump/old.txt", "old");
  ScopedCurrentDir cwd(tmp.path());  // and back, since the writer could not
  g_failFchdir = true;
  const WriterRun r = RunWriter("dump.bin", "dump", {{0, 4}, {4, 8}});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.out, transcript::Total(2) + "\n Current directory lost: " + SystemText(EACCES) + " " +
                       tmp.str() + "\n\n");
  EXPECT_EQ(ReadFileBytes(tmp / "dump/old.txt"), "old");
  EXPECT_FALSE(fs::exists(tmp / "dump/00.png"));
}

TEST(FullInputPath, AnUnreadableCurrentDirectoryLeavesTheNameAsTyped) {
  TempDir tmp;
  tmp.MakeDir("gone");
  ScopedCurrentDir cwd(tmp / "gone");
  ASSERT_EQ(rmdir((tmp / "gone").c_str()), 0);
  ASSERT_TRUE(AfxGetCurrentDirectory().IsEmpty());
  EXPECT_EQ(MakeFullInputPath("dump.bin"), "dump.bin");
}

// Read around the cache (a cold input on a disk) or through it (the same
// input cached), the locator gives the reference scanner's table, and the
// same progress after the same reads; around the cache it leaves the cache
// as it was. Images and damaged images lie across the direct reads' blocks.
TEST(LocateImagesCold, ReadAroundTheCacheTheTableAndProgressAreTheSame) {
  std::mt19937 rng(7);
  pngdraw::Bytes input;
  for (unsigned i = 0; input.size() < (5u << 20); ++i) {
    input.resize(input.size() + rng() % 300000, static_cast<unsigned char>(rng()));
    pngdraw::Bytes png = pngdraw::MakePicture(i, 5 + i % 40, 9);
    if (i % 4 == 1) png.resize(png.size() - 3);  // CRC cut
    input.insert(input.end(), png.begin(), png.end());
  }
  TempDir disk("/var/tmp");
  const std::string path = disk / "in.bin";
  WriteFileBytes(path, input);
  const COffsetTable want = png_reference::Scan(input.data(), input.size());
  ASSERT_GT(want.size(), 10u);
  std::vector<ULONGLONG> progress[2];
  for (int cold = 1; cold >= 0; --cold) {
    if (cold) {
      ASSERT_TRUE(EvictFromCache(path));
    }
    ASSERT_EQ(LocateImages(path.c_str(), [&](ULONGLONG done, ULONGLONG,
                                             size_t) { progress[cold].push_back(done); }),
              1);
    EXPECT_EQ(g_scannedDirect, cold == 1);
    EXPECT_EQ(g_offsetTable, want) << (cold ? "cold" : "cached");
    if (cold) {
      EXPECT_EQ(CachedPages(path, input.size()), 0u);
      WriteFileBytes(path, input);  // cached again
    }
  }
  EXPECT_EQ(progress[0], progress[1]);
}

// After a scan read around the cache the writer reads the images so too; an
// input that became shorter since is a failed read, and the image it cuts
// is removed.
TEST(WriterFaults, AfterADirectScanAShorterInputIsAFailedRead) {
  TempDir disk("/var/tmp");
  const std::string input = disk.WriteFile("dump.bin", std::string(3 << 20, 'p'));
  ASSERT_TRUE(EvictFromCache(input));
  g_scannedDirect = true;
  g_scannedLength = 4 << 20;
  const WriterRun r = RunWriter(input, disk / "dump", {{4096 - 5, 8192}, {1 << 20, 4 << 20}});
  g_scannedDirect = false;
  g_scannedLength = kNotScanned;
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.out, transcript::Total(2) + transcript::SavedTo(disk / "dump") +
                       ".\n File Read Failed!\n\n");
  EXPECT_EQ(ReadFileBytes(disk / "dump/00.png"), std::string(8192 - 4091, 'p'));
  EXPECT_FALSE(fs::exists(disk / "dump/01.png"));
  EXPECT_EQ(CachedPages(input, 3 << 20), 0u);
}

}  // namespace
