// SPDX-License-Identifier: MIT
#include "platform/blockreader.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <exception>
#include <thread>
#include <vector>

#include "platform/posix/posix_internal.h"

namespace {

int Fd(const CFile& file) { return static_cast<int>(file.GetNativeHandle()); }

// Reads up to n bytes at offset (both multiples of the alignment) into
// buffer, however many calls it takes: a direct read ends short only at
// the end of the file, which ends at a byte that is not a multiple.
ssize_t ReadWhole(int fd, unsigned char* buffer, size_t n, ULONGLONG offset) {
  size_t done = 0;
  while (done < n) {
    const ssize_t got = pread(fd, buffer + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    done += static_cast<size_t>(got);
    if (got == 0 || done % kDirectAlignment != 0) break;
  }
  return static_cast<ssize_t>(done);
}

// The open file's descriptor as one of its own, reading around the cache;
// -1 when the file system or device refuses that. A first read tells: some
// take the flag and refuse the reads. The two descriptors share the flag:
// refused, it is taken back, and the file's own reads go through the cache.
int DirectDescriptor(const CFile& file) {
  const int fd = fcntl(Fd(file), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) {
    close(fd);
    return -1;
  }
  CIOBuffer probe = AfxAllocIOBuffer(kDirectAlignment);
  if (!probe || fcntl(fd, F_SETFL, flags | O_DIRECT) != 0 ||
      ReadWhole(fd, probe.get(), kDirectAlignment, 0) < 0) {
    fcntl(fd, F_SETFL, flags);
    close(fd);
    return -1;
  }
  return fd;
}

// Pages of [offset, offset + length) of fd in the cache, one entry each,
// added to pages; FALSE when the system cannot tell (the file cannot be
// mapped). offset is a multiple of the page size. mincore is given room for
// an entry per 4 KiB, the smallest page there is: an emulator whose pages
// are larger than its host's (qemu-user for sparc64, 8 KiB on 4 KiB) writes
// an entry per page of the host.
bool ResidentPages(int fd, ULONGLONG offset, size_t length, std::vector<unsigned char>& pages) {
  const size_t page = AfxGetPageSize();
  void* map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(offset));
  if (map == MAP_FAILED) return false;
  const size_t from = pages.size();
  pages.resize(from + (length + 4095) / 4096);
  const bool told = mincore(map, length, pages.data() + from) == 0;
  munmap(map, length);
  pages.resize(from + (length + page - 1) / page);
  return told;
}

}  // namespace

// Reader threads, each issuing one pread at a time: a read around the cache
// blocks its thread until the device delivers, so kBlocksInFlight threads
// keep that many reads in flight, with no library beyond the C library on
// every processor we build for. Pieces go to slots in turn; one slot more
// than the reads in flight holds the piece the caller looks at.
class CDirectReads {
 public:
  CDirectReads(int fd, ULONGLONG count, std::function<CFilePiece(ULONGLONG)> piece,
               CIOBuffer buffers)
      : m_fd(fd), m_count(count), m_piece(std::move(piece)), m_buffers(std::move(buffers)) {}
  ~CDirectReads() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true;
    }
    m_freed.notify_all();
    for (std::thread& t : m_threads) t.join();
    close(m_fd);
  }

  // Starts the threads with every signal blocked, so that the process's
  // handlers run on the caller's thread only; false when none could start.
  bool Start() {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    const size_t threads =
        static_cast<size_t>(std::min<ULONGLONG>(CBlockReader::kBlocksInFlight, m_count));
    try {
      while (m_threads.size() < threads) m_threads.emplace_back([this] { Work(); });
    } catch (const std::exception&) {
      // No thread or no memory for one: fewer reads in flight, or none;
      // those that started will do, and the signals are unblocked again.
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return !m_threads.empty();
  }

  BOOL Next(const unsigned char*& data, size_t& n);

  // Each slot holds a piece read from the alignment below its start to the
  // alignment above its end.
  static constexpr size_t kSlots = CBlockReader::kBlocksInFlight + 1;
  static constexpr size_t kSlotSize = CBlockReader::kBlockSize + 2 * kDirectAlignment;

 private:
  struct Slot {
    ULONGLONG index = ~ULONGLONG{0};  // the piece it holds once read
    CFilePiece piece;
    ssize_t got = 0;  // bytes of the piece read, or -1
    int error = 0;
  };

  void Work();

  int m_fd;
  ULONGLONG m_count;
  std::function<CFilePiece(ULONGLONG)> m_piece;
  CIOBuffer m_buffers;  // kSlots of kSlotSize
  Slot m_slots[kSlots];
  std::mutex m_mutex;
  std::condition_variable m_filled, m_freed;
  ULONGLONG m_issued = 0;   // pieces handed to a thread
  ULONGLONG m_current = 0;  // the piece the caller has or waits for
  bool m_holding = false;   // the caller has m_current
  bool m_ended = false;
  bool m_stop = false;
  std::vector<std::thread> m_threads;
};

