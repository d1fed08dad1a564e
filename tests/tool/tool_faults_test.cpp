// SPDX-License-Identifier: MIT
// Lumvane run end to end under faults the system injects for real: a write
// the kernel refuses part-way (RLIMIT_FSIZE), a read that fails, a
// read-only file, a file or a link where the output folder goes, a link
// inside the output folder, an input that is a directory, and an input past
// 4 GiB. Every run must end with its clear message and exit status, and
// leave every file outside the output folder as it was: the scratch tree is
// fingerprinted (type, mode, size, modification time, link target and the
// bytes of every data region) before and after.

#include <gtest/gtest.h>

#include <dirent.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/support/as_nobody.h"
#include "tests/support/file_bytes.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "tests/support/transcript.h"

#ifndef LUMVANE_BIN
#error "LUMVANE_BIN must name the built tool"
#endif

namespace fs = std::filesystem;

namespace {

using transcript::Analyse;
using transcript::kPrompt;
using transcript::SavedTo;
using transcript::Total;
// The name the tool gives the image numbered i: "00.png", "01.png", ...
std::string ImageName(size_t i) {
  char name[32];
  std::snprintf(name, sizeof name, "%02zu.png", i);
  return name;
}

// ---- A PNG-looking image: signature, IHDR chunk, filler, IEND chunk --------
std::string Image(size_t length, char fill) {
  std::string png("\x89PNG\r\n\x1a\n", 8);
  png += std::string("\0\0\0\x0dIHDR", 8) + std::string(13, '\x01') + "crc!";
  const std::string tail = std::string("\0\0\0\0IEND", 8) + "\xae\x42\x60\x82";
  png += std::string(length - png.size() - tail.size(), fill);
  return png + tail;
}

// ---- Fingerprint of a tree ----------------------------------------------------
// Walked by descriptor, entry by entry, so that trees deeper than one path
// can hold are fingerprinted (and removed) as well.
uint64_t Fnv(uint64_t h, const void* data, size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  return h;
}

// The bytes of every data region of the open file fd (holes of a sparse file
// are skipped, their places still count through the offsets hashed).
uint64_t HashContent(int fd) {
  uint64_t h = 0xcbf29ce484222325ull;
  std::vector<char> buf(1 << 20);
  off_t at = 0;
  for (;;) {
    const off_t data = lseek(fd, at, SEEK_DATA);
    if (data < 0) break;
    const off_t hole = lseek(fd, data, SEEK_HOLE);
    h = Fnv(h, &data, sizeof data);
    for (off_t pos = data; pos < hole;) {
      const ssize_t n = pread(
          fd, buf.data(),
          static_cast<size_t>(std::min<off_t>(hole - pos, static_cast<off_t>(buf.size()))), pos);
      if (n <= 0) break;
      h = Fnv(h, buf.data(), static_cast<size_t>(n));
      pos += n;
    }
    at = hole;
  }
  return h;
}

// The entries of the open folder dirFd, without "." and "..".
std::vector<std::string> EntriesOf(int dirFd) {
  std::vector<std::string> names;
  const int fd = dup(dirFd);
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) {
    if (fd >= 0) close(fd);
    return names;
  }
  while (const dirent* e = readdir(dir))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.push_back(e->d_name);
  closedir(dir);
  return names;
}

void FingerprintInto(int dirFd, const std::string& rel, const std::string& skip,
                     std::map<std::string, std::string>& out) {
  for (const std::string& name : EntriesOf(dirFd)) {
    const std::string key = rel.empty() ? name : rel + "/" + name;
    if (key == skip) continue;  // not followed: links are never entered
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                       std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = readlinkat(dirFd, name.c_str(), target, sizeof target);
      what += " -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISREG(st.st_mode)) {
      const int fd = openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
      what += " #" + std::to_string(fd < 0 ? 0 : HashContent(fd));
      if (fd >= 0) close(fd);
    } else if (S_ISDIR(st.st_mode)) {
      const int sub = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
      if (sub >= 0) {
        FingerprintInto(sub, key, skip, out);
        close(sub);
      }
    }
    out[key] = what;
  }
}

// Path (relative to root) -> what it is. Entries under `skip` are left out.
std::map<std::string, std::string> Fingerprint(const fs::path& root, const fs::path& skip = {}) {
  std::map<std::string, std::string> out;
  const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return out;
  FingerprintInto(fd, "", skip.empty() ? "" : skip.lexically_relative(root).string(), out);
  close(fd);
  return out;
}

// Removes everything in the open folder dirFd, however deep.
void EmptyFolder(int dirFd) {
  for (const std::string& name : EntriesOf(dirFd)) {
    const int sub = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (sub >= 0) {
      fchmod(sub, 0700);
      EmptyFolder(sub);
      close(sub);
      unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
    } else {
      unlinkat(dirFd, name.c_str(), 0);
    }
  }
}

// Opens the folder rel (any length; empty: dir itself) under dir one level
// at a time, making the missing levels when make is set. -1 on failure.
int OpenChain(const fs::path& dir, const std::string& rel, bool make) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (size_t from = 0, end; fd >= 0 && from < rel.size(); from = end + 1) {
    end = std::min(rel.find('/', from), rel.size());
    const std::string part = rel.substr(from, end - from);
    if (make) mkdirat(fd, part.c_str(), 0755);
    const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  return fd;
}

// Makes the chain of `levels` folders named by `name` repeated under dir;
// returns the chain's path relative to dir.
std::string MakeDeepChain(const fs::path& dir, int levels, const std::string& name) {
  std::string chain = name;
  for (int i = 1; i < levels; ++i) chain += "/" + name;
  const int fd = OpenChain(dir, chain, true);
  EXPECT_GE(fd, 0) << "cannot make " << chain;
  if (fd >= 0) close(fd);
  return chain;
}

// The bytes of the file rel (any length) under dir.
std::string ReadDeep(const fs::path& dir, const std::string& rel) {
  const size_t slash = rel.rfind('/');
  const int fd = OpenChain(dir, slash == std::string::npos ? "" : rel.substr(0, slash), false);
  const int file = fd < 0 ? -1 : openat(fd, rel.substr(slash + 1).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) close(fd);
  std::string bytes;
  char buf[65536];
  for (ssize_t n; file >= 0 && (n = read(file, buf, sizeof buf)) > 0;)
    bytes.append(buf, static_cast<size_t>(n));
  if (file >= 0) close(file);
  return bytes;
}

