// SPDX-License-Identifier: MIT
// Names on the console: a name the system holds may contain anything, and
// none of it may reach the terminal as a control sequence. Implemented per
// platform (platform/posix/printable_posix.cpp,
// platform/win32/printable_win32.cpp), since the narrow strings are UTF-8 on
// POSIX and in the ANSI code page on Windows.
#pragma once

#include "platform/afx.h"

#include <cstddef>
#include <string>

// text as the console may show it: printable characters of the narrow
// strings' encoding as they are (POSIX: well-formed UTF-8; Windows: the ANSI
// code page's characters), every control character (C0, DEL, C1) and every
// byte that is no character of that encoding as \xNN, byte by byte.
CString AfxPrintable(const CString& text);

// The length (1 to 4) of the UTF-8 sequence at bytes[i] by its lead byte
// (C2 to F4 for a sequence of two or more) and that many continuation bytes
// within bytes; 0 when there is none. Overlong three- and four-byte forms,
// surrogates and code points past U+10FFFF are not told apart here: a
// caller that must refuse them checks the second byte itself. The same on
// every platform: it reads UTF-8 whatever the narrow strings' encoding.
inline size_t AfxUtf8SequenceLength(const std::string& bytes, size_t i) {
  const auto c = static_cast<unsigned char>(bytes[i]);
  size_t n = c < 0x80                 ? 1
             : c >= 0xC2 && c <= 0xDF ? 2
             : c >= 0xE0 && c <= 0xEF ? 3
             : c >= 0xF0 && c <= 0xF4 ? 4
                                      : 0;
  for (size_t k = 1; k < n; ++k)
    if (i + k >= bytes.size() || (static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) n = 0;
  return n;
}
