// SPDX-License-Identifier: MIT
#include "platform/win32/win32_internal.h"

#include <iostream>
#include <streambuf>
#include <string>

namespace {

// Text for a console: the narrow strings are in the ANSI code page, but a
// console shows bytes in its own output code page (the OEM one, as a rule),
// where "é" of code page 1252 comes out as another letter. Each text goes
// to the console as UTF-16 instead, which it shows as it is.
class CConsoleBuffer : public std::streambuf {
 public:
  explicit CConsoleBuffer(HANDLE console) : m_console(console) { Reset(); }

 protected:
  int overflow(int c) override {
    if (!Flush()) return traits_type::eof();
    if (c != traits_type::eof()) {
      *pptr() = static_cast<char>(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Flush() ? 0 : -1; }

 private:
  void Reset() { setp(m_buffer, m_buffer + sizeof m_buffer); }

  bool Flush() {
    int n = static_cast<int>(pptr() - pbase());
    // A double-byte character cut at the end waits for its second byte.
    int kept = 0;
    for (int i = 0; i < n; ++i) {
      if (!IsDBCSLeadByte(static_cast<BYTE>(m_buffer[i]))) continue;
      if (i + 1 == n) kept = 1;
      ++i;
    }
    n -= kept;
    bool written = true;
    if (n > 0) {
      std::wstring wide(static_cast<size_t>(n), L'\0');
      const int units = MultiByteToWideChar(CP_ACP, 0, m_buffer, n, wide.data(), n);
      DWORD done = 0;
      written = units > 0 &&
                WriteConsoleW(m_console, wide.data(), static_cast<DWORD>(units), &done, nullptr) &&
                done == static_cast<DWORD>(units);
    }
    if (kept) m_buffer[0] = m_buffer[n];
    Reset();
    pbump(kept);
    return written;
  }

  HANDLE m_console;
  char m_buffer[4096];
};

// The buffer for the stream on handle when that is a console; null
// otherwise (a file or a pipe takes the bytes as they are).
CConsoleBuffer* ConsoleBufferFor(DWORD stream) {
  const HANDLE handle = GetStdHandle(stream);
  DWORD mode = 0;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
    return nullptr;
  return new CConsoleBuffer(handle);  // lives as long as the streams
}

}  // namespace

namespace win32 {

void WriteStreamsToConsoleAsUnicode() {
  std::cout.flush();
  std::cerr.flush();
  if (CConsoleBuffer* out = ConsoleBufferFor(STD_OUTPUT_HANDLE)) std::cout.rdbuf(out);
  if (CConsoleBuffer* err = ConsoleBufferFor(STD_ERROR_HANDLE)) std::cerr.rdbuf(err);
}

}  // namespace win32
