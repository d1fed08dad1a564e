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
  if (direct) {
    const ULONGLONG length = m_length;
    m_direct =
        AfxOpenDirectReads(m_file, (length + kBlockSize - 1) / kBlockSize, [length](ULONGLONG i) {
          const ULONGLONG offset = i * kBlockSize;
          return CFilePiece{offset, std::min<ULONGLONG>(kBlockSize, length - offset)};
        });
  }
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
  if (m_direct) return AfxNextDirectPiece(*m_direct, data, n);
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

BOOL CRangeReader::Open(LPCTSTR fileName) {
  Close();
  return m_file.Open(fileName, CFile::modeRead);
}

BOOL CRangeReader::Plan(std::vector<CFilePiece> ranges, BOOL direct) {
  m_direct.reset();
  m_ranges = std::move(ranges);
  m_firstPiece.assign(1, 0);
  for (const CFilePiece& range : m_ranges)
    m_firstPiece.push_back(m_firstPiece.back() + (range.length + kPieceSize - 1) / kPieceSize);
  m_next = 0;
  if (direct && m_firstPiece.back() > 0)
    m_direct = AfxOpenDirectReads(m_file, m_firstPiece.back(),
                                  [this](ULONGLONG index) { return Piece(index); });
  if (m_direct || m_buffer) return TRUE;
  m_buffer = AfxAllocIOBuffer(kPieceSize);
  return m_buffer != nullptr;
}

CFilePiece CRangeReader::Piece(ULONGLONG index) const {
  // The last range whose first piece is at or before index.
  const auto after = std::upper_bound(m_firstPiece.begin(), m_firstPiece.end(), index);
  const size_t range = static_cast<size_t>(after - m_firstPiece.begin()) - 1;
  const ULONGLONG into = (index - m_firstPiece[range]) * kPieceSize;
  const CFilePiece& r = m_ranges[range];
  return {r.offset + into, std::min<ULONGLONG>(kPieceSize, r.length - into)};
}

BOOL CRangeReader::Next(const unsigned char*& data, size_t& n) {
  data = nullptr;
  n = 0;
  if (m_firstPiece.empty() || m_next >= m_firstPiece.back()) return TRUE;
  const CFilePiece piece = Piece(m_next++);
  if (m_direct) {
    if (!AfxNextDirectPiece(*m_direct, data, n)) return FALSE;
  } else {
    if (m_file.Seek(static_cast<LONGLONG>(piece.offset), CFile::begin) < 0) return FALSE;
    const LONGLONG got = m_file.Read(m_buffer.get(), piece.length);
    if (got < 0) return FALSE;
    data = m_buffer.get();
    n = static_cast<size_t>(got);
  }
  if (n < piece.length) {
    SetLastError(ERROR_HANDLE_EOF);
    return FALSE;
  }
  return TRUE;
}

void CRangeReader::Close() {
  m_direct.reset();
  m_file.Close();
  m_buffer.reset();
  m_ranges.clear();
  m_firstPiece.clear();
  m_next = 0;
}
