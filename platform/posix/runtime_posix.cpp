// SPDX-License-Identifier: MIT
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/afx.h"
#include "platform/interrupt.h"
#include "platform/posix/posix_internal.h"

namespace {

char g_moduleMark;

// Copies part into a field of size chars (terminator included), cut to fit.
void CopyField(const CString& part, char* field, std::size_t size) {
  if (field == nullptr) return;
  const std::size_t length = std::min(static_cast<std::size_t>(part.GetLength()), size - 1);
  std::memcpy(field, part.GetString(), length);
  field[length] = '\0';
}

}  // namespace

HMODULE GetModuleHandleA(LPCSTR name) {
  if (name != nullptr) {
    FailWith(ENOENT);
    return nullptr;
  }
  return reinterpret_cast<HMODULE>(&g_moduleMark);
}

LPSTR GetCommandLineA() {
  static std::string commandLine = [] {
    std::string text;
    if (FILE* f = std::fopen("/proc/self/cmdline", "rb")) {
      int c;
      while ((c = std::fgetc(f)) != EOF) text += c == '\0' ? ' ' : static_cast<char>(c);
      std::fclose(f);
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
  }();
  return commandLine.data();
}

void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
  CString d, p, n, e;
  AfxSplitPath(CString(path), &d, &p, &n, &e);
  CopyField(d, drive, _MAX_DRIVE);
  CopyField(p, dir, _MAX_DIR);
  CopyField(n, fname, _MAX_FNAME);
  CopyField(e, ext, _MAX_EXT);
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