// Writes bytes to the file rel (any length) under dir, making its folders.
void WriteDeep(const fs::path& dir, const std::string& rel, const std::string& bytes) {
  const size_t slash = rel.rfind('/');
  const int fd = OpenChain(dir, slash == std::string::npos ? "" : rel.substr(0, slash), true);
  ASSERT_GE(fd, 0) << rel;
  const int file =
      openat(fd, rel.substr(slash + 1).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  close(fd);
  ASSERT_GE(file, 0) << rel;
  ASSERT_EQ(write(file, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(file);
}

// ---- Running the tool -------------------------------------------------------
using ToolRun = ProgramRun;

struct ToolOptions {
  // > 0: the tool may write no file past that many bytes. The file-size
  // signal keeps its default action in the tool's process: what the tool
  // does about it is the tool's own.
  rlim_t fileLimit = 0;
  // Run as nobody (through setpriv) when the suite runs as root.
  bool asNobody = false;
  // Done in the child, in cwd, just before the tool starts; false ends it.
  std::function<bool()> beforeStart;
  // A run that hangs is ended (SIGALRM) after this many seconds.
  unsigned timeout = 600;
};

// The tool where nobody can run it too (the build tree may be closed to it).
std::string g_nobodyTool;

// Starts the tool with `arg` in `cwd`, standard input from /dev/null;
// FinishProgram waits for it.
RunningProgram StartTool(const fs::path& cwd, const std::string& arg,
                         const ToolOptions& options = {}) {
  std::vector<std::string> words;
  if (options.asNobody && geteuid() == 0) {
    words = as_nobody::SetprivPrefix();
    words.push_back(g_nobodyTool);
  } else {
    words.push_back(LUMVANE_BIN);
  }
  words.push_back(arg);
  RunOptions run;
  run.cwd = cwd.string();
  run.timeout_seconds = options.timeout;  // a hang ends the run instead of the test suite
  run.child_setup = [&options] {
    if (options.fileLimit > 0) {
      signal(SIGXFSZ, SIG_DFL);
      const rlimit lim{options.fileLimit, options.fileLimit};
      if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return false;
    }
    return !options.beforeStart || options.beforeStart();
  };
  return StartProgram(words, run);
}

// Runs the tool with `arg` in `cwd`, standard input from /dev/null.
ToolRun RunTool(const fs::path& cwd, const std::string& arg, const ToolOptions& options = {}) {
  RunningProgram p = StartTool(cwd, arg, options);
  return FinishProgram(p);
}

// Stops the running program p (SIGSTOP) once ready() holds, checking every
// tenth of a millisecond or so; false, with p left running, when p ended
// first.
bool StopWhen(const RunningProgram& p, const std::function<bool()>& ready) {
  for (;;) {
    if (ready()) {
      int wstatus = 0;
      return kill(p.pid, SIGSTOP) == 0 && waitpid(p.pid, &wstatus, WUNTRACED) == p.pid &&
             WIFSTOPPED(wstatus);
    }
    siginfo_t info = {};
    if (waitid(P_PID, static_cast<id_t>(p.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == p.pid)
      return false;
    usleep(100);
  }
}

// Runs the tool on root/dump.bin and stops it while image is part written
// (0 < size < fullSize), then calls act with it stopped and lets it go on;
// up to five runs, since the write may end between two looks. caught tells
// whether one was stopped in time.
ToolRun InterruptWhileWriting(const fs::path& root, const fs::path& image, size_t fullSize,
                              const std::function<void(const RunningProgram&)>& act, bool& caught) {
  ToolRun r;
  caught = false;
  for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
    fs::remove_all(image.parent_path());
    RunningProgram p = StartTool(root, "dump.bin");
    const auto partWritten = [&image, fullSize] {
      std::error_code error;
      const auto size = fs::file_size(image, error);
      return !error && size > 0 && size < fullSize;
    };
    const bool stopped = StopWhen(p, partWritten);
    caught = stopped && partWritten();
    if (caught) act(p);
    if (stopped) kill(p.pid, SIGCONT);
    r = FinishProgram(p);
  }
  return r;
}

// The names in the folder dir.
std::set<std::string> Names(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

// The line on standard error that says why path failed.
std::string Reason(const fs::path& path, int code) {
  return "lumvane: " + path.string() + ": " + std::strerror(code) + "\n";
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class ToolFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    top = m_tmp.path();  // canonical, as the tool reads the current directory
    root = top / "scratch";
    fs::create_directory(root);
  }
  // Trees deeper than a path can name are emptied by descriptor first;
  // m_tmp then removes the folder.
  void TearDown() override {
    const int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      EmptyFolder(fd);
      close(fd);
    }
  }

  // Lets nobody run the tool and own the scratch folder, for a run with
  // asNobody.
  void OpenToNobody() {
    if (geteuid() != 0) return;
    chmod(top.c_str(), 0755);
    g_nobodyTool = as_nobody::CopyProgram(LUMVANE_BIN, top / "bin", "lumvane");
    as_nobody::GiveToNobody(root);
  }

  // Asserts the run failed with `message` (a line of its own on standard
  // output, then the key prompt), status 1 and why on standard error: the
  // path and the system's text for code.
  static void ExpectFailure(const ToolRun& r, const std::string& message, const fs::path& path,
                            int code) {
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(message + "\n"), std::string::npos) << "standard output:\n" << r.out;
    EXPECT_TRUE(EndsWith(r.out, kPrompt)) << r.out;
    EXPECT_EQ(r.err, Reason(path, code));
  }

  // Runs the tool with arg in root and asserts it failed with message and
  // the reason for path, and left the scratch tree as it was.
  void ExpectFailureTouchingNothing(const std::string& arg, const std::string& message,
                                    const fs::path& path, int code) {
    const auto before = Fingerprint(root);
    ExpectFailure(RunTool(root, arg), message, path, code);
    EXPECT_EQ(Fingerprint(root), before) << arg;
  }

  TempDir m_tmp;
  fs::path top, root;
};

// An input of three images: 4 KiB, 64 KiB, 4 KiB, with junk around them.
std::string ThreeImages(std::vector<std::string>* images = nullptr) {
  const std::string a = Image(4096, 'a'), b = Image(65536, 'b'), c = Image(4096, 'c');
  if (images) *images = {a, b, c};
  return "junk" + a + "more junk" + b + c + "tail";
}

// A file-size limit: the kernel refuses the write of 01.png part-way (00.png
// fits under 32 KiB; 01.png, 64 KiB, does not). The tool must not be killed
// by the limit's signal: it reports the failed write, removes the partial
// image and keeps the image before it.
TEST_F(ToolFaultsTest, AFileSizeLimitIsAFailedWrite) {
  std::vector<std::string> images;
  WriteFileBytes(root / "dump.bin", ThreeImages(&images));
  const auto before = Fingerprint(root, root / "dump");
  ToolOptions limited;
  limited.fileLimit = 32768;
  const ToolRun r = RunTool(root, "dump.bin", limited);
  ExpectFailure(r, "\n File Write Failed!\n", root / "dump" / "01.png", EFBIG);
  // One dot: the image finished before.
  EXPECT_EQ(r.out, Analyse((root / "dump.bin").string()) + Total(3) +
                       SavedTo((root / "dump").string()) + ".\n File Write Failed!\n\n" + kPrompt);
  EXPECT_TRUE(ReadFileBytes(root / "dump" / "00.png") == images[0]);
  EXPECT_FALSE(fs::exists(root / "dump" / "01.png")) << "the partly written image stays";
  EXPECT_FALSE(fs::exists(root / "dump" / "02.png"));
  EXPECT_EQ(Fingerprint(root / "dump").size(), 1u);  // 00.png alone
  EXPECT_EQ(Fingerprint(root, root / "dump"), before);
}

// A read that fails: sysfs attributes report a length of 4096 and some
// refuse every read (the loopback device's link speed: EINVAL). The input is
// a link to one, so the output folder would be beside it in the scratch.
TEST_F(ToolFaultsTest, AReadThatFailsIsReportedAndNothingIsCreated) {
  const char* failing = "/sys/class/net/lo/speed";
  {
    const int fd = open(failing, O_RDONLY);
    char c;
    const bool fails = fd >= 0 && read(fd, &c, 1) < 0;
    if (fd >= 0) close(fd);
    if (!fails) GTEST_SKIP() << failing << " is not here or reads without error";
  }
  fs::create_symlink(failing, root / "speed.bin");
  ExpectFailureTouchingNothing("speed.bin", "\n File Read Failed!\n", root / "speed.bin", EINVAL);
  EXPECT_FALSE(fs::exists(root / "speed"));
}

// Old entries in the output folder, one case each: what the emptying leaves
// and what the run says then. It deletes links, never their targets, stops
// at a read-only file (Windows' rule, for root too) and keeps a link to a
// folder (the listing holds files only); the images are written all the
// same, never through a link that stayed, and old files that survive fail
// the run. Nothing outside the folder changes.
struct OldEntries {
  const char* what;
  // Makes the old entries in dump; outside, beside it, holds precious.txt,
  // linked.txt and dir/inner.txt.
  std::function<void(const fs::path& dump, const fs::path& outside)> make;
  // What the run writes after "PNGs saved to", before the key prompt; its
  // standard error; its status; how many images it writes.
  std::function<std::string(const fs::path& dump)> said;
  std::function<std::string(const fs::path& dump)> err;
  int status;
  size_t written;
  // What else must hold of dump after the run.
  std::function<void(const fs::path& dump)> left;
};

void MakeReadOnly(const fs::path& p) {
  fs::permissions(p, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

const std::vector<OldEntries>& OldEntryCases() {
  static const std::vector<OldEntries> cases = {
      {"a link to a folder named as the first image, read-only files and links to files",
       [](const fs::path& dump, const fs::path& outside) {
         fs::create_symlink("../outside/dir", dump / "00.png");
         fs::create_hard_link(outside / "linked.txt", dump / "01.png");
         fs::create_symlink("../outside/made-by-the-run.txt", dump / "02.png");
         fs::create_symlink("../outside/precious.txt", dump / "other-link");
         for (int i = 0; i < 8; ++i) {
           const fs::path p = dump / ("readonly" + std::to_string(i) + ".txt");
           WriteFileBytes(p, "old");
           MakeReadOnly(p);
         }
       },
       [](const fs::path&) { return std::string("\n File create Failed!\n\n"); },
       [](const fs::path& dump) { return Reason(dump / "00.png", ELOOP); }, 1, 0,
       [](const fs::path& dump) {
         EXPECT_TRUE(fs::is_symlink(dump / "00.png"));
         EXPECT_TRUE(fs::exists(dump / "00.png" / "inner.txt"));
         EXPECT_FALSE(fs::exists(dump / ".." / "outside" / "made-by-the-run.txt"));
         for (int i = 0; i < 8; ++i)
           EXPECT_EQ(ReadFileBytes(dump / ("readonly" + std::to_string(i) + ".txt")), "old");
       }},
      {"links to a file outside, one named as an image",
       [](const fs::path& dump, const fs::path&) {
         fs::create_symlink("../outside/precious.txt", dump / "old.png");
         fs::create_symlink("../outside/precious.txt", dump / "07.png");
       },
       [](const fs::path&) { return std::string("..."); },
       [](const fs::path&) { return std::string(); }, 0, 3,
       [](const fs::path& dump) {
         EXPECT_FALSE(fs::exists(fs::symlink_status(dump / "old.png")));
         EXPECT_FALSE(fs::exists(fs::symlink_status(dump / "07.png")));
       }},
      // The name as read from the disk, with a terminal's control sequence
      // and a byte that is no UTF-8 in it: printed escaped, never raw.
      {"a read-only file that is no image, among old images",
       [](const fs::path& dump, const fs::path&) {
         WriteFileBytes(dump / "aaa-\x1b[2J\xff-notes-\xc3\xa9.txt", "old notes");
         fs::permissions(dump / "aaa-\x1b[2J\xff-notes-\xc3\xa9.txt", fs::perms::owner_read);
         for (const char* old : {"05.png", "06.png", "07.png"})
           WriteFileBytes(dump / old, "old image");
       },
       [](const fs::path& dump) {
         return "...\n " + std::string(std::strerror(EACCES)) + " " + dump.string() +
                "/aaa-\\x1b[2J\\xff-notes-\xc3\xa9.txt\n\n";
       },
       [](const fs::path&) { return std::string(); }, 1, 3,
       [](const fs::path& dump) {
         EXPECT_EQ(ReadFileBytes(dump / "aaa-\x1b[2J\xff-notes-\xc3\xa9.txt"), "old notes");
       }},
  };
  return cases;
}

TEST_F(ToolFaultsTest, OldEntriesInTheOutputFolder) {
  for (size_t k = 0; k < OldEntryCases().size(); ++k) {
    const OldEntries& c = OldEntryCases()[k];
    SCOPED_TRACE(c.what);
    const fs::path dir = root / ("case" + std::to_string(k));
    const fs::path dump = dir / "dump", outside = dir / "outside";
    std::vector<std::string> images;
    fs::create_directories(outside / "dir");
    WriteFileBytes(dir / "dump.bin", ThreeImages(&images));
    WriteFileBytes(outside / "precious.txt", "keep me");
    WriteFileBytes(outside / "linked.txt", "keep me as well");
    WriteFileBytes(outside / "dir" / "inner.txt", "keep me too");
    fs::create_directory(dump);
    c.make(dump, outside);
    const auto before = Fingerprint(dir, dump);
    const ToolRun r = RunTool(dir, "dump.bin");
    EXPECT_EQ(r.out, Analyse((dir / "dump.bin").string()) + Total(3) + SavedTo(dump.string()) +
                         c.said(dump) + kPrompt);
    EXPECT_EQ(r.err, c.err(dump));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(Fingerprint(dir, dump), before) << "a file outside the output folder changed";
    EXPECT_EQ(ReadFileBytes(outside / "precious.txt"), "keep me");
    EXPECT_EQ(ReadFileBytes(outside / "linked.txt"), "keep me as well");
    for (size_t i = 0; i < c.written; ++i)
      EXPECT_TRUE(ReadFileBytes(dump / ImageName(i)) == images[i]) << i;
    c.left(dump);
  }
}

// The output folder's name is taken by a file, or is a device (an input
// without an extension: its output folder is the input itself): no folder
// can ever be made there, and the run says so before it reads the input;
// the file stays as it was. /dev/zero read would never end.
TEST_F(ToolFaultsTest, AnOutputFolderThatIsAFileOrADeviceIsRefusedBeforeTheScan) {
  WriteFileBytes(root / "dump.bin", ThreeImages());
  WriteFileBytes(root / "dump", "I am a file");
  const auto before = Fingerprint(root);
  for (const fs::path& input : {root / "dump.bin", fs::path("/dev/zero")}) {
    const fs::path output = input.parent_path() / input.stem();
    RunOptions options;
    options.cwd = root.string();
    options.timeout_seconds = 60;
    const ToolRun r = RunProgram({LUMVANE_BIN, input.string()}, options);
    EXPECT_EQ(r.out, Analyse(input.string()) + "\n Output folder refused: " + output.string() +
                         " is not a folder.\n\n" + kPrompt);
    EXPECT_EQ(r.err, Reason(output, ENOTDIR));
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_EQ(Fingerprint(root), before);
}

// A device is carved through a link to it that has an extension, as
// lumvane(1) shows: the images go into the folder named after the link.
// Named itself, the device is its own output folder path and is refused
// before a byte is read. Root attaches a loop device to a file of its own.
TEST_F(ToolFaultsTest, ADeviceIsCarvedThroughALinkWithAnExtension) {
  if (geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
  std::vector<std::string> images;
  std::string disk = ThreeImages(&images);
  disk.resize(1 << 20, '\0');
  WriteFileBytes(top / "disk.raw", disk);
  const ToolRun attach = RunProgram({"/sbin/losetup", "-f", "--show", (top / "disk.raw").string()});
  ASSERT_EQ(attach.status, 0) << "cannot attach a loop device: " << attach.err;
  const std::string device = attach.out.substr(0, attach.out.find('\n'));
  fs::create_symlink(device, root / "sdb.img");
  const ToolRun r = RunTool(root, "sdb.img");
  const ToolRun bare = RunTool(root, device);
  EXPECT_EQ(RunProgram({"/sbin/losetup", "-d", device}).status, 0) << "cannot detach " << device;
  EXPECT_EQ(r.out, Analyse((root / "sdb.img").string()) + Total(3) +
                       SavedTo((root / "sdb").string()) + "..." + kPrompt);
  EXPECT_EQ(r.status, 0);
  for (size_t i = 0; i < images.size(); ++i)
    EXPECT_TRUE(ReadFileBytes(root / "sdb" / ImageName(i)) == images[i]) << i;
  EXPECT_EQ(bare.out, Analyse(device) + "\n Output folder refused: " + device +
                          " is not a folder.\n\n" + kPrompt);
  EXPECT_EQ(bare.err, Reason(device, ENOTDIR));
  EXPECT_EQ(bare.status, 1);
}

// The output folder's name is a link: to a folder outside, to a folder that
// does not exist, to the input's own folder or above. The folder a link leads
// to is never emptied or filled; the run refuses before it touches anything.
// A link higher up the path (the folder holding the input) still works.
TEST_F(ToolFaultsTest, AnOutputFolderThatIsALinkIsRefused) {
  fs::create_directories(root / "work");
  fs::create_directories(root / "docs");
  WriteFileBytes(root / "work" / "dump.bin", ThreeImages());
  WriteFileBytes(root / "docs" / "letter.txt", "keep me");
  fs::create_directory(root / "elsewhere");
  for (const std::string& target :
       {(root / "docs").string(), std::string("../docs"), std::string("../elsewhere/new/out"),
        std::string("."), std::string("..")}) {
    fs::create_symlink(target, root / "work" / "dump");
    const auto before = Fingerprint(root);
    const ToolRun r = RunTool(root, "work/dump.bin");
    EXPECT_EQ(r.out, Analyse("work/dump.bin") +
                         "\n Output folder refused: work/dump is a link.\n\n" + kPrompt)
        << target;
    EXPECT_EQ(r.status, 1) << target;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Fingerprint(root), before) << target;
    fs::remove(root / "work" / "dump");
  }
  EXPECT_FALSE(fs::exists(root / "elsewhere" / "new"));

  std::vector<std::string> images;
  WriteFileBytes(root / "work" / "dump.bin", ThreeImages(&images));
  fs::create_directory_symlink("work", root / "worklink");
  const ToolRun r = RunTool(root, "worklink/dump.bin");
  EXPECT_EQ(r.out,
            Analyse("worklink/dump.bin") + Total(3) + SavedTo("worklink/dump") + "..." + kPrompt);
  EXPECT_EQ(r.status, 0);
  for (size_t i = 0; i < images.size(); ++i)
    EXPECT_TRUE(ReadFileBytes(root / "work" / "dump" / ImageName(i)) == images[i]);
}

// The input is a link into what becomes its own output folder: emptying
// the folder would delete the input's target. The writer refuses.
TEST_F(ToolFaultsTest, AnOutputFolderHoldingTheInputsTargetIsRefused) {
  const fs::path in = root / "in";
  fs::create_directories(in / "dump");
  WriteFileBytes(in / "dump" / "real.bin", ThreeImages());
  WriteFileBytes(in / "dump" / "neighbour.txt", "keep me");
  fs::create_symlink("dump/real.bin", in / "dump.bin");
  const auto before = Fingerprint(root);
  const ToolRun r = RunTool(in, "dump.bin");
  EXPECT_EQ(r.out, Analyse((in / "dump.bin").string()) + "\n Output folder refused: " +
                       (in / "dump").string() + " contains the input file.\n\n" + kPrompt);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(Fingerprint(root), before);
}

TEST_F(ToolFaultsTest, AnInputThatIsADirectoryIsRefusedBeforeAnythingIsCreated) {
  fs::create_directory(root / "folder.bin");
  WriteFileBytes(root / "folder.bin" / "inside.png", Image(100, 'x'));
  ExpectFailureTouchingNothing("folder.bin", "\n File Open Failed!\n", root / "folder.bin", EISDIR);
  EXPECT_FALSE(fs::exists(root / "folder"));
}

// A sparse input just past 4 GiB with an image well below 4 GiB, one across
// it and one above it: each is found and written byte for byte. The run
// reads 4 GiB of holes (some ten seconds).
TEST_F(ToolFaultsTest, ASparseInputPastFourGiBKeepsEveryImage) {
  const uint64_t four = uint64_t{1} << 32;
  const std::vector<std::pair<uint64_t, std::string>> placed = {
      {four - 3 * 65536 + 7, Image(70000, 'l')},
      {four - 1000, Image(3000, 'm')},
      {four + 4093, Image(5000, 'h')},
  };
  const fs::path input = root / "big.bin";
  {
    const int fd = open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (const auto& [at, bytes] : placed)
      ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)),
                static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(
        ftruncate(fd, static_cast<off_t>(placed.back().first + placed.back().second.size() + 5001)),
        0);
    close(fd);
  }
  ASSERT_GT(fs::file_size(input), four + 1);
  const auto before = Fingerprint(root, root / "big");
  const ToolRun r = RunTool(root, "big.bin");
  EXPECT_EQ(r.out, Analyse(input.string()) + Total(3) + SavedTo((root / "big").string()) + "..." +
                       kPrompt);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("(total: 3)"), std::string::npos) << r.out;
  for (size_t i = 0; i < placed.size(); ++i)
    EXPECT_TRUE(ReadFileBytes(root / "big" / ImageName(i)) == placed[i].second) << i;
  EXPECT_EQ(Fingerprint(root, root / "big"), before);
}

// The current directory deeper than one path can name (over 4,096
// characters). Its path cannot lead back to it once the run has moved
// through the levels of the output folder; the run must still come back to
// it, and never take the folder it stands in for it. Old files named like the
// output folder wait in the folders above.
TEST_F(ToolFaultsTest, ACurrentDirectoryDeeperThanOnePathIsComeBackTo) {
  const std::string chain = MakeDeepChain(root, 21, std::string(200, 'd'));
  ASSERT_GT(root.string().size() + chain.size(), 4200u);
  std::vector<std::string> images;
  WriteDeep(root, chain + "/sub/y.bin", ThreeImages(&images));
  WriteDeep(root, chain + "/y.bin", ThreeImages());
  WriteDeep(root, chain + "/sub/y/old.txt", "old");
  for (std::string above = chain; above.find('/') != std::string::npos;) {
    above.erase(above.rfind('/'));
    WriteDeep(root, above + "/sub/y/precious.txt", "keep me");
  }
  WriteFileBytes(root / "precious.txt", "keep me");
  const std::string output = chain + "/sub/y";
  const auto before = Fingerprint(root, root / output);
  ToolOptions deep;
  deep.beforeStart = [&chain] {
    for (size_t from = 0, end; from < chain.size(); from = end + 1) {
      end = std::min(chain.find('/', from), chain.size());
      if (chdir(chain.substr(from, end - from).c_str()) != 0) return false;
    }
    return true;
  };
  const ToolRun r = RunTool(root, "sub/y.bin", deep);
  // The folder is emptied and filled through the handle it was opened by,
  // so its full path, longer than a path may be, is never needed.
  EXPECT_EQ(r.out, Analyse("sub/y.bin") + Total(3) + SavedTo("sub/y") + "..." + kPrompt);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadDeep(root, output + "/old.txt"), "");  // gone (it held "old")
  for (size_t i = 0; i < images.size(); ++i)
    EXPECT_TRUE(ReadDeep(root, output + "/" + ImageName(i)) == images[i]) << i;
  EXPECT_EQ(Fingerprint(root, root / output), before);

  // A bare name: joined to the current directory it is longer than a path
  // may be, so the input cannot be opened by it; the run fails as for any
  // input it cannot open, and makes nothing.
  const ToolRun bare = RunTool(root, "y.bin", deep);
  EXPECT_EQ(bare.out,
            Analyse(root.string() + "/" + chain + "/y.bin") + "\n File Open Failed!\n\n" + kPrompt);
  EXPECT_EQ(bare.status, 1);
  EXPECT_EQ(Fingerprint(root, root / output), before);
}

// The current directory lies in a folder that lost its search right after
// the run entered it: its path no longer leads back to it (as an ordinary
// user). The run must come back to it all the same, and never empty or fill
// the folder of the same name above it.
TEST_F(ToolFaultsTest, ACurrentDirectoryUnderAClosedFolderIsComeBackTo) {
  std::vector<std::string> images;
  fs::create_directories(root / "p" / "c" / "sub" / "y");
  WriteFileBytes(root / "p" / "c" / "sub" / "y.bin", ThreeImages(&images));
  fs::create_directories(root / "sub" / "y");
  WriteFileBytes(root / "sub" / "y" / "precious.txt", "keep me");
  OpenToNobody();
  const fs::path output = root / "p" / "c" / "sub" / "y";
  const auto before = Fingerprint(root, output);
  ToolOptions closing;
  closing.asNobody = true;
  const fs::path p = root / "p";
  closing.beforeStart = [&p] { return chmod(p.c_str(), 0600) == 0; };
  const ToolRun r = RunTool(root / "p" / "c", "sub/y.bin", closing);
  chmod(p.c_str(), 0755);
  // The folder is emptied and filled through the handle it was opened by,
  // never by its full path, which leads through the closed folder.
  EXPECT_EQ(r.out, Analyse("sub/y.bin") + Total(3) + SavedTo("sub/y") + "..." + kPrompt);
  EXPECT_EQ(r.status, 0);
  for (size_t i = 0; i < images.size(); ++i)
    EXPECT_TRUE(ReadFileBytes(output / ImageName(i)) == images[i]) << i;
  EXPECT_EQ(Fingerprint(root, output), before);
}

// A second process swaps the output folder for a link while the run empties
// it: as soon as any of the old files is gone it renames the folder away and
// puts a link in its place, to a folder of precious files or to the input's
// own folder. Whatever the timing, the run empties and fills the folder it
// held (now under its new name) and nothing else: the folder the link leads
// to keeps every file, and no image appears beside the input.
TEST_F(ToolFaultsTest, SwappingTheFolderForALinkWhileItIsEmptiedChangesNothingOutside) {
  constexpr int kOldFiles = 20000;
  const fs::path work = root / "work", dump = work / "dump", moved = work / "dump.real";
  fs::create_directories(root / "other");
  for (int i = 0; i < 500; ++i)
    WriteFileBytes(root / "other" / ("keep" + std::to_string(i)), "keep");
  WriteFileBytes(root / "other" / "00.png", "not an image of this run");
  std::vector<std::string> images;
  const std::string input = ThreeImages(&images);
  for (const std::string& target : {std::string("../other"), std::string(".")}) {
    fs::create_directories(dump);
    WriteFileBytes(work / "dump.bin", input);
    for (int i = 0; i < kOldFiles; ++i) {
      const std::string name = (dump / ("old" + std::to_string(i))).string();
      const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      ASSERT_GE(fd, 0) << name;
      close(fd);
    }
    const auto otherBefore = Fingerprint(root / "other");
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t swapper = fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
      // Waits, a bounded number of looks, until the emptying has begun.
      int remaining = -1;
      for (long look = 0; look < 50000000 && remaining < 0; ++look) {
        for (int i = 0; i < kOldFiles; i += kOldFiles / 100) {
          if (access((dump / ("old" + std::to_string(i))).c_str(), F_OK) != 0) {
            remaining = 0;
            break;
          }
        }
      }
      if (remaining < 0) _exit(2);
      if (rename(dump.c_str(), moved.c_str()) != 0 || symlink(target.c_str(), dump.c_str()) != 0)
        _exit(3);
      // How far the emptying had come, for the log: old files still there.
      const int left = static_cast<int>(std::distance(fs::directory_iterator(moved), {}));
      if (write(report[1], &left, sizeof left) != sizeof left) _exit(4);
      _exit(0);
    }
    close(report[1]);
    const ToolRun r = RunTool(root, "work/dump.bin");
    int status = 0;
    ASSERT_EQ(waitpid(swapper, &status, 0), swapper);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "swapper: " << status;
    int left = -1;
    EXPECT_EQ(read(report[0], &left, sizeof left), static_cast<ssize_t>(sizeof left));
    close(report[0]);
    std::cout << "[ swap to " << target << " with " << left << " old files left ]\n";

    EXPECT_EQ(r.out, Analyse("work/dump.bin") + Total(3) + SavedTo("work/dump") + "..." + kPrompt)
        << target;
    EXPECT_EQ(r.status, 0) << target;
    EXPECT_EQ(Fingerprint(root / "other"), otherBefore) << target;
    EXPECT_EQ(Names(work), (std::set<std::string>{"dump", "dump.bin", "dump.real"})) << target;
    EXPECT_TRUE(ReadFileBytes(work / "dump.bin") == input);
    EXPECT_EQ(Names(moved), (std::set<std::string>{"00.png", "01.png", "02.png"})) << target;
    for (size_t i = 0; i < images.size(); ++i)
      EXPECT_TRUE(ReadFileBytes(moved / ImageName(i)) == images[i]) << i;
    fs::remove(dump);
    fs::remove_all(moved);
  }
}

