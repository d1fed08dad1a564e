#include <cstdlib>
#include <cstring>

#include "posix_internal.h"

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD code) { t_lastError = code; }

DWORD FormatMessageA(DWORD flags, LPCVOID /*source*/, DWORD messageId,
                     DWORD /*languageId*/, LPSTR buffer, DWORD size,
                     void* /*arguments*/) {
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // The system's message table ends its texts with a line end; callers trim.
  const char* message = std::strerror(static_cast<int>(messageId));
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
