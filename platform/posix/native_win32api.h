// SPDX-License-Identifier: MIT
// POSIX declarations of the Win32 and C-runtime surface. Include
// "platform/win32api.h", not this file. Every function sets the value that
// GetLastError returns when it fails.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

typedef std::uint32_t DWORD;
typedef std::uint16_t WORD;
typedef std::uint8_t BYTE;
typedef int BOOL;
typedef unsigned int UINT;
typedef long LONG;
typedef std::int64_t LONGLONG;
typedef std::uint64_t ULONGLONG;
typedef std::intptr_t INT_PTR;
typedef std::uintptr_t UINT_PTR;
typedef char CHAR;
typedef char TCHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef char* LPTSTR;
typedef const char* LPCTSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef void* HLOCAL;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define MAX_PATH 260
#define _MAX_DRIVE 3
#define _MAX_DIR 256
#define _MAX_FNAME 256
#define _MAX_EXT 256

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-1)))

// Error codes: errno values (see platform/win32api.h).
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND ENOENT
#define ERROR_PATH_NOT_FOUND ENOENT
#define ERROR_ACCESS_DENIED EACCES
#define ERROR_ALREADY_EXISTS EEXIST
#define ERROR_FILE_EXISTS EEXIST
#define ERROR_NO_MORE_FILES ENODATA
#define ERROR_INSUFFICIENT_BUFFER ERANGE
#define ERROR_INVALID_PARAMETER EINVAL
#define ERROR_NOT_ENOUGH_MEMORY ENOMEM
#define ERROR_DIRECTORY ENOTDIR
#define ERROR_HANDLE_EOF ENODATA

// File attributes, as FindFirstFileA reports them.
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400

// FormatMessageA flags and language identifiers.
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((static_cast<DWORD>(s) << 10) | static_cast<DWORD>(p))

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
};
typedef WIN32_FIND_DATAA* LPWIN32_FIND_DATAA;

// --- Errors --------------------------------------------------------------

// The error code of the last of our calls that failed (an errno value).
DWORD GetLastError();
void SetLastError(DWORD code);

// With FORMAT_MESSAGE_FROM_SYSTEM: the strerror text of messageId followed by
// "\r\n", as the system's message table spells its texts. languageId is
// ignored. With FORMAT_MESSAGE_ALLOCATE_BUFFER, buffer is really an LPSTR*
// that receives a buffer to release with LocalFree; otherwise the text is
// copied into buffer of size chars. Returns the number of chars stored, not
// counting the terminator, or 0 on failure (unknown flags, buffer too small;
// ENOMSG for a code the C library has no text for, which it would spell
// "Unknown error N").
// arguments is ignored (no inserts).
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, void* arguments);
// Releases a buffer from FormatMessageA; returns null.
HLOCAL LocalFree(HLOCAL memory);

// --- Directories -----------------------------------------------------------

// Copies the current directory (no length limit) into buffer. Returns its
// length without the terminator; when size is too small, stores nothing and
// returns the size needed including the terminator; 0 on failure.
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);
// chdir. Success means the directory exists and can be entered.
BOOL SetCurrentDirectoryA(LPCSTR path);
// mkdir with mode 0777 (less umask); fails with EEXIST when the name exists
// as anything. security is ignored.
BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security);
// Deletes one file. Never follows a link: a link is removed itself. Fails
// with EISDIR for a directory and with EACCES for a file whose owner-write
// bit is clear (a read-only file, as on Windows), whoever the caller is.
BOOL DeleteFileA(LPCSTR path);

// --- Directory search ------------------------------------------------------

// Starts a search for pattern: a directory part up to the last '/' (none:
// the current directory) and a name pattern with the Win32 wildcards '*' (any
// run of characters) and '?' (one character); a trailing ".*" also matches a
// name without a dot, so "*.*" matches every name, and a trailing "." matches
// names without a dot. Matching is case-sensitive, as POSIX names are. The
// entries "." and ".." are yielded like any other. FILE_ATTRIBUTE_DIRECTORY
// is set for directories and links to directories, FILE_ATTRIBUTE_READONLY
// when the owner-write bit is clear, FILE_ATTRIBUTE_REPARSE_POINT for links.
// Fails (INVALID_HANDLE_VALUE) with the errno of opening the directory, or
// ENOENT when nothing matches. The first match is stored in data. An entry
// that cannot be asked about (a folder that may be read but not entered)
// takes its directory and link flags from the directory entry's own type.
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data);
// The next match; FALSE with ERROR_NO_MORE_FILES at the end.
BOOL FindNextFileA(HANDLE search, WIN32_FIND_DATAA* data);
BOOL FindClose(HANDLE search);

// --- Process ---------------------------------------------------------------

// A non-null handle standing for the program when name is null; null with
// ENOENT for any other name.
HMODULE GetModuleHandleA(LPCSTR name);
// The process's arguments joined by blanks (from /proc/self/cmdline when
// readable, otherwise empty). The text lives as long as the process.
LPSTR GetCommandLineA();

// --- C runtime -------------------------------------------------------------

// Splits path as the Windows runtime does, reading the separators of
// platform/path_traits.h: drive (always empty here), directory part up to and
// including the last separator, file name up to the last dot after it, and
// the extension from that dot. Each non-null field receives its part cut to
// the field's size (_MAX_DRIVE, _MAX_DIR, _MAX_FNAME, _MAX_EXT), terminator
// included. Code that must not lose characters uses AfxSplitPath instead.
void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext);
// Waits for one key and returns it, without echo. On a terminal it reads one
// key in raw mode and discards the rest of a multi-byte key; otherwise it
// reads one byte. Returns -1 at the end of input or on error, never waits
// when there is nothing more to read.
int _getch();