// An old read-only 03.png in the output folder: the emptying stops at it, and
// creating 03.png must not write into it either, for root as for anyone.
TEST_F(ToolFaultsTest, AReadOnlyImageFileIsNeverOverwritten) {
  const std::vector<std::string> images = {Image(4096, 'a'), Image(5000, 'b'), Image(3000, 'c'),
                                           Image(4000, 'd')};
  WriteFileBytes(root / "dump.bin",
                 "junk" + images[0] + images[1] + "junk" + images[2] + images[3]);
  const fs::path dump = root / "dump";
  for (const bool asNobody : {false, true}) {
    if (asNobody && geteuid() != 0) break;  // the suite's own user was an ordinary one already
    fs::create_directory(dump);
    WriteFileBytes(dump / "03.png", "old bytes");
    fs::permissions(dump / "03.png",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    if (asNobody) OpenToNobody();
    const auto before = Fingerprint(root, dump);
    ToolOptions options;
    options.asNobody = asNobody;
    const ToolRun r = RunTool(root, "dump.bin", options);
    EXPECT_EQ(r.out, Analyse((root / "dump.bin").string()) + Total(4) + SavedTo(dump.string()) +
                         "...\n File create Failed!\n\n" + kPrompt)
        << "as nobody: " << asNobody;
    EXPECT_EQ(r.err, Reason(dump / "03.png", EACCES));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ReadFileBytes(dump / "03.png"), "old bytes");
    EXPECT_EQ(fs::status(dump / "03.png").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    for (size_t i = 0; i < 3; ++i)
      EXPECT_TRUE(ReadFileBytes(dump / ImageName(i)) == images[i]) << i;
    EXPECT_EQ(Fingerprint(root, dump), before);
    fs::remove_all(dump);
  }
}

// The input became empty after the scan, while the output folder was being
// emptied: the first image can no longer be read. It is a failed read, and
// no file of 0 bytes is left in its place.
TEST_F(ToolFaultsTest, AnInputThatShrankBeforeWritingIsAFailedRead) {
  WriteFileBytes(root / "dump.bin", ThreeImages());
  const fs::path dump = root / "dump";
  // Many old files make the emptying last long enough to stop the tool in it.
  constexpr int kOldFiles = 20000;
  const auto oldName = [&dump](int i) { return dump / ("old-" + std::to_string(i)); };
  bool caught = false;
  ToolRun r;
  for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
    fs::remove_all(dump);
    fs::create_directory(dump);
    for (int i = 0; i < kOldFiles; ++i) WriteFileBytes(oldName(i), "");
    WriteFileBytes(root / "dump.bin", ThreeImages());
    RunningProgram p = StartTool(root, "dump.bin");
    const bool stopped = StopWhen(p, [&] {
      for (int i = 0; i < kOldFiles; i += kOldFiles / 64)
        if (!fs::exists(oldName(i))) return true;
      return false;
    });
    caught = stopped && !fs::exists(dump / "00.png");
    if (caught) {
      EXPECT_EQ(truncate((root / "dump.bin").c_str(), 0), 0);
    }
    if (stopped) kill(p.pid, SIGCONT);
    r = FinishProgram(p);
  }
  ASSERT_TRUE(caught) << "the tool was never stopped while it emptied the folder";
  EXPECT_EQ(r.out, Analyse((root / "dump.bin").string()) + Total(3) + SavedTo(dump.string()) +
                       "\n File Read Failed!\n\n" + kPrompt);
  // The input named as the writer opened it: as typed.
  EXPECT_EQ(r.err, "lumvane: dump.bin: ended before this image (shorter than when it was read)\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(fs::is_empty(dump)) << "a partial image or an old file stays";
}

// A signal that ends the process while an image is being written: that
// image is removed before the process ends, by the same signal; the images
// finished before it stay, and one dot stands for each of them.
TEST_F(ToolFaultsTest, AnInterruptionWhileWritingRemovesThatImageOnly) {
  const std::vector<std::string> images = {Image(4096, 'a'), Image(5000, 'b'),
                                           Image(size_t{96} << 20, 'c')};
  WriteFileBytes(root / "dump.bin", images[0] + images[1] + images[2]);
  const fs::path dump = root / "dump";
  const fs::path last = dump / "02.png";
  // Every signal whose default ends the process, as the user or the system
  // sends them: Ctrl-C, kill, a hang-up, a CPU-time limit (SIGXCPU), timers,
  // timeout -s USR1, a real-time signal.
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGXCPU, SIGALRM, SIGVTALRM, SIGPROF, SIGUSR1,
                           SIGUSR2, SIGPOLL, SIGRTMIN + 2}) {
    bool caught = false;
    std::string dots;
    const ToolRun r = InterruptWhileWriting(
        root, last, images[2].size(),
        [&dots, signal](const RunningProgram& p) {
          dots = OutputSoFar(p);
          kill(p.pid, signal);
        },
        caught);
    ASSERT_TRUE(caught) << "the tool was never stopped while it wrote 02.png";
    EXPECT_TRUE(EndsWith(dots, SavedTo(dump.string()) + "..")) << dots;
    EXPECT_EQ(r.signal, signal) << r.out;
    EXPECT_EQ(r.out, dots);
    EXPECT_EQ(Names(dump), (std::set<std::string>{"00.png", "01.png"})) << signal;
    EXPECT_TRUE(ReadFileBytes(dump / "00.png") == images[0]);
    EXPECT_TRUE(ReadFileBytes(dump / "01.png") == images[1]);
  }
}

