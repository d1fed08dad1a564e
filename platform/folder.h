// SPDX-License-Identifier: MIT
// CFolder: a folder held open by handle, so that the files in it are listed,
// deleted and created relative to that folder and never by a path that could
// meanwhile lead elsewhere (a folder swapped for a link while it is emptied).
// Implemented per platform (platform/posix/folder_posix.cpp,
// platform/win32/folder_win32.cpp); CFile::OpenIn creates a file in it.
//
// POSIX: the folder's descriptor (O_DIRECTORY|O_NOFOLLOW); listing goes
// through fdopendir on a copy, deletion through unlinkat, creation through
// openat.
// Windows: a handle opened with FILE_FLAG_BACKUP_SEMANTICS and
// FILE_FLAG_OPEN_REPARSE_POINT, without FILE_SHARE_DELETE (the folder itself
// cannot be renamed or removed while it is held); listing goes through
// GetFileInformationByHandleEx on it, deletion and creation through
// NtCreateFile relative to it (its RootDirectory), without following a
// reparse point. Every file opened there is also checked to lie in the folder
// under the name asked for (Wine follows a host's symbolic links without
// showing them as reparse points).
//
// The names of the files in it (ListFiles, DeleteFile, CFile::OpenIn) are
// in the folder's own spelling: on POSIX the bytes the system holds; on
// Windows the system's UTF-16 name as UTF-8, so that every name NTFS can
// hold is listed and deleted as it is, whatever the ANSI code page (the
// same as the narrow strings for ASCII names). DisplayName makes one fit
// for a message.
//
// No operation throws; each failure sets GetLastError().
#pragma once

#include "platform/afx.h"

class CFolder {
 public:
  CFolder() = default;
  ~CFolder();
  CFolder(const CFolder&) = delete;
  CFolder& operator=(const CFolder&) = delete;

  // Opens the existing folder path names (trailing separators are ignored).
  // Links above its last name are followed; the last name itself must be a
  // real folder: a symbolic link (on Windows any reparse point, junctions
  // included) is refused with kLinkRefused, a file with ERROR_DIRECTORY
  // (POSIX: ENOTDIR). Closes a folder this object held first.
  BOOL Open(LPCTSTR path);
  bool IsOpen() const { return m_handle != -1; }
  // Releases the folder; closing a closed folder does nothing.
  void Close();
  // The path the folder was opened by, as given.
  const CString& GetPath() const { return m_path; }
  // The native descriptor (POSIX) or handle (Windows); -1 when closed.
  INT_PTR GetNativeHandle() const { return m_handle; }

  // Appends to names, in the system's order, the name of every entry that is
  // not a folder (a link to a folder counts as a folder, a dangling link as a
  // file). FALSE when the folder cannot be read; names then holds what was
  // read before the failure.
  BOOL ListFiles(CStringArray& names) const;

  // Deletes the file name (no separator) of the folder: a link is deleted
  // itself, never its target. A folder is refused (POSIX EISDIR, Windows
  // ERROR_ACCESS_DENIED), and so is a read-only file (ERROR_ACCESS_DENIED),
  // whoever the caller is, as Windows' DeleteFile does.
  BOOL DeleteFile(LPCTSTR name) const;

  // name (in the folder's spelling) for a message in the narrow strings:
  // on POSIX the name itself; on Windows each character the ANSI code page
  // holds as it is there, any other as \uXXXX (\UXXXXXXXX past U+FFFF).
  static CString DisplayName(LPCTSTR name);

  // The error code Open gives for a last name that is a link.
  static const DWORD kLinkRefused;

 private:
  INT_PTR m_handle = -1;
  CString m_path;
};
