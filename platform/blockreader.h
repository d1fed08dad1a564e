// SPDX-License-Identifier: MIT
// A file's bytes from its start, block by block, for a caller that only
// looks at them (the locator's one pass over the input), and the ranges of a
// file read again afterwards (the writer's images).
//
// A file mostly in the system's cache is read through the cache, each block
// into one page-aligned buffer small enough to stay in the processor's cache
// while the caller looks at it. Reading beats mapping the file: the system
// copies a block out of its cache faster than a program touches the pages of
// a mapping for the first time (on our EPYC machines, which run under a
// hypervisor, 1 GiB from the page cache took 0.06 s through 512 KiB reads and
// 0.14 s through a mapping), and a file that shrinks while it is read simply
// ends early, where a mapping would fault.
//
// A file mostly not in the cache is read around it (direct reads), several
// blocks in flight, so that the device is never idle between two reads and
// no page is filled twice (by the device into the cache, then by a copy into
// the buffer); the cache is left as it was.
#pragma once

#include "platform/afx.h"
#include "platform/iobuffer.h"

#include <deque>
#include <memory>

class CBlockReader {
 public:
  // Largest block handed out.
  static constexpr size_t kBlockSize = 512 * 1024;
  // Blocks read ahead of the caller by direct reads.
  static constexpr size_t kBlocksInFlight = 8;

  // How the file is read: chosen by what the system has cached (ByCache:
  // through the cache when at least half of the file is there, around it
  // otherwise; where the system cannot tell, as on Windows, a file no larger
  // than the machine's memory counts as cached), or asked for. Direct reads fall back to reads through the
  // cache wherever the file system or device refuses them, and where the
  // file reports no length.
  enum class Way { ByCache, Buffered, Direct };

  CBlockReader();
  ~CBlockReader();
  CBlockReader(const CBlockReader&) = delete;
  CBlockReader& operator=(const CBlockReader&) = delete;

  // Opens fileName for reading, as CFile::Open with modeRead (a plain file or
  // a block device), and fixes its length: a file that grows later is read
  // as it was. FALSE on failure, with GetLastError set.
  BOOL Open(LPCTSTR fileName, Way way = Way::ByCache);

  // The length fixed by Open.
  ULONGLONG GetLength() const { return m_length; }
  // FALSE when the file reported a length of 0 (as /proc files do, whatever
  // they hold): it is then read to its end, as a pipe would be, and
  // GetLength stays 0.
  BOOL HasLength() const { return m_hasLength; }
  // TRUE when the open file is read around the system's cache.
  BOOL IsDirect() const { return m_direct != nullptr; }

  // The next block, of 1 to kBlockSize bytes, in data and n; n = 0 at the
  // end (also when the file became shorter meanwhile; read around the
  // cache, the blocks already read ahead hold the bytes as they were when
  // they were read). The block stays valid
  // until the next call or Close. FALSE when reading failed, or when the
  // buffer could not be had (GetLastError set).
  BOOL Next(const unsigned char*& data, size_t& n);

  // Tells the system that the bytes [offset, offset + length), read
  // already, will not be read again; ranges come in stream order, each
  // after the ones before it. A file larger than the machine's memory, read
  // through the cache, cannot stay there anyway: the cache drops these
  // bytes, so that they do not push out the bytes that will be read again
  // (the images the writer copies), but only those this reader brought in:
  // the pages that were cached before it read them stay, for whoever had
  // them there. The cache keeps pages of up to a few MiB, and drops only
  // pages wholly released, so contiguous ranges are gathered and given to
  // it several MiB at a time; a page that holds bytes not released stays. A
  // smaller file is left cached, for whoever reads it next; direct reads
  // left nothing to drop. A hint: it never changes what Next gives.
  void Release(ULONGLONG offset, ULONGLONG length);

  // Releases the buffers and the file.
  void Close();

  // Platform part: the reads around the cache in flight.
  class CDirect;
  struct CDirectDelete {
    void operator()(CDirect* direct) const noexcept;  // platform part
  };
  using DirectPtr = std::unique_ptr<CDirect, CDirectDelete>;

