// SPDX-License-Identifier: MIT
// The block and range readers on Windows: asked to, they read around the
// cache (FILE_FLAG_NO_BUFFERING, the block reader with overlapped reads in
// flight), with the same bytes as through it; chosen by the cache, a file
// smaller than memory is read through it.
#include "platform/blockreader.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(CBlockReaderWin32, ReadsAroundTheCacheWhenAskedTo) {
  TempDir dir;
  const std::string path = dir / "in.bin";
  const size_t size = 11 * CBlockReader::kBlockSize + 77;  // every slot used, twice
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 31 + i / 9000);
  ASSERT_TRUE(WriteFileBytes(path, bytes));

  for (const auto way : {CBlockReader::Way::Direct, CBlockReader::Way::ByCache}) {
    CBlockReader reader;
    ASSERT_TRUE(reader.Open(path.c_str(), way));
    EXPECT_EQ(reader.IsDirect(), way == CBlockReader::Way::Direct);
    std::string got;
    const unsigned char* data = nullptr;
    size_t n = 0;
    while (reader.Next(data, n) && n > 0) got.append(reinterpret_cast<const char*>(data), n);
    EXPECT_TRUE(got == bytes);
  }

  CRangeReader range;
  ASSERT_TRUE(range.Open(path.c_str()));
  ASSERT_TRUE(range.Plan({{size - 5000, 5000}, {3, 10}}, TRUE));
  EXPECT_TRUE(range.IsDirect());
  std::string got;
  const unsigned char* data = nullptr;
  size_t n = 0;
  while (range.Next(data, n) && n > 0) got.append(reinterpret_cast<const char*>(data), n);
  EXPECT_TRUE(got == bytes.substr(size - 5000) + bytes.substr(3, 10));
}

}  // namespace
