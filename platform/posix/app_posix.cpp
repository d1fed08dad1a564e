#include <fcntl.h>
#include <unistd.h>

#include "platform/afx.h"
#include "posix_internal.h"

BOOL AfxWinInit(HINSTANCE /*instance*/, HINSTANCE /*prevInstance*/,
                LPTSTR /*cmdLine*/, int /*cmdShow*/) {
  // A program started with a standard stream closed would read its key from,
  // or write its texts into, whatever file next takes that descriptor.
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) == -1) return FailWith(EBADF);
  }
  return TRUE;
}
