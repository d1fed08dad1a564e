// SPDX-License-Identifier: MIT
// The locator over a real file: the driver's single read against the
// reference scanner, progress between reads, and an input that shrinks while
// it is read.
#include "tool/lumvane.h"
#include "platform/blockreader.h"
#include "testdata/pngdraw.h"

#include "testdata/png_reference.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

CString g_strInputPath;
CString g_strOutputDir;
COffsetTable g_offsetTable;

namespace {

using Bytes = pngdraw::Bytes;

// About 1.2 MiB: several reads, with images and damaged images across the
// read boundaries.
Bytes Input() {
  std::mt19937 rng(99);
  Bytes b;
  for (unsigned i = 0; b.size() < 1200000; ++i) {
    b.resize(b.size() + rng() % 90000, static_cast<unsigned char>(rng()));
    Bytes png = pngdraw::MakePicture(i, 5 + i % 40, 9);
    if (i % 5 == 3) png.resize(png.size() - 2);  // CRC cut
    b.insert(b.end(), png.begin(), png.end());
  }
  return b;
}

TEST(LocateImages, OneReadGivesTheTwoPassesTable) {
  TempDir dir;
  const std::string path = (dir.path() / "in.bin").string();
  const Bytes input = Input();
  WriteFileBytes(path, input);

  const COffsetTable twoPasses = png_reference::Scan(input.data(), input.size());
  ASSERT_GT(twoPasses.size(), 20u);

  std::vector<ULONGLONG> reads;
  g_offsetTable = {{5, 6}};  // emptied by the locator
  ASSERT_EQ(LocateImages(path.c_str(),
                         [&](ULONGLONG done, ULONGLONG length, size_t) {
                           EXPECT_EQ(length, input.size());
                           reads.push_back(done);
                         }),
            1);
  EXPECT_EQ(g_offsetTable, twoPasses);
  // Progress before the first read, then after each, rising to the whole input.
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.front(), 0u);
  EXPECT_GT(reads.size(), 3u);
  EXPECT_TRUE(std::is_sorted(reads.begin(), reads.end()));
  EXPECT_EQ(reads.back(), input.size());
}

// A file cut short between two reads is scanned as far as it goes.
TEST(LocateImages, AnInputThatShrinksIsScannedAsFarAsItGoes) {
  TempDir dir;
  const std::string path = (dir.path() / "in.bin").string();
  const Bytes input = Input();
  WriteFileBytes(path, input);
  size_t calls = 0;
  const size_t cut = CBlockReader::kBlockSize + 175000;  // in the second read
  ASSERT_EQ(LocateImages(path.c_str(),
                         [&](ULONGLONG, ULONGLONG, size_t) {
                           if (calls++ == 1) std::filesystem::resize_file(path, cut);
                         }),
            1);
  const COffsetTable want = png_reference::Scan(input.data(), cut);
  EXPECT_EQ(g_offsetTable, want);
  EXPECT_FALSE(want.empty());
}

TEST(LocateImages, AMissingFileFails) {
  TempDir dir;
  testing::internal::CaptureStdout();
  EXPECT_EQ(LocateImages((dir.path() / "missing.bin").string().c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n File Open Failed!\n\n");
}

}  // namespace
