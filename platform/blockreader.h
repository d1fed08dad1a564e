// SPDX-License-Identifier: MIT
// A file's bytes from its start, block by block, for a caller that only
// looks at them (the locator's one pass over the input).
//
// Every block is read into one page-aligned buffer, small enough to stay in
// the processor's cache while the caller looks at it. Reading beats mapping
// the file: the system copies a block out of its cache faster than a
// program touches the pages of a mapping for the first time (on our EPYC
// machines, which run under a hypervisor, 1 GiB from the page cache took
// 0.06 s through 512 KiB reads and 0.14 s through a mapping), and a file
// that shrinks while it is read simply ends early, where a mapping would
// fault.
#pragma once

#include "platform/afx.h"
#include "platform/iobuffer.h"

class CBlockReader {
 public:
  // Largest block handed out.
  static constexpr size_t kBlockSize = 512 * 1024;

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
  // until the next call or Close. FALSE when reading failed, or when the
  // buffer could not be had (GetLastError set).
  BOOL Next(const unsigned char*& data, size_t& n);

  // Tells the system that the bytes [offset, offset + length), read
  // already, will not be read again; ranges come in stream order, each
  // after the ones before it. A file larger than the machine's memory
  // cannot stay in the system's cache anyway: the cache drops these bytes,
  // so that they do not push out the bytes that will be read again (the
  // images the writer copies). The cache keeps pages of up to a few MiB, and
  // drops only pages wholly released, so contiguous ranges are gathered and
  // given to it several MiB at a time; a page that holds bytes not released
  // stays. A smaller file is left cached, for whoever reads it next. A hint:
  // it never changes what Next gives.
  void Release(ULONGLONG offset, ULONGLONG length);

  // Releases the buffer and the file.
  void Close();

 private:
  // Platform part: tells the system that the file is read from start to
  // end, so that it reads further ahead of the reads. A hint: ignored where
  // the system has none, or declines it.
  void AdviseSequential();
  // Platform part: the machine's memory in bytes, 0 when unknown.
  static ULONGLONG MemorySize();
  // Platform part: drops the cached pages wholly inside the range; nothing
  // where the system cannot.
  void DropCached(ULONGLONG offset, ULONGLONG length);

  CFile m_file;
  ULONGLONG m_length = 0;
  ULONGLONG m_offset = 0;  // stream offset of the next block
  CIOBuffer m_buffer;
  bool m_hasLength = true;
  bool m_ended = false;
  bool m_dropping = false;  // Release drops what it is given
  // The released bytes not yet dropped: [m_releaseFrom, m_releaseTo).
  ULONGLONG m_releaseFrom = 0;
  ULONGLONG m_releaseTo = 0;
};
