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

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-1)))

// Error codes: errno values (see platform/win32api.h).
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND ENOENT
#define ERROR_PATH_NOT_FOUND ENOENT
#define ERROR_ACCESS_DENIED EACCES
#define ERROR_ALREADY_EXISTS EEXIST
#define ERROR_FILE_EXISTS EEXIST
#define ERROR_INSUFFICIENT_BUFFER ERANGE
#define ERROR_INVALID_PARAMETER EINVAL
#define ERROR_NOT_ENOUGH_MEMORY ENOMEM
#define ERROR_DIRECTORY ENOTDIR
#define ERROR_HANDLE_EOF ENODATA

// FormatMessageA flags and language identifiers.
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((static_cast<DWORD>(s) << 10) | static_cast<DWORD>(p))

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

// --- Process ---------------------------------------------------------------

// A non-null handle standing for the program when name is null; null with
// ENOENT for any other name.
HMODULE GetModuleHandleA(LPCSTR name);
// The empty string: the program's arguments reach it through main, and
// AfxWinInit ignores the command line it is given.
LPSTR GetCommandLineA();

// --- C runtime -------------------------------------------------------------

// Waits for one key and returns it, without echo. On a terminal it reads one
// key in raw mode and discards the rest of a multi-byte key; otherwise it
// reads one byte. Returns -1 at the end of input or on error, never waits
// when there is nothing more to read.
int _getch();
