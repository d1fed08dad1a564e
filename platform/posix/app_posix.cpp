// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "platform/afx.h"
#include "platform/posix/posix_internal.h"

BOOL AfxWinInit(HINSTANCE /*instance*/, HINSTANCE /*prevInstance*/, LPTSTR /*cmdLine*/,
                int /*cmdShow*/) {
  // A program started with a standard stream closed would read its key from,
  // or write its texts into, whatever file next takes that descriptor.
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) == -1) return FailWith(EBADF);
  }
  // Under a file-size limit the kernel would kill the process at the first
  // write past it, with a partial file left and no word said; ignored, the
  // write fails with EFBIG and the program reports it like any failed write.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGXFSZ, &ignore, nullptr) != 0) return FailWithErrno();
  return TRUE;
}
