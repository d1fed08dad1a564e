// SPDX-License-Identifier: MIT
#include "platform/blockreader.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>

#include "platform/posix/posix_internal.h"

namespace {

// Mapped a window at a time: large enough that mapping costs nothing per
// byte, small enough that resident memory stays low.
constexpr size_t kWindowSize = 4u << 20;

// The window the SIGBUS handler may repair, and what it found. One reader
// maps at a time in the process; another one reads instead.
std::atomic<bool> g_mapping{false};
std::atomic<unsigned char*> g_windowStart{nullptr};
std::atomic<size_t> g_windowLength{0};
volatile sig_atomic_t g_faulted = 0;
size_t g_pageSize = 4096;
struct sigaction g_previousAction;

// A page of the window that cannot be read (past the end of a file that
// became shorter, or an I/O error) becomes a page of zeros, and the access
// goes on. A fault anywhere else is none of ours: the handler in place
// before takes it when the access runs again.
void OnBusError(int, siginfo_t* info, void*) {
  auto* const at = static_cast<unsigned char*>(info->si_addr);
  unsigned char* const start = g_windowStart.load(std::memory_order_relaxed);
  const size_t length = g_windowLength.load(std::memory_order_relaxed);
  if (start != nullptr && at >= start && at < start + length) {
    unsigned char* const page = start + static_cast<size_t>(at - start) / g_pageSize * g_pageSize;
    if (mmap(page, g_pageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
        MAP_FAILED) {
      g_faulted = 1;
      return;
    }
  }
  sigaction(SIGBUS, &g_previousAction, nullptr);
}

}  // namespace

bool CBlockReader::MapWindow() {
  const int fd = static_cast<int>(m_file.GetNativeHandle());
  if (!m_guarded) {
    bool idle = false;
    if (!g_mapping.compare_exchange_strong(idle, true)) return false;
    g_pageSize = AfxGetPageSize();
    g_faulted = 0;
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGBUS, &action, &g_previousAction) != 0) {
      g_mapping = false;
      return false;
    }
    m_guarded = true;
    // The file is read from start to end: the system may read twice as far
    // ahead of the scan as by default, so that the disk stays busy while a
    // window is searched. The faults of the mapping start those reads, in
    // large pages; POSIX_FADV_WILLNEED on each next window would fill the
    // cache a page at a time on the scan's own thread (0.4 s of CPU per GiB
    // on Linux 6.18) and make a cold read slower. A hint: declined, reads
    // are only slower.
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  const ULONGLONG left = m_length - m_offset;
  const size_t length = static_cast<size_t>(left < kWindowSize ? left : kWindowSize);
  void* const map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(m_offset));
  if (map == MAP_FAILED) return false;
  // Read ahead of the faults, as for a file read from start to end.
  madvise(map, length, MADV_SEQUENTIAL);
  m_window = static_cast<unsigned char*>(map);
  m_windowOffset = m_offset;
  m_windowLength = length;
  g_windowLength.store(length, std::memory_order_relaxed);
  g_windowStart.store(m_window, std::memory_order_seq_cst);
  return true;
}

bool CBlockReader::UnmapWindow(bool last) {
  g_windowStart.store(nullptr, std::memory_order_seq_cst);
  g_windowLength.store(0, std::memory_order_relaxed);
  if (m_window != nullptr) {
    munmap(m_window, m_windowLength);
    m_window = nullptr;
  }
  if (!last || !m_guarded) return true;
  const bool restored = sigaction(SIGBUS, &g_previousAction, nullptr) == 0;
  g_faulted = 0;
  m_guarded = false;
  g_mapping = false;
  if (!restored) FailWithErrno();
  return restored;
}

BOOL CBlockReader::CheckFault() {
  if (!g_faulted) return TRUE;
  g_faulted = 0;
  // A plain file now shorter than the window ends there; anything else
  // (a block device, a file as long as before) was a page that could not
  // be read.
  struct stat info;
  if (fstat(static_cast<int>(m_file.GetNativeHandle()), &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<ULONGLONG>(info.st_size) < m_windowOffset + m_windowLength) {
    m_ended = true;
    return TRUE;
  }
  return FailWith(EIO);
}
