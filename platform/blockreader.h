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
#include <functional>
#include <memory>
#include <vector>

// Offsets and sizes of direct reads are multiples of this (a device's
// sector, or a page).
inline constexpr ULONGLONG kDirectAlignment = 4096;

// A stretch of a file: length bytes from offset.
struct CFilePiece {
  ULONGLONG offset = 0;
  ULONGLONG length = 0;
};

// Platform part: pieces of a file read around the system's cache, several
// in flight, handed out in order.
class CDirectReads;
struct CDirectReadsDelete {
  void operator()(CDirectReads* reads) const noexcept;  // platform part
};
using CDirectReadsPtr = std::unique_ptr<CDirectReads, CDirectReadsDelete>;

// Platform part: reads around the cache of count pieces of the open file
// (each of at most CBlockReader::kBlockSize bytes; piece(i) gives the i-th,
// and is called on other threads), through a handle of its own to the same
// file; null when the system refuses such reads (a first read tells) or
// lacks the memory or a thread for them.
CDirectReadsPtr AfxOpenDirectReads(const CFile& file, ULONGLONG count,
                                   std::function<CFilePiece(ULONGLONG)> piece);
// Platform part: the next piece's bytes in data and n, n = 0 after the last;
// n is short where the file ended within the piece (it became shorter), and
// 0 for every piece after that one. Valid until the next call. FALSE when a
// read failed, with GetLastError set.
BOOL AfxNextDirectPiece(CDirectReads& reads, const unsigned char*& data, size_t& n);

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
  CDirectReadsPtr m_direct;
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
// images), in order, through the system's cache or around it with several
// reads in flight.
class CRangeReader {
 public:
  // Largest piece handed out.
  static constexpr size_t kPieceSize = CBlockReader::kBlockSize;

  CRangeReader();
  ~CRangeReader();
  CRangeReader(const CRangeReader&) = delete;
  CRangeReader& operator=(const CRangeReader&) = delete;

  // Opens fileName for reading, as CFile::Open with modeRead. FALSE on
  // failure, with GetLastError set.
  BOOL Open(LPCTSTR fileName);
  // The open file's length, as CFile::GetLength.
  ULONGLONG GetLength() const { return m_file.GetLength(); }

  // The ranges that Next hands out, in this order, each in pieces of up to
  // kPieceSize bytes; direct: read around the system's cache where the file
  // system or device takes such reads (the reads start at once, several in
  // flight), through it otherwise. Obtains the memory for the reads: FALSE
  // when it cannot be had (ERROR_NOT_ENOUGH_MEMORY).
  BOOL Plan(std::vector<CFilePiece> ranges, BOOL direct);
  // TRUE when the planned ranges are read around the system's cache.
  BOOL IsDirect() const { return m_direct != nullptr; }

  // The next piece of the planned ranges, in data and n (n = 0 after the
  // last); a range of length 0 gives no piece. Valid until the next call or
  // Close. FALSE when reading failed, or when the file ends before the
  // piece does (it became shorter; ERROR_HANDLE_EOF).
  BOOL Next(const unsigned char*& data, size_t& n);

  void Close();

 private:
  // The piece of the ranges numbered index: the pieces of each range in
  // turn. m_firstPiece[i] is the number of range i's first piece.
  CFilePiece Piece(ULONGLONG index) const;

  CFile m_file;
  CDirectReadsPtr m_direct;
  std::vector<CFilePiece> m_ranges;
  std::vector<ULONGLONG> m_firstPiece;  // one more than ranges: the count at the end
  ULONGLONG m_next = 0;                 // the piece Next gives next
  CIOBuffer m_buffer;
};
