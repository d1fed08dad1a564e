// SPDX-License-Identifier: MIT
// Text for a terminal: bytes from disks and paths are not assumed to be
// UTF-8, and no control byte reaches the terminal as it is.

#include "host/kelb_host.h"

#include <cstdio>

namespace kelb_host {

size_t utf8_length(const std::string &s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (c < 0x80) {
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    lo = c == 0xE0 ? 0xA0 : 0x80;
    hi = c == 0xED ? 0x9F : 0xBF;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    lo = c == 0xF0 ? 0x90 : 0x80;
    hi = c == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  for (size_t k = 1; k < n; k++) {
    const unsigned char b = static_cast<unsigned char>(s[i + k]);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0;
  }
  return n;
}

std::string printable(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t n = utf8_length(text, i);
    // U+0080 to U+009F, written C2 80 to C2 9F, are controls too.
    const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
    if (c == '\\') {
      out += "\\\\";
    } else if (n == 1 && c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (n > 1 && !c1) {
      out.append(text, i, n);
      i += n;
      continue;
    } else {
      char buf[5];
      snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
    i++;
  }
  return out;
}

}  // namespace kelb_host
