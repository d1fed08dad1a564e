// SPDX-License-Identifier: MIT
#include "platform/blockreader.h"

#include <algorithm>

CBlockReader::CBlockReader() = default;
CBlockReader::~CBlockReader() { Close(); }

BOOL CBlockReader::Open(LPCTSTR fileName, Way way) {
  Close();
  if (!m_file.Open(fileName, CFile::modeRead)) return FALSE;
  SetLastError(ERROR_SUCCESS);
  m_length = m_file.GetLength();
  if (m_length == 0 && GetLastError() != ERROR_SUCCESS) {
    const DWORD code = GetLastError();
    m_file.Close();
    SetLastError(code);
    return FALSE;
  }
  m_offset = 0;
  m_hasLength = m_length != 0;
  m_ended = false;
  // A file that reports no length is read as a pipe; one mostly cached is
  // copied out of the cache faster than the device delivers it.
  const bool direct =
      m_hasLength && (way == Way::Direct || (way == Way::ByCache && !MostlyCached()));
  if (direct) m_direct = OpenDirect(m_file, m_length);
  if (m_direct) {
    // Every byte comes from the direct reads' own handle.
    m_file.Close();
    return TRUE;
  }
  const ULONGLONG memory = MemorySize();
  m_dropping = m_hasLength && memory != 0 && m_length > memory;
  AdviseSequential();
  return TRUE;
}

BOOL CBlockReader::Next(const unsigned char*& data, size_t& n) {
  data = nullptr;
  n = 0;
  if (m_direct) return NextDirect(*m_direct, data, n);
  return NextBuffered(data, n);
}

BOOL CBlockReader::NextBuffered(const unsigned char*& data, size_t& n) {
  if (!m_file.IsOpen()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (m_ended || (m_hasLength && m_offset >= m_length)) return TRUE;
  if (!m_buffer) {
    m_buffer = AfxAllocIOBuffer(kBlockSize);
    if (!m_buffer) return FALSE;
  }
  // Without a length, every read asks for a whole block until one gives
  // nothing; with one, nothing past it is read.
  const ULONGLONG left = m_hasLength ? m_length - m_offset : kBlockSize;
  const ULONGLONG want = left < kBlockSize ? left : kBlockSize;
  if (m_dropping) NoteResident(m_offset, want);
  const LONGLONG got = m_file.Read(m_buffer.get(), want);
  if (got < 0) return FALSE;
  if (got == 0) {
    m_ended = true;  // the file became shorter: what there was is read
    return TRUE;
  }
  data = m_buffer.get();
  n = static_cast<size_t>(got);
  m_offset += static_cast<ULONGLONG>(got);
  return TRUE;
}

namespace {
// Released bytes are dropped once this many have gathered, or where the
// released ranges stop (an image follows). Each time the last few MiB are
// dropped again with the next ones, so that a page of the cache that spans
// two calls (up to 2 MiB on x86-64) lies wholly in one of them.
constexpr ULONGLONG kDropChunk = 16 << 20;
constexpr ULONGLONG kDropOverlap = 2 << 20;
}  // namespace

void CBlockReader::Release(ULONGLONG offset, ULONGLONG length) {
  // Only set while the file is open (Open sets it, Close clears it).
  if (!m_dropping || length == 0) return;
  if (offset != m_releaseTo) {
    // A gap: what was gathered goes, up to the bytes that stay.
    if (m_releaseTo > m_releaseFrom) DropCached(m_releaseFrom, m_releaseTo - m_releaseFrom);
    m_releaseFrom = offset;
  }
  m_releaseTo = offset + length;
  if (m_releaseTo - m_releaseFrom >= kDropChunk) {
    DropCached(m_releaseFrom, m_releaseTo - m_releaseFrom);
    m_releaseFrom = m_releaseTo - kDropOverlap;
  }
  // What was cached before is needed no further back than the next drop.
  const ULONGLONG page = AfxGetPageSize();
  const ULONGLONG keepFrom = std::min<ULONGLONG>(m_releaseFrom / page, m_offset / page);
  while (m_residentFrom < keepFrom && !m_residentBefore.empty()) {
    m_residentBefore.pop_front();
    ++m_residentFrom;
  }
}

void CBlockReader::Close() {
  m_direct.reset();
  m_buffer.reset();
  m_file.Close();
  m_length = 0;
  m_offset = 0;
  m_dropping = false;
  m_releaseFrom = m_releaseTo = 0;
  m_residentBefore.clear();
  m_residentFrom = 0;
}

CRangeReader::CRangeReader() = default;
CRangeReader::~CRangeReader() { Close(); }

BOOL CRangeReader::Open(LPCTSTR fileName, BOOL direct) {
  Close();
  if (!m_file.Open(fileName, CFile::modeRead)) return FALSE;
  m_direct = direct && EnableDirect();
  return TRUE;
}

BOOL CRangeReader::Read(ULONGLONG offset, size_t want, const unsigned char*& data, size_t& n) {
  data = nullptr;
  n = 0;
  want = std::min(want, kPieceSize);
  if (!ObtainBuffer()) return FALSE;
  if (!m_direct) {
    if (m_file.Seek(static_cast<LONGLONG>(offset), CFile::begin) < 0) return FALSE;
    const LONGLONG got = m_file.Read(m_buffer.get(), want);
    if (got < 0) return FALSE;
    data = m_buffer.get();
    n = static_cast<size_t>(got);
    return TRUE;
  }
  const ULONGLONG from = offset / kDirectAlignment * kDirectAlignment;
  const ULONGLONG to = (offset + want + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment;
  const LONGLONG got = ReadDirect(from, m_buffer.get(), static_cast<size_t>(to - from));
  if (got < 0) return FALSE;
  const ULONGLONG skip = offset - from;
  data = m_buffer.get() + skip;
  n = static_cast<ULONGLONG>(got) > skip
          ? static_cast<size_t>(std::min<ULONGLONG>(want, static_cast<ULONGLONG>(got) - skip))
          : 0;
  return TRUE;
}

BOOL CRangeReader::ObtainBuffer() {
  // Direct reads start and end on the alignment: room for one more unit at
  // each end.
  if (!m_buffer) m_buffer = AfxAllocIOBuffer(kPieceSize + 2 * kDirectAlignment);
  return m_buffer != nullptr;
}

void CRangeReader::Close() {
  CloseDirect();
  m_direct = FALSE;
  m_file.Close();
  m_buffer.reset();
}
