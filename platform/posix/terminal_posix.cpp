// SPDX-License-Identifier: MIT
#include "platform/terminal.h"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

BOOL AfxIsErrorTerminal() { return isatty(STDERR_FILENO) ? TRUE : FALSE; }

BOOL AfxErrorTerminalErasesLine() {
  if (!AfxIsErrorTerminal()) return FALSE;
  // An editor's shell buffer says "dumb": it moves to column 0 on a carriage
  // return but knows no escape sequences.
  const char* term = std::getenv("TERM");
  return (term != nullptr && std::strcmp(term, "dumb") == 0) ? FALSE : TRUE;
}

int AfxGetErrorTerminalColumns() {
  winsize size{};
  if (isatty(STDERR_FILENO) && ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col;
  return 80;
}

ULONGLONG AfxGetMonotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<ULONGLONG>(now.tv_sec) * 1000u +
         static_cast<ULONGLONG>(now.tv_nsec) / 1000000u;
}
