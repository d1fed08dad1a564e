// SPDX-License-Identifier: MIT
// The locator over a real file: the driver's single read against the two
// passes of ScanFile and the reference scanner, ScanFile's end mode stopping
// once it needs no more, progress between reads, and an input that shrinks
// while it is read.
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

  g_offsetTable.clear();
  ASSERT_EQ(ScanFile(kPNGSignature, sizeof kPNGSignature, path.c_str(), 1), 1);
  ASSERT_EQ(ScanFile(kIENDTag, sizeof kIENDTag, path.c_str(), 0), 1);
  const COffsetTable twoPasses = g_offsetTable;
  ASSERT_GT(twoPasses.size(), 20u);
  EXPECT_EQ(twoPasses, png_reference::Scan(input.data(), input.size()));

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

// End mode that needs no more (at once on an empty table, after the first
// marker with one entry) stops reading, yet the whole input counts as
// scanned: the writer may copy up to its end.
TEST(LocateImages, ScanFileEndModeThatNeedsNoMoreCountsTheWholeInput) {
  TempDir dir;
  const std::string path = (dir.path() / "in.bin").string();
  const Bytes png = pngdraw::MakePicture(0, 8, 8);
  Bytes input = png;
  input.resize(png.size() + 3 * 1024 * 1024, 0);         // many reads on
  input.insert(input.end(), png.end() - 12, png.end());  // a later IEND chunk
  WriteFileBytes(path, input);
  for (const COffsetTable& table : {COffsetTable{}, COffsetTable{{0, kNoEnd}}}) {
    g_offsetTable = table;
    g_scannedLength = kNotScanned;
    ASSERT_EQ(ScanFile(kIENDTag, sizeof kIENDTag, path.c_str(), 0), 1);
    const COffsetTable want = table.empty() ? table : COffsetTable{{0, png.size()}};
    EXPECT_EQ(g_offsetTable, want);
    EXPECT_EQ(g_scannedLength, input.size());
  }
}

TEST(LocateImages, AMissingFileFails) {
  TempDir dir;
  testing::internal::CaptureStdout();
  EXPECT_EQ(LocateImages((dir.path() / "missing.bin").string().c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n File Open Failed!\n\n");
}

}  // namespace
