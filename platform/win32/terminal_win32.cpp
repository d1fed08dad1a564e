// SPDX-License-Identifier: MIT
#include "platform/terminal.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

// The console mode of standard error; FALSE when it is a file, a pipe or the
// null device (which the C runtime's _isatty would call a terminal).
BOOL ErrorConsoleMode(DWORD* mode) {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return FALSE;
  return GetConsoleMode(handle, mode);
}

}  // namespace

BOOL AfxIsErrorTerminal() {
  DWORD mode = 0;
  return ErrorConsoleMode(&mode);
}

BOOL AfxErrorTerminalErasesLine() {
  DWORD mode = 0;
  return ErrorConsoleMode(&mode) && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int AfxGetErrorTerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
      GetConsoleScreenBufferInfo(handle, &info)) {
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return columns;
  }
  return 80;
}

ULONGLONG AfxGetMonotonicMilliseconds() { return GetTickCount64(); }
