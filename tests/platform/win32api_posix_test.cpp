// SPDX-License-Identifier: MIT
// The POSIX implementation of the Win32 surface: native paths, errno codes.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/afx.h"
#include "platform/blockreader.h"
#include "tests/support/as_nobody.h"
#include "tests/support/file_bytes.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::string Message(DWORD code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0,
      nullptr);
  std::string s = n ? std::string(text, n) : std::string();
  LocalFree(text);
  return s;
}

}  // namespace

TEST(Directories, CreateEnterAndReadBack) {
  TempDir dir;
  ScopedCurrentDir keep(dir.path());
  EXPECT_TRUE(CreateDirectoryA("made", nullptr));
  EXPECT_FALSE(CreateDirectoryA("made", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  dir.WriteFile("file");
  EXPECT_FALSE(CreateDirectoryA("file", nullptr));  // a file holds the name
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(SetCurrentDirectoryA("file"));
  EXPECT_FALSE(SetCurrentDirectoryA("missing"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ASSERT_TRUE(SetCurrentDirectoryA("made"));
  EXPECT_EQ(AfxGetCurrentDirectory(), CString((dir / "made").c_str()));
}

TEST(GetCurrentDirectoryA, ReportsTheSizeNeededInsteadOfCutting) {
  TempDir dir;
  // A current directory well past 260 characters.
  std::string deep = dir.str();
  for (int i = 0; i < 12; ++i) deep += "/" + std::string(40, static_cast<char>('a' + i));
  fs::create_directories(deep);
  ScopedCurrentDir keep(deep);

  char small[MAX_PATH];
  std::memset(small, 'Q', sizeof small);
  const DWORD needed = GetCurrentDirectoryA(sizeof small, small);
  EXPECT_EQ(needed, deep.size() + 1);  // the size with the terminator
  EXPECT_EQ(small[0], 'Q');            // nothing stored
  std::string big(needed, '\0');
  EXPECT_EQ(GetCurrentDirectoryA(needed, big.data()), deep.size());
  EXPECT_EQ(big.c_str(), deep);
  EXPECT_EQ(AfxGetCurrentDirectory(), CString(deep.c_str()));
}

TEST(FormatMessageA, GivesTheSystemTextWithALineEnd) {
  const std::string text = Message(ENOENT);
  EXPECT_EQ(text, std::string(std::strerror(ENOENT)) + "\r\n");
  char small[4];
  EXPECT_EQ(
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ENOENT, 0, small, sizeof small, nullptr),
      0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  // No text for a code the C library does not know ("Unknown error N"),
  // nor for one past INT_MAX.
  for (DWORD unknown : {99999u, 0x80000001u}) {
    EXPECT_EQ(Message(unknown), "") << unknown;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOMSG)) << unknown;
  }
}

TEST(GetchAndStartUp, DoNotHangOrLieWhenStreamsAreMissing) {
  // In a child: _getch at the end of input returns -1 at once, and the
  // framework start-up fails when standard output is closed.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, STDIN_FILENO);
    if (_getch() != -1) _exit(2);
    if (!AfxWinInit(nullptr, nullptr, GetCommandLineA(), 0)) _exit(3);
    close(STDOUT_FILENO);
    if (AfxWinInit(nullptr, nullptr, GetCommandLineA(), 0)) _exit(4);
    if (GetLastError() != EBADF) _exit(5);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

namespace {
// Pages of [0, length) of path in the system's cache.
size_t CachedPages(const std::string& path, size_t length) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return 0;
  void* map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return 0;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> in((length + page - 1) / page);
  size_t cached = 0;
  if (mincore(map, length, in.data()) == 0)
    for (unsigned char c : in) cached += c & 1;
  munmap(map, length);
  return cached;
}
}  // namespace

// Release drops the bytes it is given from the cache only for a file larger
// than the machine's memory (here a sparse one, its first 24 MiB written and
// on the disk); a smaller file stays cached. Released a block at a time, as
// the locator does, the bytes are gathered and dropped, even where the
// cache holds them in pages larger than a block.
TEST(CBlockReaderPosix, ReleaseDropsOnlyAFileLargerThanMemory) {
  TempDir dir;
  const size_t written = 24 << 20, checked = 14 << 20, pages = checked / AfxGetPageSize();
  const off_t memory = static_cast<off_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
  for (const off_t size : {off_t{32} << 20, memory + (off_t{1} << 30)}) {
    const std::string path = dir / (size > memory ? "large.bin" : "small.bin");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string data(written, 'd');
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(ftruncate(fd, size), 0);
    ASSERT_EQ(fsync(fd), 0);  // clean pages, which the cache may drop
    close(fd);
    CBlockReader reader;
    ASSERT_TRUE(reader.Open(path.c_str()));
    const unsigned char* bytes = nullptr;
    size_t n = 0, read = 0, released = 0;
    while (read < written) {
      ASSERT_TRUE(reader.Next(bytes, n));
      ASSERT_GT(n, 0u);
      read += n;
      // The locator keeps the last 15 bytes of what it was given.
      reader.Release(released, read - 15 - released);
      released = read - 15;
    }
    EXPECT_EQ(CachedPages(path, checked), size > memory ? 0 : pages) << path;
    ASSERT_TRUE(reader.Next(bytes, n));  // what it gives stays the same
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), n), std::string(n, '\0'));
  }
}
