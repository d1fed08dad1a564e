// SPDX-License-Identifier: MIT
#include "platform/blockreader.h"

// The cache manager notices reads from start to end by itself and reads
// ahead of them; a handle has no hint to add afterwards.
void CBlockReader::AdviseSequential() {}
