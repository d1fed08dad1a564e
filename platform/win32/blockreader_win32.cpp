// SPDX-License-Identifier: MIT
#include "platform/blockreader.h"

// The cache manager notices reads from start to end by itself and reads
// ahead of them; a handle has no hint to add afterwards.
void CBlockReader::AdviseSequential() {}

// A handle opened for buffered reads has no way to drop pages from the
// cache: nothing to do, and no size needed for it.
ULONGLONG CBlockReader::MemorySize() { return 0; }

void CBlockReader::NoteResident(ULONGLONG /*offset*/, ULONGLONG /*length*/) {}
void CBlockReader::DropCached(ULONGLONG /*offset*/, ULONGLONG /*length*/) {}

// The system tells no program which of a file's pages it has cached.
BOOL CBlockReader::MostlyCached() { return TRUE; }

class CBlockReader::CDirect {};

CBlockReader::DirectPtr CBlockReader::OpenDirect(const CFile& /*file*/, ULONGLONG /*length*/) {
  return nullptr;
}

void CBlockReader::CDirectDelete::operator()(CDirect* direct) const noexcept { delete direct; }

BOOL CBlockReader::NextDirect(CDirect& /*direct*/, const unsigned char*& /*data*/, size_t& /*n*/) {
  return FALSE;
}

BOOL CRangeReader::EnableDirect() { return FALSE; }

LONGLONG CRangeReader::ReadDirect(ULONGLONG /*offset*/, unsigned char* /*buffer*/, size_t /*n*/) {
  return -1;
}
