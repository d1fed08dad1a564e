// SPDX-License-Identifier: MIT
// The PNG locator's scanning core: a pure function over a byte stream.
//
// The core knows nothing about files. A caller feeds it the input as one
// continuous stream, in pieces of any size (one byte, 64 KiB, the whole input
// at once); the results depend only on the bytes, never on where the pieces
// were cut. The caller drives the reads, so it can do what it likes between
// two pieces (report progress, stop). CPatternSearch finds the occurrences
// that count, CEndPairing gives the entries their ends, and CPNGLocator, the
// pass the tool runs, does both in one read of the stream. Tests, the fuzz
// target and the benchmark drive them from memory.
//
// The byte search runs many positions per step (png_scan_kernels.h): SSE2 or,
// where the processor has it, AVX2 on x86-64, a word at a time elsewhere. The
// kernel never changes a result: a search uses the fastest one unless it is
// given another, so that tests and the benchmark can run each one.
//
// Rules (stream offsets p are 64-bit):
//  - The pattern "occurs" at p when the bytes p .. p+len-1 equal it. After an
//    occurrence the search goes on at p + 9 (not p + len), whatever the mode's
//    step decided, so an occurrence starting 1 to 8 bytes after another is
//    never tried.
//  - Start mode: an occurrence counts when "IHDR" stands at p + 12 .. p + 15;
//    it then appends { start = p, end = kNoEnd } to the table.
//  - End mode: an occurrence counts as a marker only when the four bytes
//    before it are zero (the length that every IEND chunk carries). Its end is
//    e = p + 8 (tag and CRC). The entry waiting for its end (the pairing
//    index) takes the first marker whose tag begins at or after its start
//    (p >= start); a marker before it is ignored. A marker whose e lies beyond
//    the start of the entry after the waiting one belongs to a later image, so
//    the waiting entry stays unpaired and the next one waits, repeatedly; the
//    new waiting entry again takes the marker only if p >= its start. So the
//    shortest image paired is 8 bytes, and the chunk that ends right where
//    the next image begins never empties that image. Once every entry has
//    its end, later markers change nothing.
//  - The table the rules give is that of start mode over the whole stream
//    followed by end mode over it; the single pass gives exactly that table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "tool/png_scan_kernels.h"

// One image found in the input: [start, end). end is kNoEnd while no marker
// has been paired with the entry.
struct PNGOffset {
  uint64_t start;
  uint64_t end;
  friend bool operator==(const PNGOffset&, const PNGOffset&) = default;
};

inline constexpr uint64_t kNoEnd = ~uint64_t{0};

// The offset table: entry number i is image number i.
using COffsetTable = std::vector<PNGOffset>;

// The bytes the writer copies for entry i of a final table, over an input
// of inputLength bytes: [start, end), an entry without an end running up to
// the next entry's start (the last one to the end of the input), and no
// range reaching past the end of the input.
inline PNGOffset ImageExtent(const COffsetTable& table, size_t i, uint64_t inputLength) {
  const PNGOffset& entry = table[i];
  uint64_t end = entry.end;
  if (end == kNoEnd) end = i + 1 < table.size() ? table[i + 1].start : inputLength;
  if (end > inputLength) end = inputLength;
  return {entry.start, end > entry.start ? end : entry.start};
}

// The patterns searched for: the signature in start mode, "IEND" in end mode.
inline constexpr unsigned char kPNGSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
inline constexpr unsigned char kIENDTag[4] = {'I', 'E', 'N', 'D'};

// The byte search's implementations, with the same results.
enum class ScanKernel { kPortable, kSSE2, kAVX2 };

// Whether this build and processor have kernel: portable always; SSE2 on
// x86-64; AVX2 on x86-64 where the processor has it.
bool HasScanKernel(ScanKernel kernel);

// The fastest kernel this build and processor have (AVX2, else SSE2 on
// x86-64; elsewhere portable): the one a search uses unless given another.
ScanKernel BestScanKernel();

