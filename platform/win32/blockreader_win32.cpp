// SPDX-License-Identifier: MIT
#include "platform/blockreader.h"

#include <algorithm>
#include <functional>

namespace {

HANDLE Handle(INT_PTR handle) { return reinterpret_cast<HANDLE>(handle); }

// The open file through a handle of its own that reads around the cache
// (FILE_FLAG_NO_BUFFERING: offsets, sizes and buffers on the sector size,
// which kDirectAlignment is a multiple of); INVALID_HANDLE_VALUE when the
// system refuses it.
HANDLE ReopenDirect(const CFile& file, DWORD flags) {
  return ReOpenFile(Handle(file.GetNativeHandle()), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_NO_BUFFERING | flags);
}

OVERLAPPED At(ULONGLONG offset, HANDLE event) {
  OVERLAPPED overlapped = {};
  overlapped.Offset = static_cast<DWORD>(offset);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  overlapped.hEvent = event;
  return overlapped;
}

// Whether a first read around the cache works: some file systems take the
// flag and refuse the reads. handle reads overlapped; buffer holds
// kDirectAlignment bytes.
bool ReadsAroundTheCache(HANDLE handle, unsigned char* buffer) {
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return false;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event;
  DWORD got = 0;
  bool read =
      ReadFile(handle, buffer, static_cast<DWORD>(kDirectAlignment), nullptr, &overlapped) ||
      GetLastError() == ERROR_IO_PENDING;
  if (read) read = GetOverlappedResult(handle, &overlapped, &got, TRUE) != 0;
  if (!read) read = GetLastError() == ERROR_HANDLE_EOF;
  CloseHandle(event);
  return read;
}

// The bytes size rounded up to the alignment of direct reads.
DWORD Aligned(ULONGLONG size) {
  return static_cast<DWORD>((size + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment);
}

}  // namespace

// Overlapped reads on one handle: the system keeps kBlocksInFlight of them
// outstanding, each with its event, and the caller waits for the one it
// needs next. Pieces go to slots in turn; one slot more than the reads in
// flight holds the piece the caller looks at.
class CDirectReads {
 public:
  CDirectReads(HANDLE handle, ULONGLONG count, std::function<CFilePiece(ULONGLONG)> piece,
               CIOBuffer buffers)
      : m_handle(handle),
        m_count(count),
        m_piece(std::move(piece)),
        m_buffers(std::move(buffers)) {}
  ~CDirectReads() {
    // No read may still write into the buffers once they are freed.
    CancelIoEx(m_handle, nullptr);
    for (Slot& slot : m_slots) {
      DWORD got;
      if (slot.pending) GetOverlappedResult(m_handle, &slot.overlapped, &got, TRUE);
      if (slot.event != nullptr) CloseHandle(slot.event);
    }
    CloseHandle(m_handle);
  }

  bool Start() {
    for (Slot& slot : m_slots) {
      slot.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      if (slot.event == nullptr) return false;
    }
    return true;
  }

  BOOL Next(const unsigned char*& data, size_t& n);

  // Each slot holds a piece read from the alignment below its start to the
  // alignment above its end.
  static constexpr size_t kSlots = CBlockReader::kBlocksInFlight + 1;
  static constexpr size_t kSlotSize = CBlockReader::kBlockSize + 2 * kDirectAlignment;

 private:
  struct Slot {
    HANDLE event = nullptr;
    OVERLAPPED overlapped = {};
    CFilePiece piece;
    bool pending = false;  // issued, not yet waited for
    DWORD error = 0;       // a read that failed when it was issued
  };

  void Issue(ULONGLONG index);
  // The bytes of the piece the read gave, or -1 with the last error set.
  LONGLONG Wait(ULONGLONG index);

