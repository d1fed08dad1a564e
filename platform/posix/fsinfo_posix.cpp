// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/fsinfo.h"
#include "platform/posix/posix_internal.h"

namespace {

bool StatOf(const char* path, struct stat* info) {
  if (path == nullptr) {
    FailWith(EINVAL);
    return false;
  }
  if (stat(path, info) != 0) {
    FailWithErrno();
    return false;
  }
  return true;
}

}  // namespace

BOOL AfxResolveRealPath(LPCTSTR path, CString& realPath) {
  if (path == nullptr) return FailWith(EINVAL);
  char* resolved = realpath(path, nullptr);
  if (resolved == nullptr) return FailWithErrno();
  realPath = resolved;
  std::free(resolved);
  return TRUE;
}

namespace {

// TRUE when the folder of identity target holds the existing file or lies
// above it.
BOOL IsAtOrAbove(const struct stat& target, LPCTSTR file) {
  CString real;
  if (!AfxResolveRealPath(file, real)) return FALSE;
  // Walk up from the file's real location; comparing identities rather than
  // spellings also catches a second mount of the same folder.
  std::string path = real.str();
  for (;;) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) break;
    path.erase(slash == 0 ? 1 : slash);
    struct stat level;
    if (stat(path.c_str(), &level) == 0 && level.st_dev == target.st_dev &&
        level.st_ino == target.st_ino)
      return TRUE;
    if (path == "/") break;
  }
  SetLastError(ERROR_SUCCESS);
  return FALSE;
}

bool StatOfFolder(const CFolder& folder, struct stat* info) {
  if (!folder.IsOpen()) {
    FailWith(EBADF);
    return false;
  }
  if (fstat(static_cast<int>(folder.GetNativeHandle()), info) != 0) {
    FailWithErrno();
    return false;
  }
  return true;
}

}  // namespace

BOOL AfxIsSameFolder(const CFolder& folder, LPCTSTR path) {
  struct stat held, other;
  if (!StatOfFolder(folder, &held) || !StatOf(path, &other)) return FALSE;
  return held.st_dev == other.st_dev && held.st_ino == other.st_ino;
}

BOOL AfxIsFolderAtOrAbove(const CFolder& folder, LPCTSTR file) {
  struct stat held;
  if (!StatOfFolder(folder, &held)) return FALSE;
  return IsAtOrAbove(held, file);
}

BOOL AfxCanMakeIn(LPCTSTR path, CString& place) {
  if (path == nullptr || path[0] == '\0') return FailWith(EINVAL);
  std::string at(path);
  for (;;) {
    if (faccessat(AT_FDCWD, at.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return TRUE;
    if (errno == EROFS || errno == EACCES || errno == EPERM) {
      place = at.c_str();
      return FailWithErrno();
    }
    // Anything else (a path too long to name at once) is left to the
    // writes themselves.
    if (errno != ENOENT) return TRUE;
    // Up one level: "a/b" to "a", "/a" to "/", "a" to ".".
    while (at.size() > 1 && at.back() == '/') at.pop_back();
    const std::size_t slash = at.rfind('/');
    if (slash == std::string::npos && at == ".") return TRUE;  // nothing left to check
    at = slash == std::string::npos ? std::string(".") : at.substr(0, slash == 0 ? 1 : slash);
  }
}
