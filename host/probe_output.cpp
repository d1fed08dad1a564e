// SPDX-License-Identifier: MIT
// kelb-probe's standard output, written through one function that keeps the
// first write error and checked when it is closed, and its messages.

#include "host/probe.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kelb_probe {

namespace {

// The system's code of the first write to standard output that failed, or 0.
int g_write_error = 0;

}  // namespace

void out(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  errno = 0;
  const int n = vprintf(fmt, ap);
  va_end(ap);
  if (n < 0 && g_write_error == 0) g_write_error = errno ? errno : EIO;
}

void complain(const std::string &message) {
  fprintf(stderr, "kelb-probe: %s\n", kelb_host::printable(message).c_str());
}

int close_output(int status) {
  errno = 0;
  if (fflush(stdout) != 0 && g_write_error == 0) g_write_error = errno ? errno : EIO;
  if (ferror(stdout) && g_write_error == 0) g_write_error = EIO;
  errno = 0;
  if (fclose(stdout) != 0 && g_write_error == 0 && errno != EBADF)
    g_write_error = errno ? errno : EIO;
  if (g_write_error == 0) return status;
  fprintf(stderr, "kelb-probe: write error: %s\n", strerror(g_write_error));
  return 1;
}

}  // namespace kelb_probe
