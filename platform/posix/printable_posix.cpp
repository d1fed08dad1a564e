// SPDX-License-Identifier: MIT
#include "platform/printable.h"

CString AfxPrintable(const CString& text) {
  const std::string& bytes = text.str();
  CString out;
  for (size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    const size_t n = AfxUtf8SequenceLength(bytes, i);
    // C1 controls are U+0080 to U+009F: C2 80 to C2 9F.
    const bool control = c < 0x20 || c == 0x7F ||
                         (c == 0xC2 && n == 2 && static_cast<unsigned char>(bytes[i + 1]) < 0xA0);
    if (n == 0 || control) {
      CString escape;
      escape.Format("\\x%02x", c);
      out += escape;
      ++i;
    } else {
      out += CString(bytes.data() + i, static_cast<int>(n));
      i += n;
    }
  }
  return out;
}
