// SPDX-License-Identifier: MIT
#include "platform/blockreader.h"

#include <fcntl.h>
#include <unistd.h>

// Told so, Linux reads twice as far ahead as by default, so that a cold
// disk stays busy while a block is searched. Not POSIX_FADV_WILLNEED on the
// blocks ahead: on Linux 6.18 that fills the cache a page at a time on the
// reading thread and made a cold read of 1 GiB twice as slow.
void CBlockReader::AdviseSequential() {
  posix_fadvise(static_cast<int>(m_file.GetNativeHandle()), 0, 0, POSIX_FADV_SEQUENTIAL);
}

ULONGLONG CBlockReader::MemorySize() {
  const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || size <= 0) return 0;
  return static_cast<ULONGLONG>(pages) * static_cast<ULONGLONG>(size);
}

// Only clean pages of the system's cache go: nothing is lost, and another
// reader of the same bytes reads them from the disk again.
void CBlockReader::DropCached(ULONGLONG offset, ULONGLONG length) {
  posix_fadvise(static_cast<int>(m_file.GetNativeHandle()), static_cast<off_t>(offset),
                static_cast<off_t>(length), POSIX_FADV_DONTNEED);
}
