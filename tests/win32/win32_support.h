// SPDX-License-Identifier: MIT
// Helpers of the Windows tests: the scratch drive, self-cleaning folders on
// it, and symbolic links as Wine and Windows make them. (Whole files:
// tests/support/file_bytes.h; the system's error texts: system_text.h.)
#pragma once

// The platform's own way in to <windows.h> (lean, without min and max).
#include "platform/win32api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/afx.h"
#include "tests/support/file_bytes.h"
#include "tests/support/system_text.h"
#include "tests/support/temp_dir.h"

namespace win32test {

// The drive the tests may write on, root included ("E:"), from
// LUMVANE_TEST_DRIVE; scripts/wine-run maps one for every Wine run. Empty
// when none is named.
inline std::string TestDrive() {
  const char* drive = std::getenv("LUMVANE_TEST_DRIVE");
  if (drive == nullptr || drive[0] == '\0' || drive[1] != ':' || drive[2] != '\0') return "";
  return drive;
}

inline std::string CurrentDirectory() {
  char buffer[MAX_PATH];
  const DWORD length = GetCurrentDirectoryA(MAX_PATH, buffer);
  return length != 0 && length < MAX_PATH ? std::string(buffer, length) : "";
}

// Makes the current directory dir; false when it cannot.
inline bool Enter(const std::string& dir) { return SetCurrentDirectoryA(dir.c_str()) != 0; }

// Makes the folder dir (its parent must exist); false when it cannot.
inline bool MakeDir(const std::string& dir) { return CreateDirectoryA(dir.c_str(), nullptr) != 0; }

inline bool IsDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

inline bool IsFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Starts a command of the host (Wine only: a Unix program by its path, such
// as "/bin/ln -s a b"; quote with double quotes) in the folder cwd, without
// waiting for it. False when it cannot be started (on Windows).
// RunHostCommand starts one, then waits, a bounded number of
// looks, until path exists (exists) or is gone: Wine gives no handle to wait
// on for a Unix process. False when it cannot be started (on Windows) or
// path never comes to be as wanted.
inline bool StartHostCommand(const std::string& cwd, std::string command) {
  const std::string program = "Z:" + command.substr(0, command.find(' '));
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  return CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        cwd.c_str(), &startup, &process) != 0;
}

inline bool RunHostCommand(const std::string& cwd, std::string command, const std::string& path,
                           bool exists) {
  if (!StartHostCommand(cwd, command)) return false;
  for (int look = 0; look < 2000; ++look) {
    if ((GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) == exists) return true;
    Sleep(10);
  }
  return false;
}

// Makes link, a symbolic link to an existing target (a relative target is
// read from the link's folder), in the folder cwd. Under Wine the host's own
// ln makes it (Wine's CreateSymbolicLinkA makes nothing; a host link is what
// a user of Wine meets), and Wine then follows it without showing a reparse
// point; on Windows CreateSymbolicLinkA makes a reparse point. Such a link is
// removed with RemoveSymbolicLink: Wine's DeleteFileA removes a host link's
// target instead.
inline bool MakeSymbolicLink(const std::string& cwd, const std::string& target,
                             const std::string& link, bool folder = false) {
  const std::string path = cwd + "\\" + link;
  if (RunHostCommand(cwd, "/bin/ln -s " + target + " " + link, path, true)) return true;
  std::string windowsTarget = target;
  std::replace(windowsTarget.begin(), windowsTarget.end(), '/', '\\');
  return CreateSymbolicLinkA(
             path.c_str(), windowsTarget.c_str(),
             (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2 /* unprivileged */) &&
         GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool RemoveSymbolicLink(const std::string& cwd, const std::string& link) {
  const std::string path = cwd + "\\" + link;
  if (RunHostCommand(cwd, "/bin/rm " + link, path, false)) return true;
  return DeleteFileA(path.c_str()) || RemoveDirectoryA(path.c_str());
}

// Removes path and everything in it, read-only files too; or the file path.
inline void RemoveTree(const std::string& path) {
  if (IsFile(path)) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
    return;
  }
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA((path + "\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      const std::string full = path + "\\" + name;
      SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(full);
      else
        DeleteFileA(full.c_str());
    } while (FindNextFileA(search, &entry));
    FindClose(search);
  }
  RemoveDirectoryA(path.c_str());
}

// A TempDir of its own at the root of the test drive ("E:\lumvane-test-...")
// for one test, removed afterwards, with the drive-root names it handed out;
// the current directory is put back first, so that nothing holds the folder.
class ScratchFolder {
 public:
  ScratchFolder() : m_saved(CurrentDirectory()) {
    if (TestDrive().empty()) return;
    m_folder.emplace(TestDrive() + "\\");
    m_path = m_folder->str();
  }
  ~ScratchFolder() {
    if (!m_saved.empty()) SetCurrentDirectoryA(m_saved.c_str());
    for (const std::string& extra : m_extra) RemoveTree(extra);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  bool ok() const { return !m_path.empty(); }
  // "E:\lumvane-test-..." without a trailing backslash.
  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "\\" + name; }
  // The folder's own name, without the drive.
  std::string name() const { return m_path.substr(3); }
  // A name at the drive root, unique to this folder ("lumvane-test-...-tag");
  // the file or folder of that name is removed with the folder.
  std::string RootName(const std::string& tag) {
    const std::string name = this->name() + "-" + tag;
    m_extra.push_back(TestDrive() + "\\" + name);
    return name;
  }
  // Removes drive-root path (a file or folder) with this folder too.
  void RemoveLater(const std::string& path) { m_extra.push_back(path); }

 private:
  std::string m_saved;
  std::optional<TempDir> m_folder;
  std::string m_path;
  std::vector<std::string> m_extra;
};

// Skips the test when no scratch drive is named (a Windows machine outside
// the test harness); under Wine there always is one.
#define REQUIRE_TEST_DRIVE(folder)                                                   \
  do {                                                                               \
    if (win32test::TestDrive().empty())                                              \
      GTEST_SKIP() << "LUMVANE_TEST_DRIVE names no scratch drive (scripts/wine-run " \
                      "maps one)";                                                   \
    ASSERT_TRUE((folder).ok());                                                      \
  } while (0)

}  // namespace win32test
