// SPDX-License-Identifier: MIT
#include "tool/lumvane.h"

#include "platform/printable.h"

#include <iostream>

CString SystemReason(DWORD code) {
  char* message = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&message),
      0, nullptr);
  CString text;
  if (length != 0 && message != nullptr) {
    text = CString(message, static_cast<int>(length));
    text.Trim();
    // Windows' texts end with a full stop; the path comes before them here.
    if (text.GetLength() > 1 && text[text.GetLength() - 1] == '.')
      text = text.Left(text.GetLength() - 1);
  } else {
    text.Format("System error %lu", static_cast<unsigned long>(code));
  }
  if (message != nullptr) LocalFree(message);
  return text;
}

void ReportFailure(const char* text, const CString& path, const CString& reason) {
  std::cout << text << std::endl;
  std::cerr << "lumvane: " << AfxPrintable(path).GetString() << ": "
            << AfxPrintable(reason).GetString() << std::endl;
}

void ReportFailure(const char* text, const CString& path, DWORD code) {
  ReportFailure(text, path, SystemReason(code));
}
