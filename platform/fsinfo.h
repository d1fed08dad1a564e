// SPDX-License-Identifier: MIT
// Questions about files and folders that the tool asks before it deletes
// anything: is a name a folder, where does it really lead, is it the same
// file as another. Implemented per platform (platform/posix/fsinfo_posix.cpp,
// platform/win32/). Every function follows links; each failure sets
// GetLastError().
#pragma once

#include "platform/afx.h"
#include "platform/folder.h"

// TRUE when path names a directory, or a link to one.
BOOL AfxIsDirectory(LPCTSTR path);

// The absolute path of the existing file or directory that path names, with
// every link, "." and ".." resolved. FALSE, and realPath untouched, when path
// does not exist or cannot be resolved.
BOOL AfxResolveRealPath(LPCTSTR path, CString& realPath);

// TRUE when a and b name the same existing file or directory (same device
// and file number on POSIX, same volume and file index on Windows), however
// they are spelled and through whatever links. FALSE when either is missing.
BOOL AfxIsSameFile(LPCTSTR a, LPCTSTR b);

// TRUE when directory names the directory that holds file, or any directory
// above it up to the root, compared by identity after resolving the links of
// both. FALSE when it does not, or when either name does not exist (then
// GetLastError is set; it is ERROR_SUCCESS for a plain "no").
BOOL AfxIsDirectoryAtOrAbove(LPCTSTR directory, LPCTSTR file);

// AfxIsSameFile and AfxIsDirectoryAtOrAbove with the held folder itself, by
// its handle, in place of a name for it: TRUE when path names that folder /
// when the folder holds file or lies above it.
BOOL AfxIsSameFolder(const CFolder& folder, LPCTSTR path);
BOOL AfxIsFolderAtOrAbove(const CFolder& folder, LPCTSTR file);
