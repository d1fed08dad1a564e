// SPDX-License-Identifier: MIT
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/afx.h"
#include "platform/blockreader.h"
#include "platform/iobuffer.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"

// The block reader hands out exactly the file's bytes, in order, in blocks
// of at most kBlockSize, and then the end.
TEST(CBlockReader, GivesTheFilesBytesInBlocks) {
  TempDir dir;
  const std::string path = dir / "in.bin";
  for (std::size_t size :
       {std::size_t{0}, std::size_t{1}, CBlockReader::kBlockSize + 3, (std::size_t{9} << 20) + 5}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 + i / 4096);
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    CBlockReader reader;
    ASSERT_TRUE(reader.Open(path.c_str()));
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
    EXPECT_TRUE(got == bytes) << size;
    ASSERT_TRUE(reader.Next(data, n));  // the end stays the end
    EXPECT_EQ(n, 0u);
    reader.Close();
  }
  CBlockReader reader;
  EXPECT_FALSE(reader.Open((dir / "missing.bin").c_str()));
  EXPECT_FALSE(reader.Open(dir.str().c_str()));  // a directory
}

// A file cut short while it is read ends where it was cut: the block that
// the cut falls in holds the file's bytes up to it, and then the end comes.
TEST(CBlockReader, AFileThatShrinksEndsWhereItWasCut) {
  TempDir dir;
  const std::string path = dir / "in.bin";
  const std::size_t size = 6 * CBlockReader::kBlockSize, cut = CBlockReader::kBlockSize + 1000;
  ASSERT_TRUE(WriteFileBytes(path, std::string(size, 'b')));
  CBlockReader reader;
  ASSERT_TRUE(reader.Open(path.c_str()));
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
