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
#include <set>
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

// Every entry a search for pattern yields, with its directory flag.
std::set<std::string> Search(const std::string& pattern, std::set<std::string>* dirs = nullptr) {
  std::set<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(pattern.c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    names.insert(data.cFileName);
    if (dirs && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) dirs->insert(data.cFileName);
  } while (FindNextFileA(h, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(h));
  return names;
}

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

TEST(FindFirstFileA, WildcardsFollowTheWin32Rules) {
  TempDir dir;
  for (const char* name : {"a.png", "b.txt", "noext", "ab.png.bak", ".hidden", "a\\b"})
    dir.WriteFile(name);
  dir.MakeDir("sub");
  std::set<std::string> dirs;
  EXPECT_EQ(Search(dir / "*.*", &dirs),
            (std::set<std::string>{".", "..", "a.png", "b.txt", "noext", "ab.png.bak", ".hidden",
                                   "a\\b", "sub"}));
  EXPECT_EQ(dirs, (std::set<std::string>{".", "..", "sub"}));
  EXPECT_EQ(Search(dir / "*.png"), (std::set<std::string>{"a.png"}));
  EXPECT_EQ(Search(dir / "?.*"), (std::set<std::string>{".", "..", "a.png", "b.txt"}));
  EXPECT_EQ(Search(dir / "a*"), (std::set<std::string>{"a.png", "ab.png.bak", "a\\b"}));
  EXPECT_EQ(Search(dir / "*."), (std::set<std::string>{".", "..", "noext", "a\\b", "sub"}));
  EXPECT_EQ(Search(dir / "A.PNG"), (std::set<std::string>{}));  // POSIX names are case-sensitive
}

TEST(FindFirstFileA, LinksToDirectoriesCarryTheDirectoryFlag) {
  TempDir dir;
  dir.MakeDir("real");
  dir.WriteFile("file");
  fs::create_directory_symlink(dir / "real", dir / "dirlink");
  fs::create_symlink(dir / "file", dir / "filelink");
  fs::create_symlink(dir / "gone", dir / "dangling");
  WIN32_FIND_DATAA data;
  for (const char* name : {"dirlink", "filelink", "dangling"}) {
    HANDLE h = FindFirstFileA((dir / name).c_str(), &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
    EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) << name;
    EXPECT_EQ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
              std::string(name) == "dirlink")
        << name;
    FindClose(h);
  }
}

TEST(FindFirstFileA, AFolderThatCanBeReadButNotEnteredStillTellsFoldersApart) {
  if (as_nobody::RerunAsNobody()) return;
  TempDir dir;
  dir.MakeDir("closed/sub");
  dir.WriteFile("closed/file");
  ASSERT_EQ(chmod((dir / "closed").c_str(), 0400), 0);  // read, no search
  std::set<std::string> dirs;
  EXPECT_EQ(Search(dir / "closed/*.*", &dirs), (std::set<std::string>{".", "..", "sub", "file"}));
  EXPECT_EQ(dirs, (std::set<std::string>{".", "..", "sub"}));
  chmod((dir / "closed").c_str(), 0700);
}