  HANDLE m_handle;
  ULONGLONG m_count;
  std::function<CFilePiece(ULONGLONG)> m_piece;
  CIOBuffer m_buffers;  // kSlots of kSlotSize
  Slot m_slots[kSlots];
  ULONGLONG m_issued = 0;   // pieces whose read was issued
  ULONGLONG m_current = 0;  // the piece the caller has or waits for
  bool m_holding = false;   // the caller has m_current
  bool m_ended = false;
};

void CDirectReads::Issue(ULONGLONG index) {
  Slot& slot = m_slots[index % kSlots];
  slot.piece = m_piece(index);
  const ULONGLONG from = slot.piece.offset / kDirectAlignment * kDirectAlignment;
  slot.overlapped = At(from, slot.event);
  slot.error = 0;
  slot.pending = true;
  const DWORD size = Aligned(slot.piece.offset + slot.piece.length - from);
  if (!ReadFile(m_handle, m_buffers.get() + index % kSlots * kSlotSize, size, nullptr,
                &slot.overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    slot.pending = false;
    slot.error = GetLastError();
  }
}

LONGLONG CDirectReads::Wait(ULONGLONG index) {
  Slot& slot = m_slots[index % kSlots];
  DWORD got = 0, error = slot.error;
  if (slot.pending) {
    slot.pending = false;
    if (!GetOverlappedResult(m_handle, &slot.overlapped, &got, TRUE)) error = GetLastError();
  }
  // A read from the end on is no failure: the file became shorter.
  if (error == ERROR_HANDLE_EOF) return 0;
  if (error != 0) {
    SetLastError(error);
    return -1;
  }
  const ULONGLONG skip = slot.piece.offset % kDirectAlignment;
  return got <= skip ? 0
                     : static_cast<LONGLONG>(std::min<ULONGLONG>(slot.piece.length, got - skip));
}

BOOL CDirectReads::Next(const unsigned char*& data, size_t& n) {
  data = nullptr;
  n = 0;
  if (m_holding) {
    m_holding = false;
    ++m_current;
  }
  if (m_ended || m_current >= m_count) return TRUE;
  while (m_issued < m_count && m_issued < m_current + kSlots) Issue(m_issued++);
  const ULONGLONG index = m_current;
  const LONGLONG got = Wait(index);
  if (got < 0) return FALSE;
  const CFilePiece& piece = m_slots[index % kSlots].piece;
  n = static_cast<size_t>(got);
  // Short: the file became shorter, and ends here.
  if (n < piece.length) m_ended = true;
  if (n == 0) return TRUE;
  data = m_buffers.get() + index % kSlots * kSlotSize + piece.offset % kDirectAlignment;
  m_holding = true;
  return TRUE;
}

CDirectReadsPtr AfxOpenDirectReads(const CFile& file, ULONGLONG count,
                                   std::function<CFilePiece(ULONGLONG)> piece) {
  if (count == 0) return nullptr;
  const HANDLE handle = ReopenDirect(file, FILE_FLAG_OVERLAPPED);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  CIOBuffer buffers = AfxAllocIOBuffer(CDirectReads::kSlots * CDirectReads::kSlotSize);
  if (!buffers || !ReadsAroundTheCache(handle, buffers.get())) {
    CloseHandle(handle);
    return nullptr;
  }
  CDirectReadsPtr reads(new CDirectReads(handle, count, std::move(piece), std::move(buffers)));
  if (!reads->Start()) return nullptr;
  return reads;
}

void CDirectReadsDelete::operator()(CDirectReads* reads) const noexcept { delete reads; }

BOOL AfxNextDirectPiece(CDirectReads& reads, const unsigned char*& data, size_t& n) {
  return reads.Next(data, n);
}

// The cache manager notices reads from start to end by itself and reads
// ahead of them; a handle has no hint to add afterwards.
void CBlockReader::AdviseSequential() {}

// A handle opened for buffered reads has no way to drop pages from the
// cache: nothing to do, and no size needed for it.
ULONGLONG CBlockReader::MemorySize() { return 0; }

void CBlockReader::NoteResident(ULONGLONG /*offset*/, ULONGLONG /*length*/) {}
void CBlockReader::DropCached(ULONGLONG /*offset*/, ULONGLONG /*length*/) {}

// The system tells no program which parts of a file it has cached: a file
// is taken to be mostly cached unless it is larger than the machine's
// memory, which no cache can hold.
BOOL CBlockReader::MostlyCached() {
  MEMORYSTATUSEX status = {};
  status.dwLength = sizeof status;
  return !GlobalMemoryStatusEx(&status) || m_length <= status.ullTotalPhys;
}