// The name of the image being written is taken over while it is written:
// the file made is renamed away and another put under its name. An
// interruption then removes nothing it did not make: the other file stays.
TEST_F(ToolFaultsTest, AnInterruptionRemovesOnlyTheFileItMade) {
  const std::vector<std::string> images = {Image(4096, 'a'), Image(size_t{96} << 20, 'c')};
  WriteFileBytes(root / "dump.bin", images[0] + images[1]);
  const fs::path dump = root / "dump";
  const fs::path last = dump / "01.png";
  bool caught = false;
  const ToolRun r = InterruptWhileWriting(
      root, last, images[1].size(),
      [&last, &dump](const RunningProgram& p) {
        fs::rename(last, dump / "moved.png");
        WriteFileBytes(last, "not the tool's");
        kill(p.pid, SIGTERM);
      },
      caught);
  ASSERT_TRUE(caught) << "the tool was never stopped while it wrote 01.png";
  EXPECT_EQ(r.signal, SIGTERM) << r.out;
  EXPECT_EQ(ReadFileBytes(last), "not the tool's");
  EXPECT_TRUE(ReadFileBytes(dump / "00.png") == images[0]);
}

// A signal while the output folder is emptied, standard output a file: what
// the run had said by then is there, the count of images included.
TEST_F(ToolFaultsTest, AnInterruptionWhileEmptyingKeepsWhatWasSaid) {
  WriteFileBytes(root / "dump.bin", ThreeImages());
  const fs::path dump = root / "dump";
  constexpr int kOldFiles = 20000;
  const auto oldName = [&dump](int i) { return dump / ("old-" + std::to_string(i)); };
  fs::create_directory(dump);
  for (int i = 0; i < kOldFiles; ++i) WriteFileBytes(oldName(i), "");
  RunningProgram p = StartTool(root, "dump.bin");
  const bool stopped = StopWhen(p, [&] {
    for (int i = 0; i < kOldFiles; i += kOldFiles / 64)
      if (!fs::exists(oldName(i))) return true;
    return false;
  });
  if (stopped) {
    kill(p.pid, SIGTERM);
    kill(p.pid, SIGCONT);
  }
  const ToolRun r = FinishProgram(p);
  ASSERT_TRUE(stopped) << "the tool ended before it emptied the folder";
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_EQ(r.out, Analyse((root / "dump.bin").string()) + Total(3));
}

