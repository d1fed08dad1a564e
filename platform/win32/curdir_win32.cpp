// SPDX-License-Identifier: MIT
#include "platform/afx.h"

// Windows cannot enter a directory by handle; the path is kept instead, and
// going back is checked like any other step.
CSavedCurrentDirectory::CSavedCurrentDirectory() : m_path(AfxGetCurrentDirectory()) {}

CSavedCurrentDirectory::~CSavedCurrentDirectory() {
  if (m_restoreDue) Restore();
}

BOOL CSavedCurrentDirectory::IsSaved() const { return m_path.IsEmpty() ? FALSE : TRUE; }

BOOL CSavedCurrentDirectory::Restore() {
  m_restoreDue = false;
  if (m_path.IsEmpty()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return SetCurrentDirectoryA(m_path) ? TRUE : FALSE;
}
