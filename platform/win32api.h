// SPDX-License-Identifier: MIT
// The Win32 and C-runtime surface the tool uses.
//
// On Windows this is the system's own API (<windows.h>, <conio.h>,
// <stdlib.h>). On POSIX the same names are declared by posix/native_win32api.h
// and implemented in platform/posix/, with these differences that callers must
// allow for:
//   - Error codes are errno values: GetLastError gives the errno of the call
//     that failed and FormatMessageA its strerror text. The ERROR_* names below
//     map to the nearest errno so that code and tests can be spelled alike.
//   - DWORD is 32 bits on every build; print it with "%lu" and a cast to
//     unsigned long.
//   - Paths follow platform/path_traits.h: '/' is the only separator and a
//     backslash is an ordinary character.
// The build names the native header (platform/posix or platform/win32) in
// PLATFORM_NATIVE_WIN32API_H; nothing else in this file depends on the
// platform.
#pragma once

#include PLATFORM_NATIVE_WIN32API_H
