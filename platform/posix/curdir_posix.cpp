// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <unistd.h>

#include "platform/afx.h"
#include "platform/posix/posix_internal.h"

namespace {

// O_PATH asks for no access to the directory, so a current directory the
// caller may enter but not list can still be saved; fchdir accepts such a
// descriptor. Systems without O_PATH need read access instead.
#ifdef O_PATH
constexpr int kSaveFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kSaveFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

}  // namespace

CSavedCurrentDirectory::CSavedCurrentDirectory() {
  const int fd = open(".", kSaveFlags);
  if (fd < 0) {
    FailWithErrno();
    return;
  }
  m_handle = fd;
}

CSavedCurrentDirectory::~CSavedCurrentDirectory() {
  if (m_restoreDue) Restore();
  if (m_handle >= 0) close(static_cast<int>(m_handle));
}

BOOL CSavedCurrentDirectory::IsSaved() const { return m_handle >= 0; }

BOOL CSavedCurrentDirectory::Restore() {
  m_restoreDue = false;
  if (m_handle < 0) return FailWith(EBADF);
  if (fchdir(static_cast<int>(m_handle)) != 0) return FailWithErrno();
  return TRUE;
}
