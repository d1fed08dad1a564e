// SPDX-License-Identifier: MIT
#include "platform/blockreader.h"

#include <algorithm>

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

// The bytes size rounded up to the alignment of direct reads.
DWORD Aligned(ULONGLONG size) {
  return static_cast<DWORD>((size + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment);
}

}  // namespace

// Overlapped reads on one handle: the system keeps kBlocksInFlight of them
// outstanding, each with its event, and the caller waits for the one it
// needs next. Blocks go to slots in turn; one slot more than the reads in
// flight holds the block the caller looks at.
class CBlockReader::CDirect {
 public:
  CDirect(HANDLE handle, ULONGLONG length, CIOBuffer buffers)
      : m_handle(handle), m_length(length), m_buffers(std::move(buffers)) {
    m_blocks = (length + kBlockSize - 1) / kBlockSize;
  }
  ~CDirect() {
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

 private:
  static constexpr size_t kSlots = kBlocksInFlight + 1;
  struct Slot {
    HANDLE event = nullptr;
    OVERLAPPED overlapped = {};
    bool pending = false;  // issued, not yet waited for
    DWORD error = 0;       // a read that failed when it was issued
  };

  void Issue(ULONGLONG block);
  // The bytes the block's read gave, or -1 with the last error set.
  LONGLONG Wait(ULONGLONG block);

  HANDLE m_handle;
  ULONGLONG m_length;
  ULONGLONG m_blocks;
  CIOBuffer m_buffers;  // kSlots blocks
  Slot m_slots[kSlots];
  ULONGLONG m_issued = 0;   // blocks whose read was issued
  ULONGLONG m_current = 0;  // the block the caller has or waits for
  bool m_holding = false;   // the caller has m_current
  bool m_ended = false;
};

void CBlockReader::CDirect::Issue(ULONGLONG block) {
  Slot& slot = m_slots[block % kSlots];
  const ULONGLONG offset = block * kBlockSize;
  slot.overlapped = At(offset, slot.event);
  slot.error = 0;
  slot.pending = true;
  const DWORD size = Aligned(std::min<ULONGLONG>(kBlockSize, m_length - offset));
  if (!ReadFile(m_handle, m_buffers.get() + block % kSlots * kBlockSize, size, nullptr,
                &slot.overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    slot.pending = false;
    slot.error = GetLastError();
  }
}

LONGLONG CBlockReader::CDirect::Wait(ULONGLONG block) {
  Slot& slot = m_slots[block % kSlots];
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
  return got;
}

BOOL CBlockReader::CDirect::Next(const unsigned char*& data, size_t& n) {
  if (m_holding) {
    m_holding = false;
    ++m_current;
  }
  if (m_ended || m_current >= m_blocks) return TRUE;
  while (m_issued < m_blocks && m_issued < m_current + kSlots) Issue(m_issued++);
  const ULONGLONG block = m_current;
  const LONGLONG got = Wait(block);
  if (got < 0) return FALSE;
  const ULONGLONG want = std::min<ULONGLONG>(kBlockSize, m_length - block * kBlockSize);
  n = static_cast<size_t>(std::min<ULONGLONG>(want, static_cast<ULONGLONG>(got)));
  // Short: the file became shorter, and ends here.
  if (n < want) m_ended = true;
  if (n == 0) return TRUE;
  data = m_buffers.get() + block % kSlots * kBlockSize;
  m_holding = true;
  return TRUE;
}

CBlockReader::DirectPtr CBlockReader::OpenDirect(const CFile& file, ULONGLONG length) {
  const HANDLE handle = ReopenDirect(file, FILE_FLAG_OVERLAPPED);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  CIOBuffer buffers = AfxAllocIOBuffer(kBlockSize * (kBlocksInFlight + 1));
  if (!buffers) {
    CloseHandle(handle);
    return nullptr;
  }
  DirectPtr direct(new CDirect(handle, length, std::move(buffers)));
  if (!direct->Start()) return nullptr;
  return direct;
}

void CBlockReader::CDirectDelete::operator()(CDirect* direct) const noexcept { delete direct; }

BOOL CBlockReader::NextDirect(CDirect& direct, const unsigned char*& data, size_t& n) {
  return direct.Next(data, n);
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

BOOL CRangeReader::EnableDirect() {
  const HANDLE handle = ReopenDirect(m_file, 0);
  if (handle == INVALID_HANDLE_VALUE) return FALSE;
  m_native = handle;
  return TRUE;
}

void CRangeReader::CloseDirect() {
  if (m_native != nullptr) CloseHandle(static_cast<HANDLE>(m_native));
  m_native = nullptr;
}

LONGLONG CRangeReader::ReadDirect(ULONGLONG offset, unsigned char* buffer, size_t n) {
  OVERLAPPED at = At(offset, nullptr);
  DWORD got = 0;
  if (ReadFile(static_cast<HANDLE>(m_native), buffer, static_cast<DWORD>(n), &got, &at)) return got;
  return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}
