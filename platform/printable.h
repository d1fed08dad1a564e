// SPDX-License-Identifier: MIT
// Names on the console: a name the system holds may contain anything, and
// none of it may reach the terminal as a control sequence. Implemented per
// platform (platform/posix/printable_posix.cpp,
// platform/win32/printable_win32.cpp), since the narrow strings are UTF-8 on
// POSIX and in the ANSI code page on Windows.
#pragma once

#include "platform/afx.h"

// text as the console may show it: printable characters of the narrow
// strings' encoding as they are (POSIX: well-formed UTF-8; Windows: the ANSI
// code page's characters), every control character (C0, DEL, C1) and every
// byte that is no character of that encoding as \xNN, byte by byte.
CString AfxPrintable(const CString& text);
