// SPDX-License-Identifier: MIT
#include "platform/blockreader.h"

#include <fcntl.h>

// Linux then reads twice as far ahead as by default, so that a cold disk
// stays busy while a block is searched. Not POSIX_FADV_WILLNEED on the
// blocks ahead: on Linux 6.18 that fills the cache a page at a time on the
// reading thread and made a cold read of 1 GiB twice as slow.
void CBlockReader::AdviseSequential() {
  posix_fadvise(static_cast<int>(m_file.GetNativeHandle()), 0, 0, POSIX_FADV_SEQUENTIAL);
}
