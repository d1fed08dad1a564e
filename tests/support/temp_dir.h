// SPDX-License-Identifier: MIT
// A self-cleaning temporary folder for tests: made fresh under $TMPDIR (or
// /tmp), or in a folder given, on construction, removed with everything in it
// on destruction, also read-only files and folders a test left behind. Links
// inside are removed, never followed. The one way tests make scratch folders
// (the Windows tests' folders on the scratch drive are TempDirs too:
// tests/win32/win32_support.h).
#pragma once

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "tests/support/file_bytes.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

class TempDir {
 public:
  // Under $TMPDIR (or /tmp), by its real path, so that tests may compare it
  // with what the current directory reports even when TMPDIR goes through
  // a link.
  TempDir() : TempDir(DefaultBase(), true) {}
  // In the folder base, by base's spelling.
  explicit TempDir(const std::filesystem::path& base) : TempDir(base, false) {}
  ~TempDir() {
    namespace fs = std::filesystem;
    if (m_path.empty()) return;
    std::error_code ec;
    // Give every folder and file back its owner rights so removal succeeds.
    for (auto it = fs::recursive_directory_iterator(
             m_path, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_symlink())
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(m_path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  // The folder, or a name inside it, as a string.
  std::string str() const { return m_path.string(); }
  std::string operator/(const std::string& name) const { return (m_path / name).string(); }

  // Writes a file of the given content under the folder; returns its path.
  std::string WriteFile(const std::string& name, const std::string& content = "x") const {
    const std::string full = (m_path / name).string();
    WriteFileBytes(full, content);
    return full;
  }
  // Makes a folder (with parents) under the folder; returns its path.
  std::string MakeDir(const std::string& name) const {
    const std::string full = (m_path / name).string();
    std::error_code ec;
    std::filesystem::create_directories(full, ec);
    EXPECT_FALSE(ec) << "cannot make " << full << ": " << ec.message();
    return full;
  }

 private:
  static std::filesystem::path DefaultBase() {
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    return ec ? std::filesystem::path("/tmp") : base;
  }
  TempDir(const std::filesystem::path& base, bool real) {
    namespace fs = std::filesystem;
    std::error_code ec;
    static std::atomic<unsigned> counter{0};
    std::random_device seed;
    for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
      const fs::path candidate =
          base / ("lumvane-test-" + std::to_string(seed()) + "-" + std::to_string(counter++));
      if (fs::create_directory(candidate, ec) && !ec) {
        m_path = real ? fs::canonical(candidate, ec) : candidate;
        if (ec) m_path = candidate;
      }
    }
    if (m_path.empty()) ADD_FAILURE() << "cannot make a temporary folder under " << base;
  }

  std::filesystem::path m_path;
};

// Sets the current directory for the life of the object and goes back
// afterwards, so a failing test does not move the next one. On POSIX the
// directory to go back to is held by handle, so that it is reached again
// whatever the test did to the folders above it; going back is checked.
class ScopedCurrentDir {
 public:
  explicit ScopedCurrentDir(const std::filesystem::path& dir) {
    std::error_code ec;
#ifdef _WIN32
    m_saved = std::filesystem::current_path(ec);
    EXPECT_FALSE(ec) << "cannot read the current directory: " << ec.message();
#else
    m_handle = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    EXPECT_GE(m_handle, 0) << "cannot hold the current directory";
#endif
    std::filesystem::current_path(dir, ec);
    EXPECT_FALSE(ec) << "cannot enter " << dir << ": " << ec.message();
  }
  ~ScopedCurrentDir() {
#ifdef _WIN32
    std::error_code ec;
    std::filesystem::current_path(m_saved, ec);
    EXPECT_FALSE(ec) << "cannot go back to " << m_saved << ": " << ec.message();
#else
    if (m_handle < 0) return;
    EXPECT_EQ(fchdir(m_handle), 0) << "cannot go back to the current directory";
    close(m_handle);
#endif
  }
  ScopedCurrentDir(const ScopedCurrentDir&) = delete;
  ScopedCurrentDir& operator=(const ScopedCurrentDir&) = delete;

 private:
#ifdef _WIN32
  std::filesystem::path m_saved;
#else
  int m_handle = -1;
#endif
};

// True when the test runs with root rights, which bypass permission checks.
inline bool RunningAsRoot() {
#ifdef _WIN32
  return false;
#else
  return geteuid() == 0;
#endif
}
