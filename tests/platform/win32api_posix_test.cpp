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
#include <vector>

#include <gtest/gtest.h>

#include "platform/afx.h"
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