// The output folder cannot be written: it would lie on a read-only file
// system (root, with the scratch mounted read-only in a mount namespace of
// its own), or in a folder closed to the user. Refused before the input is
// read, with the place and the system's reason; nothing made.
TEST_F(ToolFaultsTest, AnOutputFolderThatCannotBeWrittenIsRefusedBeforeTheScan) {
  WriteFileBytes(root / "dump.bin", ThreeImages());
  const auto before = Fingerprint(root);
  const std::string refused = Analyse((root / "dump.bin").string()) +
                              "\n Output folder refused: " + (root / "dump").string() +
                              " cannot be written.\n\n" + kPrompt;
  if (geteuid() == 0) {
    RunOptions options;
    options.timeout_seconds = 60;
    const ToolRun r =
        RunProgram({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                    "mount --bind -o ro \"$1\" \"$1\" && cd \"$1\" && exec \"$2\" dump.bin", "sh",
                    root.string(), LUMVANE_BIN},
                   options);
    EXPECT_EQ(r.out, refused) << r.err;
    EXPECT_EQ(r.err, Reason(root, EROFS));
    EXPECT_EQ(r.status, 1);
  }
  OpenToNobody();
  fs::permissions(root, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                            fs::perms::group_exec | fs::perms::others_read |
                            fs::perms::others_exec);
  ToolOptions nobody;
  nobody.asNobody = true;
  const ToolRun r = RunTool(root, "dump.bin", nobody);
  fs::permissions(root, fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(r.out, refused);
  EXPECT_EQ(r.err, Reason(root, EACCES));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Fingerprint(root), before);
}

