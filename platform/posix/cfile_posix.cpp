// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/afx.h"
#include "platform/folder.h"
#include "platform/posix/posix_internal.h"

namespace {
int Fd(INT_PTR handle) { return static_cast<int>(handle); }

// Opens the existing file name (relative to the folder at) with flags, and
// checks it on the descriptor itself, so that no swap of names in between
// can matter: a folder, or anything but a plain file or (for reading) a
// block device, is refused. For replacing (cut) it must also be a file of
// its own and writable, and is then cut to length 0. The descriptor, or -1
// with errno set.
int OpenExisting(int at, const char* name, int flags, bool cut) {
  // Non-blocking only for the open itself: a FIFO opened for reading would
  // otherwise wait for a writer before we could refuse it.
  const int fd = openat(at, name, flags | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat info;
  int refusal = 0;
  if (fstat(fd, &info) != 0) {
    refusal = errno;
  } else if (S_ISDIR(info.st_mode)) {
    refusal = EISDIR;
  } else if (!S_ISREG(info.st_mode) && (cut || !S_ISBLK(info.st_mode))) {
    // Pipes, sockets and character devices have no length to scan by; a
    // file made or cut is a plain file.
    refusal = EINVAL;
  } else if (cut && info.st_nlink > 1) {
    // Another name of the same file lies elsewhere: cutting it would change
    // that file too.
    refusal = EMLINK;
  } else if (cut && (info.st_mode & S_IWUSR) == 0) {
    // A read-only file (owner-write clear, as DeleteFileA and the directory
    // search see it) is not replaced, as on Windows, whoever the caller is:
    // root could otherwise write into it.
    refusal = EACCES;
  } else if (cut && ftruncate(fd, 0) != 0) {
    refusal = errno;
  } else if (fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    // F_SETFL takes only the status flags, so the flags the file was opened
    // with, less O_NONBLOCK, are what it should keep.
    refusal = errno;
  }
  if (refusal == 0) return fd;
  close(fd);
  errno = refusal;
  return -1;
}
// The open(2) access mode for openFlags' access mode; -1 for none.
int AccessFlags(UINT openFlags) {
  switch (openFlags & 0x3) {
    case CFile::modeRead:
      return O_RDONLY;
    case CFile::modeWrite:
      return O_WRONLY;
    case CFile::modeReadWrite:
      return O_RDWR;
    default:
      return -1;
  }
}

// Makes name in the folder at exclusively, or opens and cuts the plain file
// of its own there. Never through a link: the name may lie in a folder the
// caller empties and fills (the tool's output folder), and a link left
// there must not let a write reach a file elsewhere. Made exclusively, an
// old file is always known as old and is cut only after the checks of
// OpenExisting. The descriptor, or -1 with errno set.
int CreateOrCut(int at, const char* name, int flags) {
  flags |= O_NOFOLLOW;
  for (int attempt = 0;; ++attempt) {
    int fd = openat(at, name, flags | O_CREAT | O_EXCL, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
    fd = OpenExisting(at, name, flags, true);
    // Removed between the two calls: made again, a bounded number of times
    // against a name that keeps coming and going.
    if (fd >= 0 || errno != ENOENT || attempt == 16) return fd;
  }
}

}  // namespace

CFile::~CFile() { Close(); }

bool CFile::IsOpen() const { return m_handle >= 0; }

BOOL CFile::Open(LPCTSTR fileName, UINT openFlags, void* /*pError*/) {
  Close();
  if ((openFlags & modeCreate) != 0) return FailWith(EINVAL);
  return OpenRelative(AT_FDCWD, fileName, openFlags);
}

BOOL CFile::OpenIn(const CFolder& folder, LPCTSTR fileName, UINT openFlags) {
  Close();
  if (!folder.IsOpen()) return FailWith(EBADF);
  if (fileName == nullptr || std::strchr(fileName, '/') != nullptr) return FailWith(EINVAL);
  return OpenRelative(folder.GetNativeHandle(), fileName, openFlags);
}

BOOL CFile::OpenRelative(INT_PTR folder, LPCTSTR fileName, UINT openFlags) {
  Close();
  if (fileName == nullptr) return FailWith(EINVAL);
  const int access = AccessFlags(openFlags);
  const bool create = (openFlags & modeCreate) != 0;
  if (access < 0 || (create && access == O_RDONLY)) return FailWith(EINVAL);
  const int fd = create ? CreateOrCut(Fd(folder), fileName, access | O_CLOEXEC)
                        : OpenExisting(Fd(folder), fileName, access | O_CLOEXEC, false);
  if (fd < 0) return FailWithErrno();
  m_handle = fd;
  return TRUE;
}

LONGLONG CFile::Read(void* buffer, ULONGLONG count) {
  if (!IsOpen() || (buffer == nullptr && count > 0)) {
    FailWith(IsOpen() ? EINVAL : EBADF);
    return -1;
  }
  char* out = static_cast<char*>(buffer);
  ULONGLONG done = 0;
  while (done < count) {
    const ULONGLONG want = std::min<ULONGLONG>(count - done, 1u << 30);
    const ssize_t got = read(Fd(m_handle), out + done, static_cast<std::size_t>(want));
    if (got < 0) {
      if (errno == EINTR) continue;
      FailWithErrno();
      return -1;
    }
    if (got == 0) break;
    done += static_cast<ULONGLONG>(got);
  }
  return static_cast<LONGLONG>(done);
}

BOOL CFile::Write(const void* buffer, ULONGLONG count) {
  if (!IsOpen()) return FailWith(EBADF);
  if (buffer == nullptr && count > 0) return FailWith(EINVAL);
  const char* in = static_cast<const char*>(buffer);
  ULONGLONG done = 0;
  while (done < count) {
    const ULONGLONG want = std::min<ULONGLONG>(count - done, 1u << 30);
    const ssize_t put = write(Fd(m_handle), in + done, static_cast<std::size_t>(want));
    if (put < 0) {
      if (errno == EINTR) continue;
      return FailWithErrno();
    }
    if (put == 0) return FailWith(EIO);
    done += static_cast<ULONGLONG>(put);
  }
  return TRUE;
}

LONGLONG CFile::Seek(LONGLONG offset, UINT from) {
  if (!IsOpen()) {
    FailWith(EBADF);
    return -1;
  }
  int whence;
  switch (from) {
    case begin:
      whence = SEEK_SET;
      break;
    case current:
      whence = SEEK_CUR;
      break;
    case end:
      whence = SEEK_END;
      break;
    default:
      FailWith(EINVAL);
      return -1;
  }
  const off_t pos = lseek(Fd(m_handle), static_cast<off_t>(offset), whence);
  if (pos < 0) {
    FailWithErrno();
    return -1;
  }
  return static_cast<LONGLONG>(pos);
}

ULONGLONG CFile::GetLength() const {
  if (!IsOpen()) {
    FailWith(EBADF);
    return 0;
  }
  struct stat info;
  if (fstat(Fd(m_handle), &info) != 0) {
    FailWithErrno();
    return 0;
  }
  if (!S_ISBLK(info.st_mode)) return static_cast<ULONGLONG>(info.st_size);
  // A block device reports no size through stat; its end does.
  const off_t here = lseek(Fd(m_handle), 0, SEEK_CUR);
  const off_t size = lseek(Fd(m_handle), 0, SEEK_END);
  if (here < 0 || size < 0 || lseek(Fd(m_handle), here, SEEK_SET) < 0) {
    FailWithErrno();
    return 0;
  }
  return static_cast<ULONGLONG>(size);
}

BOOL CFile::Close() {
  if (!IsOpen()) return TRUE;
  const int fd = Fd(m_handle);
  m_handle = -1;
  if (close(fd) != 0) return FailWithErrno();
  return TRUE;
}