// One or two patterns searched at once over a stream fed in pieces, each
// with the rules above for where occurrences are tried and which count (each
// pattern steps on by 9 after its own occurrences only); what a counting
// occurrence means is its sink's business.
class CPatternSearch {
 public:
  class CSink {
   public:
    // An occurrence that counts (by its mode's rule), at stream offset p. Each
    // pattern's occurrences come in rising order of p; how those of two
    // patterns interleave is only what Decided() tells: while a sink hears
    // of p, every occurrence below Decided() is p or one reported before.
    virtual void Found(uint64_t p) = 0;

   protected:
    ~CSink() = default;
  };

  // A pattern to search for: 1 to 16 bytes (clamped); startMode: which
  // mode's rule says whether an occurrence counts; the sink told of each
  // counting occurrence.
  struct Pattern {
    const unsigned char* bytes;
    size_t length;
    bool startMode;
    CSink* sink;
  };
  static constexpr size_t kMaxPatterns = 2;

  // Searches for one or two patterns together (any after the first
  // kMaxPatterns are ignored; none: nothing is found),
  // with the given kernel, one this build and processor have. The bytes are
  // copied; the sinks must outlive the search.
  explicit CPatternSearch(std::initializer_list<Pattern> patterns,
                          ScanKernel kernel = BestScanKernel());

  // Feeds the next n bytes of the stream; reports to the sinks every
  // counting occurrence whose bytes (all that its decision looks at) have
  // all been fed.
  void Feed(const void* data, size_t n);

  // Bytes fed so far (the stream offset of the next byte).
  uint64_t StreamLength() const { return m_length; }

  // Every position below this has been decided for every pattern: each
  // counting occurrence there has been reported. Positions at and above it
  // wait for bytes that a decision looks at (at most 15 bytes before the
  // stream's end).
  uint64_t Decided() const;

 private:
  struct Searched {
    unsigned char bytes[16];
    size_t length;
    bool startMode;
    size_t span;  // bytes from p that a decision looks at
    CSink* sink;
    uint64_t next = 0;       // the next position this pattern may occur at
    uint64_t scanned = 0;    // every position before it tried
    uint64_t decidable = 0;  // positions below it have all their bytes fed
    uint64_t limit = 0;      // the end of the positions the current range tries
  };

  // Tries the positions [scanned, min(decidable, cap)) of each pattern in
  // buf, which holds the stream from offset bufBase to bufEnd and every byte
  // those positions look at (kLookBehind before them, and their span).
  void ScanRange(const unsigned char* buf, uint64_t bufBase, uint64_t bufEnd, uint64_t cap);
  // Tries every pattern at p (stream offset at) within its range.
  void TryAt(const unsigned char* p, uint64_t at);
  // Whether the occurrence of pattern s at p (stream offset at) counts.
  // Occurrences at stream offset < 4 have no length field before them.
  static bool Counts(const Searched& s, const unsigned char* p, uint64_t at);

  static constexpr size_t kAdvance = 9;
  static constexpr size_t kLookBehind = 4;
  static constexpr size_t kTailSize = 24;  // > kLookBehind + largest span - 1

  Searched m_patterns[kMaxPatterns] = {};
  size_t m_count;
  size_t m_reach = 0;  // the kernel's largest distance
  png_scan_kernels::CandidateTest m_test;
  png_scan_kernels::FindFn m_find;

  uint64_t m_length = 0;            // bytes fed so far
  unsigned char m_tail[kTailSize];  // the last bytes of the stream
  size_t m_tailLength = 0;
};

// The pairing rule of end mode over a table: offered markers, in stream
// order, give the entries their ends.
class CEndPairing {
 public:
  // The table must outlive the pairing; pairing begins at its entry 0.
  explicit CEndPairing(COffsetTable& table) : m_table(table) {}

  // Offers the marker whose "IEND" tag begins at stream offset p. Every
  // entry whose start is below p + 8 must already be in the table (entries
  // appended later must start at or after p + 8).
  void Offer(uint64_t p);