// Standard output is a pipe whose reader is gone before the tool writes a
// byte. The carving is not stopped by it: every image is written, and the run
// ends with the failure of standard output said on standard error, status 1,
// without waiting for the key its prompt could not ask for.
TEST_F(ToolFaultsTest, AConsoleThatWentAwayDoesNotStopTheCarving) {
  std::string input;
  std::vector<std::string> images;
  for (int i = 0; i < 300; ++i) {
    images.push_back(Image(100 + static_cast<size_t>(i), static_cast<char>('a' + i % 26)));
    input += images.back();
  }
  WriteFileBytes(root / "dump.bin", input);
  // The key would come from a pipe that stays open and silent: nothing
  // asked for it on screen, so the run must not wait for it.
  const fs::path keys = top / "keys";
  ASSERT_EQ(mkfifo(keys.c_str(), 0600), 0);
  ToolOptions broken;
  broken.timeout = 60;
  broken.beforeStart = [&keys] {
    signal(SIGPIPE, SIG_DFL);
    int ends[2];
    if (pipe(ends) != 0 || dup2(ends[1], STDOUT_FILENO) < 0) return false;
    close(ends[0]);
    close(ends[1]);
    const int key = open(keys.c_str(), O_RDWR);
    return key >= 0 && dup2(key, STDIN_FILENO) == 0 && close(key) == 0;
  };
  const ToolRun r = RunTool(root, "dump.bin", broken);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\n Console Write Failed!\n\n");
  EXPECT_EQ(Names(root / "dump").size(), images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%02zu.png", i);
    EXPECT_TRUE(ReadFileBytes(root / "dump" / name) == images[i]) << name;
  }
}

