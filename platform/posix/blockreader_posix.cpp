// SPDX-License-Identifier: MIT
#include "platform/blockreader.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
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
// take the flag and refuse the reads.
int DirectDescriptor(const CFile& file, ULONGLONG length) {
  const int fd = fcntl(Fd(file), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int flags = fcntl(fd, F_GETFL);
  CIOBuffer probe = AfxAllocIOBuffer(kDirectAlignment);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_DIRECT) != 0 || !probe ||
      ReadWhole(fd, probe.get(), kDirectAlignment, 0) !=
          static_cast<ssize_t>(std::min(length, kDirectAlignment))) {
    close(fd);
    return -1;
  }
  return fd;
}

// Pages of [offset, offset + length) of fd in the cache, one entry each,
// added to pages; FALSE when the system cannot tell (the file cannot be
// mapped). offset is a multiple of the page size.
bool ResidentPages(int fd, ULONGLONG offset, size_t length, std::vector<unsigned char>& pages) {
  const size_t page = AfxGetPageSize();
  void* map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(offset));
  if (map == MAP_FAILED) return false;
  const size_t from = pages.size();
  pages.resize(from + (length + page - 1) / page);
  const bool told = mincore(map, length, pages.data() + from) == 0;
  munmap(map, length);
  return told;
}

}  // namespace

// Reader threads, each issuing one pread at a time: a read around the cache
// blocks its thread until the device delivers, so kBlocksInFlight threads
// keep that many reads in flight, with no library beyond the C library on
// every processor we build for. Blocks go to slots in turn; one slot more
// than the reads in flight holds the block the caller looks at.
class CBlockReader::CDirect {
 public:
  CDirect(int fd, ULONGLONG length, CIOBuffer buffers)
      : m_fd(fd), m_length(length), m_buffers(std::move(buffers)) {
    m_blocks = (length + kBlockSize - 1) / kBlockSize;
  }
  ~CDirect() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true;
    }
    m_freed.notify_all();
    for (std::thread& t : m_threads) t.join();
    close(m_fd);
  }

  // Starts the threads with every signal blocked, so that the process's
  // handlers run on the caller's thread only; FALSE when none could start.
  bool Start() {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    const size_t threads = static_cast<size_t>(std::min<ULONGLONG>(kBlocksInFlight, m_blocks));
    try {
      while (m_threads.size() < threads) m_threads.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      // Fewer reads in flight, or none: those that started will do.
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return !m_threads.empty();
  }

  BOOL Next(const unsigned char*& data, size_t& n);

 private:
  static constexpr size_t kSlots = kBlocksInFlight + 1;
  struct Slot {
    ULONGLONG block = ~ULONGLONG{0};  // the block it holds once read
    ssize_t got = 0;
    int error = 0;
  };

  void Work();

  int m_fd;
  ULONGLONG m_length;
  ULONGLONG m_blocks;
  CIOBuffer m_buffers;  // kSlots blocks
  Slot m_slots[kSlots];
  std::mutex m_mutex;
  std::condition_variable m_filled, m_freed;
  ULONGLONG m_issued = 0;   // blocks handed to a thread
  ULONGLONG m_current = 0;  // the block the caller has or waits for
  bool m_holding = false;   // the caller has m_current
  bool m_ended = false;
  bool m_stop = false;
  std::vector<std::thread> m_threads;
};

void CBlockReader::CDirect::Work() {
  for (;;) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_freed.wait(lock, [this] {
      return m_stop || m_issued >= m_blocks || m_issued < m_current + kBlocksInFlight + 1;
    });
    if (m_stop || m_issued >= m_blocks) return;
    const ULONGLONG block = m_issued++;
    lock.unlock();
    const ULONGLONG offset = block * kBlockSize;
    const ULONGLONG want = std::min<ULONGLONG>(kBlockSize, m_length - offset);
    const size_t size =
        static_cast<size_t>((want + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment);
    const ssize_t got =
        ReadWhole(m_fd, m_buffers.get() + block % kSlots * kBlockSize, size, offset);
    const int error = errno;
    lock.lock();
    Slot& slot = m_slots[block % kSlots];
    slot.got = got;
    slot.error = error;
    slot.block = block;
    m_filled.notify_all();
  }
}

BOOL CBlockReader::CDirect::Next(const unsigned char*& data, size_t& n) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_holding) {
    m_holding = false;
    ++m_current;
    m_freed.notify_all();
  }
  if (m_ended || m_current >= m_blocks) return TRUE;
  const ULONGLONG block = m_current;
  const Slot& slot = m_slots[block % kSlots];
  m_filled.wait(lock, [&] { return slot.block == block; });
  if (slot.got < 0) return FailWith(slot.error);
  const ULONGLONG want = std::min<ULONGLONG>(kBlockSize, m_length - block * kBlockSize);
  n = static_cast<size_t>(std::min<ULONGLONG>(want, static_cast<ULONGLONG>(slot.got)));
  // Short: the file became shorter, and ends here.
  if (n < want) m_ended = true;
  if (n == 0) return TRUE;
  data = m_buffers.get() + block % kSlots * kBlockSize;
  m_holding = true;
  return TRUE;
}

CBlockReader::DirectPtr CBlockReader::OpenDirect(const CFile& file, ULONGLONG length) {
  const int fd = DirectDescriptor(file, length);
  if (fd < 0) return nullptr;
  CIOBuffer buffers = AfxAllocIOBuffer(kBlockSize * (kBlocksInFlight + 1));
  if (!buffers) {
    close(fd);
    return nullptr;
  }
  DirectPtr direct(new CDirect(fd, length, std::move(buffers)));
  if (!direct->Start()) return nullptr;
  return direct;
}

void CBlockReader::CDirectDelete::operator()(CDirect* direct) const noexcept { delete direct; }

BOOL CBlockReader::NextDirect(CDirect& direct, const unsigned char*& data, size_t& n) {
  return direct.Next(data, n);
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

BOOL CRangeReader::EnableDirect() {
  const int fd = Fd(m_file);
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_DIRECT) == 0;
}

// The file's own descriptor reads around the cache: nothing more to close.
void CRangeReader::CloseDirect() {}

LONGLONG CRangeReader::ReadDirect(ULONGLONG offset, unsigned char* buffer, size_t n) {
  const ssize_t got = ReadWhole(Fd(m_file), buffer, n, offset);
  if (got < 0) FailWithErrno();
  return got;
}
