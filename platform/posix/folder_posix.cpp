// SPDX-License-Identifier: MIT
#include "platform/folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/posix/posix_internal.h"

const DWORD CFolder::kLinkRefused = ELOOP;

namespace {
int Fd(INT_PTR handle) { return static_cast<int>(handle); }
}  // namespace

CFolder::~CFolder() { Close(); }

void CFolder::Close() {
  if (m_handle == -1) return;
  close(Fd(m_handle));
  m_handle = -1;
}

BOOL CFolder::Open(LPCTSTR path) {
  Close();
  if (path == nullptr || path[0] == '\0') return FailWith(EINVAL);
  // A trailing "/" would make the system follow a link as the last name.
  std::string name(path);
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  const int fd = open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    struct stat own;
    // O_NOFOLLOW gives ELOOP for a link, but O_DIRECTORY may answer first.
    if (lstat(name.c_str(), &own) == 0 && S_ISLNK(own.st_mode)) return FailWith(ELOOP);
    return FailWith(code);
  }
  m_handle = fd;
  m_path = path;
  return TRUE;
}

BOOL CFolder::ListFiles(CStringArray& names) const {
  if (m_handle == -1) return FailWith(EBADF);
  // The listing reads from a copy, so that closing it leaves ours open; the
  // copy shares the read position, which rewinddir puts back to the start.
  const int copy = fcntl(Fd(m_handle), F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return FailWithErrno();
  DIR* dir = fdopendir(copy);
  if (dir == nullptr) {
    const int code = errno;
    close(copy);
    return FailWith(code);
  }
  rewinddir(dir);
  int code = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      code = errno;
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    struct stat info;
    // Followed, as the directory search does: a link to a folder is a folder
    // and stays; a dangling link is a file.
    const bool known = fstatat(Fd(m_handle), entry->d_name, &info, 0) == 0;
    if (known ? S_ISDIR(info.st_mode) : entry->d_type == DT_DIR) continue;
    names.Add(entry->d_name);
  }
  closedir(dir);
  return code == 0 ? TRUE : FailWith(code);
}

BOOL CFolder::DeleteFile(LPCTSTR name) const {
  if (m_handle == -1) return FailWith(EBADF);
  if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr)
    return FailWith(EINVAL);
  struct stat info;
  if (fstatat(Fd(m_handle), name, &info, AT_SYMLINK_NOFOLLOW) != 0) return FailWithErrno();
  if (S_ISDIR(info.st_mode)) return FailWith(EISDIR);
  // A link's own mode bits mean nothing; any other file keeps Windows'
  // read-only rule, which root would otherwise bypass.
  if (!S_ISLNK(info.st_mode) && (info.st_mode & S_IWUSR) == 0) return FailWith(EACCES);
  if (unlinkat(Fd(m_handle), name, 0) != 0) return FailWithErrno();
  return TRUE;
}

CString CFolder::DisplayName(LPCTSTR name) { return CString(name); }