// A file that reports a size of 0 but holds bytes (/proc files) is read to
// its end: the tool's own environment, holding one image-like text (no zero
// byte fits there, so it has no end marker and runs to the end of the input).
TEST_F(ToolFaultsTest, AFileThatReportsNoSizeIsReadToItsEnd) {
  fs::create_symlink("/proc/self/environ", root / "env.bin");
  ASSERT_EQ(fs::file_size("/proc/self/environ"), 0u);
  const std::string image =
      std::string("\x89PNG\r\n\x1a\nXXXXIHDR", 16) + "some pixels IEND\x01\x02";
  ToolOptions environment;
  environment.beforeStart = [&image] {
    return clearenv() == 0 && setenv("P", image.c_str(), 1) == 0;
  };
  const ToolRun r = RunTool(root, "env.bin", environment);
  EXPECT_EQ(r.out, Analyse((root / "env.bin").string()) + Total(1) +
                       SavedTo((root / "env").string()) + "." + kPrompt);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(ReadFileBytes(root / "env" / "00.png") == image + std::string(1, '\0'));
}

#ifndef LUMVANE_SANITIZED  // the sanitizers cannot start under a memory limit
// A memory limit (ulimit -v) that the offset table outgrows: 4 Mi image
// starts. The run says so, status 1, and touches nothing.
TEST_F(ToolFaultsTest, AnOffsetTableBeyondTheMemoryLimitIsAMessage) {
  const std::string start = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
  std::string input;
  input.reserve(start.size() << 22);
  for (int i = 0; i < (1 << 22); ++i) input += start;
  WriteFileBytes(root / "starts.bin", input);
  fs::create_directory(root / "starts");
  WriteFileBytes(root / "starts" / "old.txt", "keep me");
  const auto before = Fingerprint(root);
  ToolOptions limited;
  limited.beforeStart = [] {
    const rlimit limit{60000 * 1024, 60000 * 1024};
    return setrlimit(RLIMIT_AS, &limit) == 0;
  };
  const ToolRun r = RunTool(root, "starts.bin", limited);
  EXPECT_EQ(r.out, Analyse((root / "starts.bin").string()) + "\n Not enough memory!\n\n" + kPrompt);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Fingerprint(root), before);
}

