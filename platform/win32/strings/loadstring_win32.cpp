// SPDX-License-Identifier: MIT
// CString::LoadString on Windows: the executable's own string-table
// resource, as the class library reads it.
#include "platform/afx.h"

BOOL CString::LoadString(UINT id) {
  HINSTANCE module = GetModuleHandleA(nullptr);
  // LoadStringA cuts a text that does not fit (returning size - 1); grow the
  // buffer until the whole entry came back.
  for (int size = 256; size <= (1 << 20); size *= 2) {
    char* buffer = GetBuffer(size);
    const int length = ::LoadStringA(module, id, buffer, size);
    if (length <= 0) {
      Empty();
      return FALSE;
    }
    if (length < size - 1) {
      ReleaseBuffer(length);
      return TRUE;
    }
  }
  Empty();
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return FALSE;
}