  // True when no entry of the table waits for its end (so far).
  bool AllPaired() const { return m_waiting >= m_table.size(); }
  // The entry that waits for its end (the table's size when none does).
  // Every entry before it is final: it has its end, or stays without one.
  size_t Waiting() const { return m_waiting; }

  static constexpr uint64_t kEndAfterTag = 8;  // tag and CRC

 private:
  COffsetTable& m_table;
  size_t m_waiting = 0;  // the entry that waits for its end
};

// The single pass: the image starts and the "IEND" markers found together in
// one read of the stream. After Finish the table is exactly the one that
// start mode followed by end mode gives for the same bytes, however the
// stream was cut into pieces. Memory stays the same whatever the stream's
// length (besides the table).
class CPNGLocator : private CPatternSearch::CSink {
 public:
  // Empties table and fills it from the stream: entries are appended as
  // their starts are found and get their ends as their markers are paired.
  // The table must outlive the locator and must not be changed by anyone
  // else until Finish has returned. The byte search runs with the given
  // kernel, one this build and processor have.
  explicit CPNGLocator(COffsetTable& table, ScanKernel kernel = BestScanKernel());

  // Feeds the next n bytes of the stream. Between two calls the table holds
  // every start found so far; the last few markers fed (those within 23
  // bytes of the end of the bytes fed) may still wait for Finish.
  void Feed(const void* data, size_t n);

  // Ends the stream: the markers still waiting are paired and the table is
  // final. Feeding after Finish is ignored.
  void Finish();

  // Bytes fed so far (the stream offset of the next byte).
  uint64_t StreamLength() const { return m_search.StreamLength(); }

  // Calls release(offset, length) for the bytes fed since the last call (or
  // the start) that no image of the table can need: that lie in none of the
  // images found so far and before any start still to be found. An image
  // here is what the writer copies: [start, end), or up to the next start
  // for an entry left without its end; an entry still waiting for its end
  // needs everything from its start on, so nothing past it is released
  // until it has its end. Each byte is released at most once, in stream
  // order.
  template <class Release>
  void ReleaseUnneeded(Release release);

 private:
  // The "IEND" pattern's sink: a marker is paired as soon as every start
  // that could matter to it (below p + 8) is known, and kept until then.
  void Found(uint64_t p) override;
  // Pairs the kept markers whose starts are all known (all when final).
  void PairKept(bool final);

  // The signature's sink: appends each start.
  class CStarts : public CPatternSearch::CSink {
   public:
    explicit CStarts(COffsetTable& table) : m_table(table) {}
    void Found(uint64_t p) override;

   private:
    COffsetTable& m_table;
  };

  COffsetTable& m_table;
  CStarts m_startSink;
  CPatternSearch m_search;  // the signature, then "IEND"
  CEndPairing m_pairing;
  // Markers waiting for the starts before p + 8; at most 3, since the
  // search decides every position up to 15 bytes before the end of what was
  // fed and markers lie at least 9 bytes apart.
  std::vector<uint64_t> m_kept;
  bool m_finished = false;
  uint64_t m_released = 0;  // ReleaseUnneeded has gone this far
  size_t m_settled = 0;     // the entries it has passed
};

template <class Release>
void CPNGLocator::ReleaseUnneeded(Release release) {
  // No start still to be found lies below the decided positions.
  uint64_t limit = m_search.Decided();
  const size_t waiting = m_pairing.Waiting();
  for (; m_settled < waiting && m_table[m_settled].start < limit; ++m_settled) {
    const PNGOffset& image = m_table[m_settled];
    // An entry before the waiting one that has no end has a successor.
    const uint64_t end = image.end != kNoEnd ? image.end : m_table[m_settled + 1].start;
    if (image.start > m_released) release(m_released, image.start - m_released);
    if (end > m_released) m_released = end;
  }
  if (m_settled < m_table.size() && m_table[m_settled].start < limit)
    limit = m_table[m_settled].start;
  if (limit > m_released) {
    release(m_released, limit - m_released);
    m_released = limit;
  }
}
