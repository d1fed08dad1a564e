// SPDX-License-Identifier: MIT
// Running checks as an ordinary user. Root passes every permission check, and
// CI runs as root; so a test about permissions runs its checks as `nobody`
// (group `nogroup`, no other groups) through setpriv from util-linux, from a
// copy of the program placed where that user can reach it.
#pragma once

#ifndef _WIN32

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace as_nobody {

// The words in front of a command that run it as nobody:nogroup.
inline std::vector<std::string> SetprivPrefix() {
  return {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
}

inline uid_t Uid() {
  const passwd* user = getpwnam("nobody");
  return user != nullptr ? user->pw_uid : 65534;
}

inline gid_t Gid() {
  const group* grp = getgrnam("nogroup");
  return grp != nullptr ? grp->gr_gid : 65534;
}

// Gives path, and everything below it, to nobody; links are changed
// themselves, never followed.
inline void GiveToNobody(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  EXPECT_EQ(lchown(path.c_str(), Uid(), Gid()), 0) << path;
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(path, ec))) return;
  for (auto it = fs::recursive_directory_iterator(path, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    EXPECT_EQ(lchown(it->path().c_str(), Uid(), Gid()), 0) << it->path();
  EXPECT_FALSE(ec) << path << ": " << ec.message();
}

// Copies the program at from into dir as name, executable by everyone, and
// opens dir to everyone; returns the copy's path.
inline std::string CopyProgram(const std::string& from, const std::filesystem::path& dir,
                               const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(dir, ec);
  chmod(dir.c_str(), 0755);
  const fs::path copy = dir / name;
  fs::copy_file(from, copy, fs::copy_options::overwrite_existing, ec);
  EXPECT_FALSE(ec) << "cannot copy " << from << ": " << ec.message();
  chmod(copy.c_str(), 0755);
  return copy.string();
}

// When the suite runs as root: runs the current test again, as nobody, in a
// copy of this test program, and returns true; the caller returns at once,
// and whatever failed in the child fails here, with its output. The child
// gets a scratch folder of its own as TMPDIR and current directory. Returns
// false when the suite does not run as root: the test goes on itself.
inline bool RerunAsNobody() {
  if (geteuid() != 0) return false;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter =
      std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();

  TempDir dir;
  if (dir.path().empty()) return true;  // TempDir has reported why
  // The program's file by the path /proc/self/exe names: under qemu-user
  // that link names the program, but it cannot be read through.
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  EXPECT_FALSE(ec) << "/proc/self/exe: " << ec.message();
  const std::string program = CopyProgram(self.string(), dir.path(), "test-program");
  const std::string scratch = dir.MakeDir("tmp");
  GiveToNobody(scratch);

  std::vector<std::string> words = SetprivPrefix();
  words.push_back(program);
  words.push_back(filter);
  RunOptions options;
  options.cwd = scratch;
  options.env = {{"TMPDIR", scratch}};
  const ProgramRun r = RunProgram(words, options);
  // A filter that matched nothing would pass without running a check.
  EXPECT_TRUE(r.status == 0 && r.out.find("[  PASSED  ] 1 test.") != std::string::npos)
      << "as nobody (" << r.status << "):\n"
      << r.out << r.err;
  return true;
}

}  // namespace as_nobody

#endif  // _WIN32
