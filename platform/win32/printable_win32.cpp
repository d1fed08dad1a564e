// SPDX-License-Identifier: MIT
#include "platform/printable.h"

#include <string>

namespace {

// The first UTF-16 unit the ANSI code page gives the n bytes at text; 0
// when they are no character of it.
wchar_t CharacterOf(const char* text, int n) {
  wchar_t wide[2];
  const int got = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, n, wide, 2);
  return got >= 1 ? wide[0] : 0;
}

// The bytes the character at bytes[i] takes in the ANSI code page: two for
// a double-byte code page's lead byte, up to four where the code page is
// UTF-8 (an optional setting of Windows 10 and later).
int CharacterLength(const std::string& bytes, size_t i) {
  const auto lead = static_cast<BYTE>(bytes[i]);
  int n = 1;
  if (GetACP() == CP_UTF8)
    n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  else if (IsDBCSLeadByte(lead))
    n = 2;
  return i + static_cast<size_t>(n) <= bytes.size() ? n : 1;
}

bool IsControl(wchar_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

}  // namespace

CString AfxPrintable(const CString& text) {
  const std::string& bytes = text.str();
  CString out;
  for (size_t i = 0; i < bytes.size();) {
    const int n = CharacterLength(bytes, i);
    const wchar_t c = CharacterOf(bytes.data() + i, n);
    if (c == 0 || IsControl(c)) {
      CString escape;
      escape.Format("\\x%02x", static_cast<unsigned char>(bytes[i]));
      out += escape;
      ++i;
    } else {
      out += CString(bytes.data() + i, n);
      i += static_cast<size_t>(n);
    }
  }
  return out;
}
