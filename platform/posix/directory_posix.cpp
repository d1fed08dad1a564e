// SPDX-License-Identifier: MIT
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/posix/posix_internal.h"

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
  // getcwd with a null buffer allocates as much as the path needs, so a long
  // current directory is never cut to a fixed limit.
  char* cwd = getcwd(nullptr, 0);
  if (cwd == nullptr) {
    FailWithErrno();
    return 0;
  }
  const std::size_t length = std::strlen(cwd);
  DWORD result;
  if (length + 1 > size || buffer == nullptr) {
    result = static_cast<DWORD>(length + 1);
  } else {
    std::memcpy(buffer, cwd, length + 1);
    result = static_cast<DWORD>(length);
  }
  std::free(cwd);
  return result;
}

BOOL SetCurrentDirectoryA(LPCSTR path) {
  if (path == nullptr) return FailWith(EINVAL);
  if (chdir(path) != 0) return FailWithErrno();
  return TRUE;
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES /*security*/) {
  if (path == nullptr) return FailWith(EINVAL);
  if (mkdir(path, 0777) != 0) return FailWithErrno();
  return TRUE;
}