 private:
  // Platform part: tells the system that the file is read from start to
  // end, so that it reads further ahead of the reads. A hint: ignored where
  // the system has none, or declines it.
  void AdviseSequential();
  // Platform part: the machine's memory in bytes, 0 when unknown.
  static ULONGLONG MemorySize();
  // Platform part: whether at least half of the open file is in the
  // system's cache (judged from samples spread over it); where the system
  // cannot tell, whether the file is no larger than the machine's memory
  // (Windows), or FALSE (a file that cannot be mapped).
  BOOL MostlyCached();
  // Platform part: the direct reads of the open file, whose length is
  // fixed, through a handle of their own to the same file; null when the
  // system refuses them (or lacks the memory or a thread).
  static DirectPtr OpenDirect(const CFile& file, ULONGLONG length);
  // Platform part: the next block of the direct reads, as Next.
  static BOOL NextDirect(CDirect& direct, const unsigned char*& data, size_t& n);
  // Platform part: notes, before the bytes [offset, offset + length) are
  // read through the cache, which of their pages, and of the pages the
  // system may read ahead of them, it holds already (m_residentBefore, one
  // entry per page from m_residentFrom).
  void NoteResident(ULONGLONG offset, ULONGLONG length);
  // Platform part: drops the cached pages wholly inside the range that
  // NoteResident did not find there; nothing where the system cannot.
  void DropCached(ULONGLONG offset, ULONGLONG length);
  BOOL NextBuffered(const unsigned char*& data, size_t& n);

  CFile m_file;
  DirectPtr m_direct;
  ULONGLONG m_length = 0;
  ULONGLONG m_offset = 0;  // stream offset of the next block
  CIOBuffer m_buffer;
  bool m_hasLength = true;
  bool m_ended = false;
  bool m_dropping = false;  // Release drops what it is given
  // The released bytes not yet dropped: [m_releaseFrom, m_releaseTo).
  ULONGLONG m_releaseFrom = 0;
  ULONGLONG m_releaseTo = 0;
  // While dropping: for each page from page number m_residentFrom up to the
  // bytes read, whether the cache held it before this reader read it.
  std::deque<bool> m_residentBefore;
  ULONGLONG m_residentFrom = 0;
};

// Ranges of a file read again after a scan (the writer's copies of the
// images), one at a time, through the system's cache or around it.
class CRangeReader {
 public:
  // Largest piece handed out.
  static constexpr size_t kPieceSize = 1024 * 1024;

  CRangeReader();
  ~CRangeReader();
  CRangeReader(const CRangeReader&) = delete;
  CRangeReader& operator=(const CRangeReader&) = delete;

  // Opens fileName for reading, as CFile::Open with modeRead; direct: around
  // the system's cache where the file system or device takes such reads,
  // through it otherwise. FALSE on failure, with GetLastError set.
  BOOL Open(LPCTSTR fileName, BOOL direct);
  // TRUE when the open file is read around the system's cache.
  BOOL IsDirect() const { return m_direct; }
  // The open file's length, as CFile::GetLength.
  ULONGLONG GetLength() const { return m_file.GetLength(); }

  // Obtains the one page-aligned buffer every piece is read into, if not
  // yet: one allocation at its full size costs no reallocation, page faults
  // or copy per piece, and pages that no read reaches (all pieces small)
  // never become resident. FALSE when the memory cannot be had
  // (ERROR_NOT_ENOUGH_MEMORY). Read obtains it too.
  BOOL ObtainBuffer();

  // The bytes from offset on, at most want (1 to kPieceSize) of them, in
  // data and n; n < want only where the file ends. Valid until the next
  // call or Close. FALSE when reading failed, or when the buffer could not
  // be had (GetLastError set).
  BOOL Read(ULONGLONG offset, size_t want, const unsigned char*& data, size_t& n);

  void Close();

 private:
  // Platform part: m_file, open, read around the cache from now on (through
  // m_native where the system needs a handle of its own for that); FALSE
  // when the system refuses it.
  BOOL EnableDirect();
  // Platform part: closes what EnableDirect opened.
  void CloseDirect();
  // Platform part: reads n bytes at offset (both multiples of
  // kDirectAlignment) into buffer (page-aligned) around the cache: the count
  // read, short only at the file's end, or -1.
  LONGLONG ReadDirect(ULONGLONG offset, unsigned char* buffer, size_t n);

  CFile m_file;
  void* m_native = nullptr;
  BOOL m_direct = FALSE;
  CIOBuffer m_buffer;
};

// Offsets and sizes of direct reads are multiples of this (a device's
// sector, or a page).
inline constexpr ULONGLONG kDirectAlignment = 4096;