TEST(FindFirstFileA, CannotStartOnAMissingDirectoryOrWithoutAMatch) {
  TempDir dir;
  WIN32_FIND_DATAA data;
  EXPECT_EQ(FindFirstFileA((dir / "missing/*.*").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(FindFirstFileA((dir / "*.png").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  const std::string file = dir.WriteFile("f");
  EXPECT_EQ(FindFirstFileA((file + "/*.*").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOTDIR));
}

TEST(DeleteFileA, RemovesFilesAndLinksButNeverTheirTargets) {
  TempDir dir;
  const std::string target = dir.WriteFile("target");
  fs::create_symlink(target, dir / "link");
  dir.MakeDir("d");
  fs::create_directory_symlink(dir / "d", dir / "dlink");

  EXPECT_TRUE(DeleteFileA((dir / "link").c_str()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "link")));
  EXPECT_TRUE(fs::exists(target));

  EXPECT_TRUE(DeleteFileA((dir / "dlink").c_str()));  // the link, not the folder
  EXPECT_TRUE(fs::is_directory(dir / "d"));

  EXPECT_FALSE(DeleteFileA((dir / "d").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EISDIR));
  EXPECT_FALSE(DeleteFileA((dir / "missing").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  EXPECT_TRUE(DeleteFileA(target.c_str()));
  EXPECT_FALSE(fs::exists(target));
}

TEST(DeleteFileA, RefusesAReadOnlyFileEvenForRoot) {
  TempDir dir;
  const std::string path = dir.WriteFile("ro");
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  EXPECT_FALSE(DeleteFileA(path.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(fs::exists(path));
}

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

TEST(SplitPath, CutsPartsToTheirFieldsWithoutOverflow) {
  char drive[_MAX_DRIVE], dir[_MAX_DIR], fname[_MAX_FNAME], ext[_MAX_EXT];
  _splitpath("/data/dump.bin", drive, dir, fname, ext);
  EXPECT_STREQ(drive, "");
  EXPECT_STREQ(dir, "/data/");
  EXPECT_STREQ(fname, "dump");
  EXPECT_STREQ(ext, ".bin");
  _splitpath("C:\\x\\y.z", drive, dir, fname, ext);  // no drives, no backslash separators
  EXPECT_STREQ(drive, "");
  EXPECT_STREQ(dir, "");
  EXPECT_STREQ(fname, "C:\\x\\y");
  const std::string longName(400, 'n');
  _splitpath(("/d/" + longName).c_str(), drive, dir, fname, ext);
  EXPECT_EQ(std::strlen(fname), static_cast<std::size_t>(_MAX_FNAME - 1));
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

TEST(GetCommandLineA, NamesThisProgram) {
  const std::string line = GetCommandLineA();
  EXPECT_NE(line.find("platform_tests"), std::string::npos) << line;
}

TEST(CFilePosix, RefusesAFifoWithoutWaitingForAWriter) {
  TempDir dir;
  const std::string fifo = dir / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  CFile f;
  EXPECT_FALSE(f.Open(fifo.c_str(), CFile::modeRead));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
  EXPECT_FALSE(f.Open("/dev/null", CFile::modeRead));  // a character device
}

namespace {
// Opens the block device at path, checks that it reads its first sector
// (whose bytes are `first` when given; so is its length `length`) and that
// asking its length keeps the position. False when it cannot be opened or
// holds less than a sector.
bool ReadsLikeABlockDevice(const std::string& path, const std::string& first = {},
                           ULONGLONG length = 0) {
  CFile f;
  if (!f.Open(path.c_str(), CFile::modeRead) || f.GetLength() < 512) return false;
  if (length != 0) {
    EXPECT_EQ(f.GetLength(), length) << path;
  }
  length = f.GetLength();
  char sector[512];
  EXPECT_EQ(f.Read(sector, sizeof sector), 512) << path;
  if (!first.empty()) {
    EXPECT_EQ(std::string(sector, sizeof sector), first) << path;
  }
  EXPECT_EQ(f.GetPosition(), 512u);
  EXPECT_EQ(f.GetLength(), length);  // asking the length keeps the position
  EXPECT_EQ(f.GetPosition(), 512u);
  return true;
}

// A loop device attached to a file for the life of the object, then
// detached (checked).
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& file) {
    const ProgramRun r = RunProgram({"/sbin/losetup", "-f", "--show", file});
    EXPECT_EQ(r.status, 0) << "cannot attach a loop device: " << r.err;
    if (r.status == 0) path = r.out.substr(0, r.out.find('\n'));
  }
  ~LoopDevice() {
    if (path.empty()) return;
    const ProgramRun r = RunProgram({"/sbin/losetup", "-d", path});
    EXPECT_EQ(r.status, 0) << "cannot detach " << path << ": " << r.err;
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  std::string path;  // empty when none could be attached
};
}  // namespace

TEST(CFilePosix, OpensABlockDeviceWithItsLength) {
  // Any readable block device of this machine will do; reading is harmless.
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/dev", ec))
    if (entry.is_block_file(ec) && ReadsLikeABlockDevice(entry.path().string())) return;
  // None: root attaches a loop device to a file of its own.
  if (!RunningAsRoot()) GTEST_SKIP() << "no readable block device on this machine";
  TempDir dir;
  const std::string file = dir.WriteFile("disk.img", std::string(1 << 20, 'd'));
  const LoopDevice loop(file);
  ASSERT_FALSE(loop.path.empty());
  EXPECT_TRUE(ReadsLikeABlockDevice(loop.path, std::string(512, 'd'), 1 << 20)) << loop.path;
}
