// SPDX-License-Identifier: MIT
// Questions about files and folders that the tool asks before it deletes
// anything: where does a name really lead, is it the held folder or below
// it, may files be made there. Implemented per platform (platform/posix/fsinfo_posix.cpp,
// platform/win32/). Every function follows links; each failure sets
// GetLastError().
#pragma once

#include "platform/afx.h"
#include "platform/folder.h"

// The absolute path of the existing file or directory that path names, with
// every link, "." and ".." resolved. FALSE, and realPath untouched, when path
// does not exist or cannot be resolved.
BOOL AfxResolveRealPath(LPCTSTR path, CString& realPath);

// TRUE when path names the held folder itself (same device and file number
// on POSIX, same volume and file index on Windows), however it is spelled and
// through whatever links. FALSE when it does not, or when path is missing.
BOOL AfxIsSameFolder(const CFolder& folder, LPCTSTR path);

// TRUE when the held folder holds file, or lies anywhere above it up to the
// root, compared by identity after resolving the links of file. FALSE when it
// does not, or when file does not exist (then GetLastError is set; it is
// ERROR_SUCCESS for a plain "no").
BOOL AfxIsFolderAtOrAbove(const CFolder& folder, LPCTSTR file);

// TRUE when this process may make files and folders in the folder path or,
// when path does not exist, in the nearest existing folder above it (links
// followed). FALSE, with GetLastError set and place naming the folder
// checked, when that lies on a read-only file system (POSIX EROFS, Windows
// ERROR_WRITE_PROTECT) or, on POSIX, is closed to the process's effective
// user (EACCES). Any other answer (a path too long to check at once) is
// TRUE, left to the writes themselves; so is a folder's access list on
// Windows, where only the volume is checked.
BOOL AfxCanMakeIn(LPCTSTR path, CString& place);
