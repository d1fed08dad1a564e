// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "platform/afx.h"
#include "platform/interrupt.h"
#include "platform/posix/posix_internal.h"

namespace {

// A console that went away (standard output a pipe whose reader ended) must
// not stop the program half way: a write there fails with EPIPE instead, and
// the program reports standard output's failure itself. Ignored before main
// runs, since the program's first text (the banner) comes before AfxWinInit.
const bool g_brokenPipeIgnored = [] {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  return sigaction(SIGPIPE, &ignore, nullptr) == 0;
}();

}  // namespace

BOOL AfxWinInit(HINSTANCE /*instance*/, HINSTANCE /*prevInstance*/, LPTSTR /*cmdLine*/,
                int /*cmdShow*/) {
  // A program started with a standard stream closed would read its key from,
  // or write its texts into, whatever file next takes that descriptor.
  if (!g_brokenPipeIgnored) return FailWithErrno();
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
  return AfxInstallInterruptHandlers();
}
