// SPDX-License-Identifier: MIT
// Helpers shared by the POSIX sources of the platform layer.
#pragma once

#include <cerrno>

#include "platform/win32api.h"

// Records errno as the last error and returns FALSE, for "return Fail();".
inline BOOL FailWithErrno() {
  SetLastError(static_cast<DWORD>(errno));
  return FALSE;
}

inline BOOL FailWith(int code) {
  SetLastError(static_cast<DWORD>(code));
  return FALSE;
}
