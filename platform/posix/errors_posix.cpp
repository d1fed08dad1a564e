// SPDX-License-Identifier: MIT
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix_internal.h"

namespace {
thread_local DWORD t_lastError = 0;
constexpr char kUnknownError[] = "Unknown error";
}  // namespace

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD code) { t_lastError = code; }

DWORD FormatMessageA(DWORD flags, LPCVOID /*source*/, DWORD messageId, DWORD /*languageId*/,
                     LPSTR buffer, DWORD size, void* /*arguments*/) {
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // A code the C library has no text for comes back from it as "Unknown
  // error N" (N signed, so codes above INT_MAX read negative). The system's
  // message table has no entry then, and says so, as Windows does.
  const char* message = messageId <= static_cast<DWORD>(INT_MAX)
                            ? std::strerror(static_cast<int>(messageId))
                            : nullptr;
  if (message == nullptr || std::strncmp(message, kUnknownError, sizeof kUnknownError - 1) == 0) {
    SetLastError(ENOMSG);
    return 0;
  }
  // The system's message table ends its texts with a line end; callers trim.
  const std::size_t length = std::strlen(message) + 2;
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    char* text = static_cast<char*>(std::malloc(length + 1));
    if (text == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(text, message, length - 2);
    std::memcpy(text + length - 2, "\r\n", 3);
    *reinterpret_cast<char**>(buffer) = text;
    return static_cast<DWORD>(length);
  }
  if (size < length + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, message, length - 2);
  std::memcpy(buffer + length - 2, "\r\n", 3);
  return static_cast<DWORD>(length);
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}
