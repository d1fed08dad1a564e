// SPDX-License-Identifier: MIT
// CFile over real files: reading, writing and positions past 4 GiB, files
// made in a held folder, and the page-aligned buffers bulk transfers use.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/afx.h"
#include "platform/folder.h"
#include "platform/iobuffer.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"

namespace {
// Makes name in dir, through the folder held for the making, for writing.
bool Make(CFile& file, const TempDir& dir, const char* name) {
  CFolder folder;
  return folder.Open(dir.str().c_str()) &&
         file.OpenIn(folder, name, CFile::modeCreate | CFile::modeWrite);
}
}  // namespace

TEST(CFile, WriteCreatesThenReadReturnsTheBytes) {
  TempDir dir;
  const std::string path = dir / "out.bin";
  {
    CFile f;
    ASSERT_TRUE(Make(f, dir, "out.bin"));
    EXPECT_TRUE(f.Write("hello world", 11));
    EXPECT_EQ(f.Seek(0, CFile::current), 11);
    EXPECT_EQ(f.GetLength(), 11u);
  }  // the destructor closes and flushes
  EXPECT_EQ(ReadFileBytes(path), "hello world");

  CFile f;
  ASSERT_TRUE(f.Open(path.c_str(), CFile::modeRead));
  EXPECT_EQ(f.GetLength(), 11u);
  EXPECT_EQ(f.Seek(6, CFile::begin), 6);
  char buf[64] = {};
  EXPECT_EQ(f.Read(buf, sizeof buf), 5);  // short only at the end of the file
  EXPECT_EQ(std::string(buf, 5), "world");
  EXPECT_EQ(f.Read(buf, sizeof buf), 0);
  EXPECT_EQ(f.Seek(0, CFile::current), 11);
  EXPECT_FALSE(f.Write("x", 1));  // opened for reading only
  EXPECT_TRUE(f.Close());
  EXPECT_TRUE(f.Close());  // closing twice is harmless
}

TEST(CFile, CreateCutsAnExistingFile) {
  TempDir dir;
  const std::string path = dir.WriteFile("old.png", "a much longer old content");
  CFolder folder;
  ASSERT_TRUE(folder.Open(dir.str().c_str()));
  CFile f;
  ASSERT_TRUE(f.OpenIn(folder, "old.png", 0x1001));
  EXPECT_EQ(f.GetLength(), 0u);
  EXPECT_TRUE(f.Write("new", 3));
  EXPECT_TRUE(f.Close());
  EXPECT_EQ(ReadFileBytes(path), "new");
}

TEST(CFile, AFileOpenedForWritingOnlyCannotBeRead) {
  TempDir dir;
  CFile f;
  ASSERT_TRUE(Make(f, dir, "out.bin"));
  char c;
  EXPECT_EQ(f.Read(&c, 1), -1);
}

TEST(CFile, OpenFailuresComeBackAsResults) {
  TempDir dir;
  CFile f;
  EXPECT_FALSE(f.Open((dir / "missing").c_str(), CFile::modeRead));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(f.IsOpen());
  EXPECT_FALSE(f.Open(dir.str().c_str(), CFile::modeRead));  // a directory
  EXPECT_FALSE(f.Open(nullptr, CFile::modeRead));
}

// A file is made only in a held folder: by name, modeCreate is refused and
// nothing is made or cut.
TEST(CFile, OpenByNameNeverCreates) {
  TempDir dir;
  const std::string old = dir.WriteFile("old.png", "old");
  for (const std::string& path : {dir / "new.png", old}) {
    CFile f;
    EXPECT_FALSE(f.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite)) << path;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "new.png"));
  EXPECT_EQ(ReadFileBytes(old), "old");
}

TEST(CFile, OperationsOnAClosedFileFail) {
  CFile f;
  char c;
  EXPECT_EQ(f.Read(&c, 1), -1);
  EXPECT_FALSE(f.Write(&c, 1));
  EXPECT_EQ(f.Seek(0, CFile::begin), -1);
  EXPECT_EQ(f.GetLength(), 0u);
}

TEST(CFile, PositionsAndLengthsBeyondFourGigabytes) {
  TempDir dir;
  const std::string path = dir / "sparse.bin";
  const ULONGLONG farOffset = (5ull << 30) + 3;  // past every 32-bit offset
  {
    CFile f;
    ASSERT_TRUE(Make(f, dir, "sparse.bin"));
    ASSERT_EQ(f.Seek(static_cast<LONGLONG>(farOffset), CFile::begin),
              static_cast<LONGLONG>(farOffset));
    ASSERT_TRUE(f.Write("END", 3));
  }
  CFile f;
  ASSERT_TRUE(f.Open(path.c_str(), CFile::modeRead));
  EXPECT_EQ(f.GetLength(), farOffset + 3);
  EXPECT_EQ(f.Seek(-3, CFile::end), static_cast<LONGLONG>(farOffset));
  char buf[3];
  ASSERT_EQ(f.Read(buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "END");
  EXPECT_EQ(f.Seek(-1, CFile::begin), -1);
}

// Large transfers go through page-aligned buffers: every size starts on a
// page boundary, holds all its bytes, and a file read into it and written
// from it keeps them.
TEST(CFile, IOBuffersArePageAlignedAndHoldTheirBytes) {
  const std::size_t page = AfxGetPageSize();
  ASSERT_GE(page, 4096u);
  EXPECT_EQ(page & (page - 1), 0u);
  TempDir dir;
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4097},
                           std::size_t{256} << 10, std::size_t{1} << 20}) {
    CIOBuffer buffer = AfxAllocIOBuffer(size);
    ASSERT_TRUE(buffer) << size;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.get()) % page, 0u) << size;
    if (size == 0) continue;
    for (std::size_t i = 0; i < size; ++i) buffer[i] = static_cast<unsigned char>(i * 7 + 1);
    const std::string path = dir / "buffer.bin";
    {
      CFile out;
      ASSERT_TRUE(Make(out, dir, "buffer.bin"));
      ASSERT_TRUE(out.Write(buffer.get(), size));
    }
    CIOBuffer back = AfxAllocIOBuffer(size);
    ASSERT_TRUE(back);
    CFile in;
    ASSERT_TRUE(in.Open(path.c_str(), CFile::modeRead));
    ASSERT_EQ(in.Read(back.get(), size), static_cast<LONGLONG>(size));
    EXPECT_EQ(std::memcmp(back.get(), buffer.get(), size), 0) << size;
  }
}
