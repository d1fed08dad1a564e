// SPDX-License-Identifier: MIT
// Memory for large reads and writes. A transfer into or out of a buffer that
// starts on a page boundary lets the system copy whole pages; one that starts
// a few bytes past a boundary (what the heap gives large blocks) was measured
// several times slower on the same reads. Every buffer a file's bytes are
// read into or written from in bulk comes from here.
// Implemented per platform (platform/posix/, platform/win32/).
#pragma once

#include <cstddef>
#include <memory>

struct AfxIOBufferRelease {
  void operator()(unsigned char* buffer) const noexcept;
};

// A buffer from AfxAllocIOBuffer; releases its memory when it goes.
using CIOBuffer = std::unique_ptr<unsigned char[], AfxIOBufferRelease>;

// A buffer of size bytes (at least 1 is allocated) whose first byte lies on
// a page boundary of the system's memory; its contents are undefined until
// written. Null when the memory cannot be obtained, with GetLastError set to
// ERROR_NOT_ENOUGH_MEMORY.
CIOBuffer AfxAllocIOBuffer(std::size_t size);

// The system's page size in bytes, the alignment of every such buffer.
std::size_t AfxGetPageSize();

// The machine's physical memory in bytes; 0 when the system does not say.
unsigned long long AfxGetPhysicalMemory();
