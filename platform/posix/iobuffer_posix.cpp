// SPDX-License-Identifier: MIT
#include "platform/iobuffer.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/posix/posix_internal.h"

std::size_t AfxGetPageSize() {
  const long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

CIOBuffer AfxAllocIOBuffer(std::size_t size) {
  void* memory = nullptr;
  if (posix_memalign(&memory, AfxGetPageSize(), size > 0 ? size : 1) != 0) {
    FailWith(ENOMEM);
    return CIOBuffer();
  }
  return CIOBuffer(static_cast<unsigned char*>(memory));
}

void AfxIOBufferRelease::operator()(unsigned char* buffer) const noexcept { std::free(buffer); }

unsigned long long AfxGetPhysicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  return pages > 0 ? static_cast<unsigned long long>(pages) * AfxGetPageSize() : 0;
}
