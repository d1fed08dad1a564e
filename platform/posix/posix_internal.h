// SPDX-License-Identifier: MIT
// Helpers shared by the POSIX sources of the platform layer.
#pragma once

#include <cerrno>

#include "platform/win32api.h"

// Records errno as the last error and returns FALSE.
inline BOOL FailWithErrno() {
  SetLastError(static_cast<DWORD>(errno));
  return FALSE;
}

// Records code as the last error and returns FALSE.
inline BOOL FailWith(int code) {
  SetLastError(static_cast<DWORD>(code));
  return FALSE;
}

struct termios;

// While the key wait has the terminal on fd in raw mode: an interruption
// puts settings back on it before the process ends (platform/interrupt.h);
// a stop (Ctrl-Z) puts them back while stopped, and raw is set again when
// the process continues in the foreground. Call both while interruptions
// are held.
void AfxArmTerminalRestore(int fd, const termios& settings, const termios& raw);
void AfxDisarmTerminalRestore();
