// SPDX-License-Identifier: MIT
#include "platform/afx.h"

BOOL CString::LoadString(UINT id) {
  const char* text = AfxLookupString(id);
  if (text == nullptr) {
    Empty();
    return FALSE;
  }
  *this = text;
  return TRUE;
}
