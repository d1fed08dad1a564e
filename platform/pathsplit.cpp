// SPDX-License-Identifier: MIT
#include "platform/afx.h"
#include "platform/path_traits.h"

CString AfxGetCurrentDirectory() {
  // The directory can change between the two calls; ask again until the
  // buffer was big enough for the answer.
  DWORD size = MAX_PATH;
  for (int attempt = 0; attempt < 8; ++attempt) {
    CString dir;
    const DWORD got = GetCurrentDirectoryA(size, dir.GetBuffer(static_cast<int>(size)));
    if (got == 0) return CString();
    if (got < size) {
      dir.ReleaseBuffer(static_cast<int>(got));
      return dir;
    }
    size = got + 1;
  }
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return CString();
}

void AfxSplitPath(const CString& path, CString* drive, CString* dir, CString* fname, CString* ext) {
  const int length = path.GetLength();
  int pos = 0;
  if (PathTraits::HasDrive(path)) pos = 2;
  if (drive) *drive = path.Left(pos);

  int lastSeparator = -1;
  for (int i = pos; i < length; ++i)
    if (PathTraits::IsSeparator(path.GetAt(i))) lastSeparator = i;
  const int nameStart = lastSeparator >= 0 ? lastSeparator + 1 : pos;
  if (dir) *dir = path.Mid(pos, nameStart - pos);

  int lastDot = -1;
  for (int i = nameStart; i < length; ++i)
    if (path.GetAt(i) == '.') lastDot = i;
  const int nameEnd = lastDot >= 0 ? lastDot : length;
  if (fname) *fname = path.Mid(nameStart, nameEnd - nameStart);
  if (ext) *ext = path.Mid(nameEnd);
}
