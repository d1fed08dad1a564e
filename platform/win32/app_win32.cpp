// SPDX-License-Identifier: MIT
#include "platform/afx.h"
#include "platform/interrupt.h"
#include "platform/win32/win32_internal.h"

BOOL AfxWinInit(HINSTANCE instance, HINSTANCE /*prevInstance*/, LPTSTR /*cmdLine*/,
                int /*cmdShow*/) {
  // The framework serves this program's own module: its resources, the
  // string table among them, are looked up there.
  if (instance == nullptr || instance != GetModuleHandleA(nullptr)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // A program started without standard output or error (detached from any
  // console and not redirected) would lose every text it writes.
  for (DWORD stream : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    HANDLE handle = GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  win32::WriteStreamsToConsoleAsUnicode();
  return AfxInstallInterruptHandlers();
}