void CDirectReads::Work() {
  for (;;) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_freed.wait(lock,
                 [this] { return m_stop || m_issued >= m_count || m_issued < m_current + kSlots; });
    if (m_stop || m_issued >= m_count) return;
    const ULONGLONG index = m_issued++;
    const CFilePiece piece = m_piece(index);
    lock.unlock();
    const ULONGLONG from = piece.offset / kDirectAlignment * kDirectAlignment;
    const ULONGLONG to =
        (piece.offset + piece.length + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment;
    const ssize_t got = ReadWhole(m_fd, m_buffers.get() + index % kSlots * kSlotSize,
                                  static_cast<size_t>(to - from), from);
    const int error = errno;
    const ULONGLONG skip = piece.offset - from;
    lock.lock();
    Slot& slot = m_slots[index % kSlots];
    slot.piece = piece;
    slot.got = got < 0 ? -1
               : static_cast<ULONGLONG>(got) <= skip
                   ? 0
                   : static_cast<ssize_t>(std::min<ULONGLONG>(piece.length, got - skip));
    slot.error = error;
    slot.index = index;
    m_filled.notify_all();
  }
}

BOOL CDirectReads::Next(const unsigned char*& data, size_t& n) {
  data = nullptr;
  n = 0;
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_holding) {
    m_holding = false;
    ++m_current;
    m_freed.notify_all();
  }
  if (m_ended || m_current >= m_count) return TRUE;
  const ULONGLONG index = m_current;
  const Slot& slot = m_slots[index % kSlots];
  m_filled.wait(lock, [&] { return slot.index == index; });
  if (slot.got < 0) return FailWith(slot.error);
  n = static_cast<size_t>(slot.got);
  // Short: the file became shorter, and ends here.
  if (n < slot.piece.length) m_ended = true;
  if (n == 0) return TRUE;
  data = m_buffers.get() + index % kSlots * kSlotSize +
         (slot.piece.offset - slot.piece.offset / kDirectAlignment * kDirectAlignment);
  m_holding = true;
  return TRUE;
}

CDirectReadsPtr AfxOpenDirectReads(const CFile& file, ULONGLONG count,
                                   std::function<CFilePiece(ULONGLONG)> piece) {
  if (count == 0) return nullptr;
  const int fd = DirectDescriptor(file);
  if (fd < 0) return nullptr;
  CIOBuffer buffers = AfxAllocIOBuffer(CDirectReads::kSlots * CDirectReads::kSlotSize);
  if (!buffers) {
    close(fd);
    return nullptr;
  }
  CDirectReadsPtr reads(new CDirectReads(fd, count, std::move(piece), std::move(buffers)));
  if (!reads->Start()) return nullptr;
  return reads;
}

void CDirectReadsDelete::operator()(CDirectReads* reads) const noexcept { delete reads; }

BOOL AfxNextDirectPiece(CDirectReads& reads, const unsigned char*& data, size_t& n) {
  return reads.Next(data, n);
}

