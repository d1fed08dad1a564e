// SPDX-License-Identifier: MIT
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "platform/afx.h"
#include "platform/interrupt.h"
#include "platform/posix/posix_internal.h"

namespace {

char g_moduleMark;

}  // namespace

HMODULE GetModuleHandleA(LPCSTR name) {
  if (name != nullptr) {
    FailWith(ENOENT);
    return nullptr;
  }
  return reinterpret_cast<HMODULE>(&g_moduleMark);
}

LPSTR GetCommandLineA() {
  static char empty[] = "";
  return empty;
}

int _getch() {
  std::fflush(stdout);
  unsigned char key = 0;
  if (!isatty(STDIN_FILENO)) {
    for (;;) {
      const ssize_t got = read(STDIN_FILENO, &key, 1);
      if (got == 1) return key;
      if (got < 0 && errno == EINTR) continue;
      return -1;
    }
  }
  termios saved;
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return -1;
  termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  {
    // Ctrl-C (or any interruption) during the wait must not leave the
    // shell a terminal without echo: the handler puts the settings back.
    CInterruptionsHeld held;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return -1;
    AfxArmTerminalRestore(STDIN_FILENO, saved, raw);
  }
  ssize_t got;
  do {
    got = read(STDIN_FILENO, &key, 1);
  } while (got < 0 && errno == EINTR);
  {
    CInterruptionsHeld held;
    // The rest of a key that sends several bytes (arrows, function keys)
    // must not reach the shell after we exit.
    tcflush(STDIN_FILENO, TCIFLUSH);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    AfxDisarmTerminalRestore();
  }
  return got == 1 ? key : -1;
}
