// SPDX-License-Identifier: MIT
#include "platform/blockreader.h"

// The cache manager notices reads from start to end by itself and reads
// ahead of them; a handle has no hint to add afterwards.
void CBlockReader::AdviseSequential() {}

// A handle opened for buffered reads has no way to drop pages from the
// cache: nothing to do, and no size needed for it.
ULONGLONG CBlockReader::MemorySize() { return 0; }

void CBlockReader::DropCached(ULONGLONG /*offset*/, ULONGLONG /*length*/) {}
