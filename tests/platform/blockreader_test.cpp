// SPDX-License-Identifier: MIT
// The block and range readers on every platform: a file's bytes in blocks,
// the planned ranges, either way they read; a file that shrinks meanwhile.
#include "platform/blockreader.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"

// The block reader hands out exactly the file's bytes, in order, in blocks
// of at most kBlockSize, and then the end, whichever way it reads them.
TEST(CBlockReader, GivesTheFilesBytesInBlocks) {
  TempDir dir;
  const std::string path = dir / "in.bin";
  for (const auto way : {CBlockReader::Way::Buffered, CBlockReader::Way::Direct}) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, CBlockReader::kBlockSize + 3,
                             (std::size_t{9} << 20) + 5}) {
      std::string bytes(size, '\0');
      for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 + i / 4096);
      ASSERT_TRUE(WriteFileBytes(path, bytes));
      CBlockReader reader;
      ASSERT_TRUE(reader.Open(path.c_str(), way));
      EXPECT_EQ(reader.GetLength(), size);
      std::string got;
      const unsigned char* data = nullptr;
      std::size_t n = 0;
      while (true) {
        ASSERT_TRUE(reader.Next(data, n));
        if (n == 0) break;
        EXPECT_LE(n, CBlockReader::kBlockSize);
        got.append(reinterpret_cast<const char*>(data), n);
      }
      EXPECT_TRUE(got == bytes) << size << (reader.IsDirect() ? " direct" : " buffered");
      ASSERT_TRUE(reader.Next(data, n));  // the end stays the end
      EXPECT_EQ(n, 0u);
      reader.Close();
    }
  }
  CBlockReader reader;
  EXPECT_FALSE(reader.Open((dir / "missing.bin").c_str()));
  EXPECT_FALSE(reader.Open(dir.str().c_str()));  // a directory
}

// The range reader gives the ranges planned, in order, whichever way it
// reads: ranges that start and end off the direct reads' alignment, longer
// than a piece, empty, and up to the file's end; a range past the end is a
// failed read.
TEST(CRangeReader, GivesTheRangesPlanned) {
  TempDir dir;
  const std::string path = dir / "in.bin";
  const std::size_t size = (std::size_t{3} << 20) + 77, piece = CRangeReader::kPieceSize;
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 4093);
  ASSERT_TRUE(WriteFileBytes(path, bytes));
  const std::vector<CFilePiece> ranges = {
      {0, 1}, {1, 4095}, {4095, 2}, {12345, 2 * piece + 100}, {5, 0}, {size - 100, 100}};
  for (const BOOL direct : {FALSE, TRUE}) {
    CRangeReader reader;
    ASSERT_TRUE(reader.Open(path.c_str()));
    ASSERT_TRUE(reader.Plan(ranges, direct));
    std::string got, expected;
    const unsigned char* data = nullptr;
    std::size_t n = 0;
    while (reader.Next(data, n) && n > 0) {
      EXPECT_LE(n, piece);
      got.append(reinterpret_cast<const char*>(data), n);
    }
    for (const CFilePiece& r : ranges) expected += bytes.substr(r.offset, r.length);
    EXPECT_TRUE(got == expected) << (reader.IsDirect() ? "direct" : "buffered");

    ASSERT_TRUE(reader.Plan({{size - 10, 20}}, direct));
    EXPECT_FALSE(reader.Next(data, n));
  }
}

// A file cut short while it is read through the cache ends where it was
// cut: the block that the cut falls in holds the file's bytes up to it, and
// then the end comes.
TEST(CBlockReader, AFileThatShrinksEndsWhereItWasCut) {
  TempDir dir;
  const std::string path = dir / "in.bin";
  const std::size_t size = 6 * CBlockReader::kBlockSize, cut = CBlockReader::kBlockSize + 1000;
  ASSERT_TRUE(WriteFileBytes(path, std::string(size, 'b')));
  CBlockReader reader;
  ASSERT_TRUE(reader.Open(path.c_str(), CBlockReader::Way::Buffered));
  const unsigned char* data = nullptr;
  std::size_t n = 0;
  ASSERT_TRUE(reader.Next(data, n));
  ASSERT_EQ(n, CBlockReader::kBlockSize);
  std::filesystem::resize_file(path, cut);
  ASSERT_TRUE(reader.Next(data, n));
  ASSERT_EQ(n, cut - CBlockReader::kBlockSize);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), n), std::string(n, 'b'));
  ASSERT_TRUE(reader.Next(data, n));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(reader.GetLength(), size);  // fixed when it was opened
}
