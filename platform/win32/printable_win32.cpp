// SPDX-License-Identifier: MIT
#include "platform/printable.h"

#include <string>

namespace {

// The UTF-16 character the ANSI code page gives the n bytes at text; 0 when
// they are no character of it.
wchar_t CharacterOf(const char* text, int n) {
  wchar_t wide[2];
  const int got = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, n, wide, 2);
  return got == 1 ? wide[0] : 0;
}

bool IsControl(wchar_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

}  // namespace

CString AfxPrintable(const CString& text) {
  const std::string& bytes = text.str();
  CString out;
  for (size_t i = 0; i < bytes.size();) {
    // A double-byte code page's lead byte starts a character of two.
    const int n = IsDBCSLeadByte(static_cast<BYTE>(bytes[i])) && i + 1 < bytes.size() ? 2 : 1;
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