// Every memory limit, from too little for the program to load up to enough
// for the whole run, in steps of 8 KiB: a run that got as far as our own
// code either completes or says "Not enough memory!" (status 1, nothing
// touched); never another message, an abort or a partial file. Somewhere on
// the way the memory to read the input with cannot be had.
TEST_F(ToolFaultsTest, EveryMemoryLimitEndsCleanly) {
  std::vector<std::string> images;
  WriteFileBytes(root / "dump.bin", ThreeImages(&images));
  const auto before = Fingerprint(root);
  const std::string analyse = Analyse((root / "dump.bin").string());
  bool readingRefused = false, completed = false;
  for (rlim_t kib = 1024; kib <= 64 * 1024 && !completed; kib += 8) {
    ToolOptions limited;
    limited.beforeStart = [kib] {
      const rlimit limit{kib * 1024, kib * 1024};
      return setrlimit(RLIMIT_AS, &limit) == 0;
    };
    const ToolRun r = RunTool(root, "dump.bin", limited);
    // Before our code runs: the loader. Once main runs, never an abort (a
    // reserve taken through the nothrow new used to end in one, since that
    // throws and catches inside).
    if (r.out.empty() && r.status == 127) continue;
    if (r.status == 0) {
      completed = true;
      EXPECT_EQ(r.out, analyse + Total(3) + SavedTo((root / "dump").string()) + "..." + kPrompt);
      for (size_t i = 0; i < images.size(); ++i)
        EXPECT_TRUE(ReadFileBytes(root / "dump" / ImageName(i)) == images[i]);
      continue;
    }
    EXPECT_EQ(r.status, 1) << kib << " KiB: " << r.out << r.err;
    EXPECT_TRUE(EndsWith(r.out, "\n Not enough memory!\n\n" + kPrompt)) << kib << " KiB: " << r.out;
    EXPECT_EQ(r.err, "") << kib << " KiB";
    EXPECT_EQ(Fingerprint(root), before) << kib << " KiB";
    if (r.out == analyse + "\n Not enough memory!\n\n" + kPrompt) readingRefused = true;
  }
  EXPECT_TRUE(completed);
  EXPECT_TRUE(readingRefused) << "no limit let the run start and refused the memory to read with";
}
#endif

}  // namespace
