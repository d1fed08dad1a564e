// SPDX-License-Identifier: MIT
// The block reader on POSIX: what Release drops from the cache (only the
// pages it brought in itself, whole pages across two drops), and the way
// chosen by the cache (around it for a file out of it, through it for one in
// it or on tmpfs, and back through it where direct reads are refused).
#include "platform/blockreader.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/afx.h"
#include "platform/iobuffer.h"
#include "tests/support/cached_pages.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"

namespace {
// A file at path of size bytes (sparse past the first written), its first
// written bytes on the disk and out of the system's cache.
void WriteColdFile(const std::string& path, off_t size, size_t written) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  std::string data(written, 'd');
  for (size_t i = 0; i < written; i += 4096) data[i] = static_cast<char>(i / 4096);
  ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  ASSERT_EQ(ftruncate(fd, size), 0);
  ASSERT_EQ(fsync(fd), 0);  // clean pages, which the cache may drop
  ASSERT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
  close(fd);
}

// Reads [0, upTo) of path through the cache with a block reader, releasing
// all but the last 15 bytes after every block, as the locator does.
void ReadAndRelease(const std::string& path, size_t upTo) {
  CBlockReader reader;
  ASSERT_TRUE(reader.Open(path.c_str(), CBlockReader::Way::Buffered));
  ASSERT_FALSE(reader.IsDirect());
  const unsigned char* bytes = nullptr;
  size_t n = 0, read = 0, released = 0;
  while (read < upTo) {
    ASSERT_TRUE(reader.Next(bytes, n));
    ASSERT_GT(n, 0u);
    read += n;
    reader.Release(released, read - 15 - released);
    released = read - 15;
  }
  ASSERT_TRUE(reader.Next(bytes, n));  // what it gives stays the same
  ASSERT_GT(n, 0u);
}

off_t MemorySize() { return static_cast<off_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE); }
}  // namespace

// Read through the cache, Release drops the bytes it is given only for a
// file larger than the machine's memory (here a sparse one, its first
// 24 MiB written and on the disk); a smaller file stays cached. Released a
// block at a time, as the locator does, the bytes are gathered and dropped,
// even where the cache holds them in pages larger than a block. Pages that
// were cached before the reader read them are someone else's: they stay.
TEST(CBlockReaderPosix, ReleaseDropsOnlyThePagesItBroughtIn) {
  TempDir dir("/var/tmp");
  const size_t written = 24 << 20, checked = 14 << 20, page = AfxGetPageSize();
  const size_t pages = checked / page, othersFrom = 5 << 20, others = 64;
  for (const off_t size : {off_t{32} << 20, MemorySize() + (off_t{1} << 30)}) {
    const std::string path = dir / (size > MemorySize() ? "large.bin" : "small.bin");
    WriteColdFile(path, size, written);
    // Another program's pages, read without read-ahead.
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM), 0);
    std::vector<char> scratch(others * page);
    ASSERT_EQ(pread(fd, scratch.data(), scratch.size(), othersFrom),
              static_cast<ssize_t>(scratch.size()));
    close(fd);
    const size_t before = CachedPages(path, checked);
    ASSERT_GE(before, others);
    ReadAndRelease(path, written);
    EXPECT_EQ(CachedPages(path, checked), size > MemorySize() ? before : pages) << path;
    if (size > MemorySize()) {
      EXPECT_EQ(CachedPages(path, othersFrom + others * page) - CachedPages(path, othersFrom),
                others);
    }
  }
}

// The released bytes are dropped 16 MiB at a time, and where one drop ends
// in the middle of a page of the cache, the next starts a little before it:
// every page of the bytes released lies wholly in one drop, and none stays.
TEST(CBlockReaderPosix, ReleasedPagesAcrossTwoDropsGoToo) {
  TempDir dir("/var/tmp");
  const size_t written = 40 << 20, checked = 30 << 20;
  const std::string path = dir / "large.bin";
  WriteColdFile(path, MemorySize() + (off_t{1} << 30), written);
  ReadAndRelease(path, written);
  EXPECT_EQ(CachedPages(path, checked), 0u);
}
namespace {
// The bytes of path through a block reader opened the given way, and
// whether it read around the cache.
std::pair<std::string, bool> ReadAll(const std::string& path, CBlockReader::Way way) {
  CBlockReader reader;
  if (!reader.Open(path.c_str(), way)) return {"(open failed)", false};
  std::string got;
  const unsigned char* data = nullptr;
  size_t n = 0;
  while (reader.Next(data, n) && n > 0) got.append(reinterpret_cast<const char*>(data), n);
  return {got, reader.IsDirect() != FALSE};
}
}  // namespace

// Chosen by the cache: a file out of it is read around it, and left out of
// it; once cached, it is read through it. On tmpfs every page is in memory:
// read through the cache. Where the file system refuses direct reads (sysfs)
// they fall back to reads through the cache, with the same bytes.
TEST(CBlockReaderPosix, ReadsAroundTheCacheWhatIsNotCached) {
  TempDir disk("/var/tmp");
  const std::string path = disk / "cold.bin";
  const size_t size = (9 << 20) + 4321;
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 13 + i / 5000);
  ASSERT_TRUE(WriteFileBytes(path, bytes));
  ASSERT_TRUE(EvictFromCache(path));
  const auto cold = ReadAll(path, CBlockReader::Way::ByCache);
  EXPECT_TRUE(cold.second);
  EXPECT_TRUE(cold.first == bytes);
  EXPECT_EQ(CachedPages(path, size), 0u);

  ASSERT_EQ(ReadAll(path, CBlockReader::Way::Buffered).first.size(), size);  // now cached
  const auto warm = ReadAll(path, CBlockReader::Way::ByCache);
  EXPECT_FALSE(warm.second);
  EXPECT_TRUE(warm.first == bytes);

  TempDir memory("/dev/shm");
  const std::string inMemory = memory / "in.bin";
  ASSERT_TRUE(WriteFileBytes(inMemory, bytes));
  const auto shm = ReadAll(inMemory, CBlockReader::Way::ByCache);
  EXPECT_FALSE(shm.second);
  EXPECT_TRUE(shm.first == bytes);

  const std::string refusing = "/sys/devices/system/cpu/online";
  const auto buffered = ReadAll(refusing, CBlockReader::Way::Buffered);
  ASSERT_FALSE(buffered.first.empty());
  const auto fallback = ReadAll(refusing, CBlockReader::Way::Direct);
  EXPECT_FALSE(fallback.second);
  EXPECT_EQ(fallback.first, buffered.first);
}
