// SPDX-License-Identifier: MIT
// A file's bytes from its start, block by block, for a caller that only
// looks at them (the locator's one pass over the input).
//
// On POSIX the blocks lie in a read-only mapping of the file, a few MiB at a
// time, so the bytes are searched where the system's cache holds them
// instead of being copied out first; where the file cannot be mapped, and on
// Windows, they are read into one page-aligned buffer. Either way the caller
// sees the same bytes in the same blocks.
//
// A mapped file that becomes shorter cannot crash the process: touching a
// page past its new end raises SIGBUS, which a handler installed while the
// reader maps turns into a page of zeros (zeros hold no PNG signature nor
// "IEND", so nothing past the end is ever taken for an image), and the next
// block then reports the end, as a read would. A page that the system cannot
// read (an I/O error) is caught the same way and reported as a failed read.
#pragma once

#include "platform/afx.h"
#include "platform/iobuffer.h"

class CBlockReader {
 public:
  // Largest block handed out: small enough to stay in the processor's cache
  // while the caller looks at it more than once.
  static constexpr size_t kBlockSize = 256 * 1024;

  CBlockReader() = default;
  ~CBlockReader();
  CBlockReader(const CBlockReader&) = delete;
  CBlockReader& operator=(const CBlockReader&) = delete;

  // Opens fileName for reading, as CFile::Open with modeRead (a plain file or
  // a block device), and fixes its length: a file that grows later is read
  // as it was. FALSE on failure, with GetLastError set.
  BOOL Open(LPCTSTR fileName);

  // The length fixed by Open.
  ULONGLONG GetLength() const { return m_length; }
  // FALSE when the file reported a length of 0 (as /proc files do, whatever
  // they hold): it is then read to its end, as a pipe would be, and
  // GetLength stays 0.
  BOOL HasLength() const { return m_hasLength; }

  // The next block, of 1 to kBlockSize bytes, in data and n; n = 0 at the
  // end (also when the file became shorter meanwhile). The block stays valid
  // until the next call or Close. FALSE when reading failed (GetLastError
  // set); the blocks handed out before stay what they were.
  BOOL Next(const unsigned char*& data, size_t& n);

  // Releases the mapping or buffer, the SIGBUS handler and the file. FALSE
  // when the handler in place before could not be put back.
  BOOL Close();

 private:
  // The read path: the next block into m_buffer.
  BOOL ReadBlock(const unsigned char*& data, size_t& n);
  // Platform part: maps the next window, or returns FALSE to read instead.
  bool MapWindow();
  // Platform part: drops the window. FALSE when restoring state failed.
  bool UnmapWindow(bool last);
  // Platform part: after a caught fault, tells a file that shrank (TRUE,
  // the data ends) from a failed read (FALSE, GetLastError set).
  BOOL CheckFault();

  CFile m_file;
  ULONGLONG m_length = 0;
  ULONGLONG m_offset = 0;  // stream offset of the next block
  CIOBuffer m_buffer;      // the read path's buffer
  bool m_hasLength = true;
  bool m_reading = false;  // mapping gave up (or no length): read from here on
  bool m_ended = false;
  // The current window of the mapping: [m_windowOffset, + m_windowLength).
  unsigned char* m_window = nullptr;
  ULONGLONG m_windowOffset = 0;
  size_t m_windowLength = 0;
  bool m_guarded = false;  // the SIGBUS handler is ours
};
