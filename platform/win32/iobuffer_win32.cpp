// SPDX-License-Identifier: MIT
#include "platform/iobuffer.h"

#include "platform/win32api.h"

std::size_t AfxGetPageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}

// VirtualAlloc gives whole pages, aligned to the allocation granularity
// (64 KiB), which is a multiple of the page size.
CIOBuffer AfxAllocIOBuffer(std::size_t size) {
  void* memory =
      VirtualAlloc(nullptr, size > 0 ? size : 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (memory == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return CIOBuffer();
  }
  return CIOBuffer(static_cast<unsigned char*>(memory));
}

void AfxIOBufferRelease::operator()(unsigned char* buffer) const noexcept {
  if (buffer != nullptr) VirtualFree(buffer, 0, MEM_RELEASE);
}

unsigned long long AfxGetPhysicalMemory() {
  MEMORYSTATUSEX status = {};
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}
