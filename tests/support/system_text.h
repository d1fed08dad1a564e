// SPDX-License-Identifier: MIT
// The platform's own message for an error code, trimmed, as the disk object
// reports it; lets tests spell expected error texts the same on every build.
#pragma once

#include <string>

#include "platform/afx.h"

inline std::string SystemText(DWORD code) {
  char* message = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&message),
      0, nullptr);
  CString text = length ? CString(message, static_cast<int>(length)) : CString();
  if (message) LocalFree(message);
  text.Trim();
  return text.str();
}
