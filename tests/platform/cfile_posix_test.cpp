// SPDX-License-Identifier: MIT
// CFile on POSIX: what it refuses to read (a FIFO, a character device) and
// a block device read with its length.
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/afx.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

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
  EXPECT_EQ(f.GetLength(), length);  // asking the length keeps the position
  EXPECT_EQ(f.Seek(0, CFile::current), 512);
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
