// SPDX-License-Identifier: MIT
// Helpers shared by the Windows sources of the platform layer.
#pragma once

#include <string>

#include "platform/win32api.h"

namespace win32 {

// The path the open handle's file really has (links resolved), in the
// ordinary spelling ("C:\dir", "\\server\share\dir"). False, with the
// system's error set, when it cannot be had.
bool FinalPathOf(HANDLE handle, std::string& path);
bool FinalPathOf(HANDLE handle, std::wstring& path);

// True when the final path of file is folderFinalPath, a backslash and name,
// compared without regard to case: the file lies in that folder under that
// name, not at the far end of a link.
bool LiesAt(HANDLE file, const std::string& folderFinalPath, const char* name);
bool LiesAt(HANDLE file, const std::wstring& folderFinalPath, const std::wstring& name);

// A file name in a CFolder's spelling (platform/folder.h): the UTF-16 name
// the system holds as UTF-8, a surrogate without its pair encoded as its
// own code point, so that every name NTFS can hold comes back unchanged.
// WideOfName is empty for bytes that spell no name.
std::string NameOfWide(const wchar_t* text, size_t length);
std::wstring WideOfName(const char* name);

// Opens name (a bare name, in a CFolder's spelling) relative to the open folder through
// NtCreateFile, without following a reparse point, and only a file that is
// not a folder: disposition is FILE_CREATE (made new, failing with
// ERROR_FILE_EXISTS when the name exists) or FILE_OPEN. ntdll is in every
// process, so it is reached through GetProcAddress and adds no import.
// INVALID_HANDLE_VALUE, with the Win32 error set, on failure.
HANDLE OpenInFolder(HANDLE folder, const char* name, DWORD access, DWORD share, DWORD disposition);

// Makes std::cout and std::cerr, each while it is a console, write their
// text (in the ANSI code page) to it as UTF-16, which the console shows
// whatever its own code page; a file or a pipe still gets the bytes.
void WriteStreamsToConsoleAsUnicode();

}  // namespace win32