// Told so, Linux reads twice as far ahead as by default, so that a cold
// disk stays busy while a block is searched. Not POSIX_FADV_WILLNEED on the
// blocks ahead: on Linux 6.18 that fills the cache a page at a time on the
// reading thread and made a cold read of 1 GiB twice as slow.
void CBlockReader::AdviseSequential() { posix_fadvise(Fd(m_file), 0, 0, POSIX_FADV_SEQUENTIAL); }

ULONGLONG CBlockReader::MemorySize() {
  const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || size <= 0) return 0;
  return static_cast<ULONGLONG>(pages) * static_cast<ULONGLONG>(size);
}

namespace {
// The cache is asked about this many pieces of this size spread over the
// file (all of a smaller file): a few thousand pages, which it tells in well
// under a millisecond, whatever the file's size.
constexpr ULONGLONG kSamples = 64;
constexpr ULONGLONG kSampleSize = 256 * 1024;
}  // namespace

BOOL CBlockReader::MostlyCached() {
  std::vector<unsigned char> pages;
  const ULONGLONG page = AfxGetPageSize();
  const bool whole = m_length <= kSamples * kSampleSize;
  for (ULONGLONG i = 0; i < (whole ? 1 : kSamples); ++i) {
    const ULONGLONG at = whole ? 0 : m_length / kSamples * i / page * page;
    const ULONGLONG size = whole ? m_length : std::min(kSampleSize, m_length - at);
    if (!ResidentPages(Fd(m_file), at, static_cast<size_t>(size), pages)) return FALSE;
  }
  size_t cached = 0;
  for (unsigned char p : pages) cached += p & 1;
  return cached * 2 >= pages.size();
}

namespace {
// The system reads ahead of the reads through the cache, by up to twice a
// device's read-ahead (8 MiB on our machines) when told the file is read in
// order: what it holds is noted this far ahead of the reads, before they
// bring anything in, a piece of this size at a time.
constexpr ULONGLONG kNoteAhead = 64 << 20;
}  // namespace

void CBlockReader::NoteResident(ULONGLONG offset, ULONGLONG length) {
  const ULONGLONG page = AfxGetPageSize();
  if (m_residentBefore.empty()) m_residentFrom = offset / page;
  const ULONGLONG noted = (m_residentFrom + m_residentBefore.size()) * page;
  if (noted >= m_length || noted >= offset + length + kNoteAhead) return;
  const ULONGLONG size = std::min(kNoteAhead, m_length - noted);
  std::vector<unsigned char> pages;
  const bool told = ResidentPages(Fd(m_file), noted, static_cast<size_t>(size), pages);
  // Where the cache cannot tell, every page counts as someone else's.
  const ULONGLONG count = (size + page - 1) / page;
  for (ULONGLONG p = 0; p < count; ++p) m_residentBefore.push_back(!told || (pages[p] & 1) != 0);
}

// Only clean pages of the system's cache go: nothing is lost, and another
// reader of the same bytes reads them from the disk again. Pages cached
// before this reader read them are someone else's, and stay.
void CBlockReader::DropCached(ULONGLONG offset, ULONGLONG length) {
  const ULONGLONG page = AfxGetPageSize();
  const ULONGLONG first = (offset + page - 1) / page, end = (offset + length) / page;
  const auto ours = [&](ULONGLONG p) {
    return p >= m_residentFrom && p - m_residentFrom < m_residentBefore.size() &&
           !m_residentBefore[static_cast<size_t>(p - m_residentFrom)];
  };
  for (ULONGLONG p = first; p < end;) {
    if (!ours(p)) {
      ++p;
      continue;
    }
    ULONGLONG q = p;
    while (q < end && ours(q)) ++q;
    posix_fadvise(Fd(m_file), static_cast<off_t>(p * page), static_cast<off_t>((q - p) * page),
                  POSIX_FADV_DONTNEED);
    p = q;
  }
}
