// SPDX-License-Identifier: MIT
#include "platform/printable.h"

#include <string>

namespace {

// The length of the well-formed UTF-8 sequence at bytes[i]; 0 when there is
// none.
size_t SequenceLength(const std::string& bytes, size_t i) {
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

}  // namespace

CString AfxPrintable(const CString& text) {
  const std::string& bytes = text.str();
  CString out;
  for (size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    const size_t n = SequenceLength(bytes, i);
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
