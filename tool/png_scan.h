// SPDX-License-Identifier: MIT
// The PNG locator's scanning core: a pure function over a byte stream.
//
// The core knows nothing about files. A caller feeds it the input as one
// continuous stream, in pieces of any size (one byte, 64 KiB, the whole input
// at once); the results depend only on the bytes, never on where the pieces
// were cut. The caller drives the reads, so it can do what it likes between
// two pieces (report progress, stop). The tool's driver runs CPNGLocator, one
// pass that finds starts and markers together; CPNGScanner runs one mode at a
// time (ScanFile). Both give the same table for the same bytes. Tests, the
// fuzz target and the benchmark drive them from memory.
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
//    its end the scan is complete and wants no more data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

// The patterns the driver hands to ScanFile.
inline constexpr unsigned char kPNGSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
inline constexpr unsigned char kIENDTag[4] = {'I', 'E', 'N', 'D'};

// One pattern searched over a stream fed in pieces, with the rules above for
// where occurrences are tried and which count; what a counting occurrence
// means is its sink's business.
class CPatternSearch {
 public:
  class CSink {
   public:
    // An occurrence that counts, at stream offset p (start mode: "IHDR"
    // stands 12 bytes on; end mode: four zero bytes stand before it).
    // Occurrences come in rising order. Returning false ends the search:
    // it reports nothing more and ignores later bytes.
    virtual bool Found(uint64_t p) = 0;

   protected:
    ~CSink() = default;
  };

  // pattern/patternLength: 1 to 16 bytes (clamped). startMode: an
  // occurrence counts when "IHDR" follows 12 bytes on; otherwise when four
  // zero bytes precede it. The sink must outlive the search.
  CPatternSearch(const unsigned char* pattern, size_t patternLength, bool startMode, CSink& sink);

  // Feeds the next n bytes of the stream; reports to the sink every
  // counting occurrence whose bytes have all been fed.
  void Feed(const void* data, size_t n);

  // True once the search was ended (by its sink or by End).
  bool Ended() const { return m_ended; }

  // Ends the search: nothing more is reported; later bytes are only counted.
  void End() { m_ended = true; }

  // Bytes fed so far (the stream offset of the next byte).
  uint64_t StreamLength() const { return m_length; }

  // Every position below this has been decided: each counting occurrence
  // there has been reported. Positions at and above it wait for bytes that
  // a decision looks at (at most 15 bytes before the stream's end).
  uint64_t Decided() const { return m_next; }

 private:
  // Tries every position p in [from, to) (stream offsets) whose bytes
  // p - kLookBehind .. p + m_span - 1 all lie in buf, which holds the
  // stream from offset bufBase on. Occurrences at stream offset < 4 have no
  // length field before them.
  void ScanRange(const unsigned char* buf, uint64_t bufBase, uint64_t from, uint64_t to);

  static constexpr size_t kAdvance = 9;
  static constexpr size_t kLookBehind = 4;
  static constexpr size_t kTailSize = 24;  // > kLookBehind + largest span - 1

  unsigned char m_pattern[16];
  size_t m_patternLength;
  bool m_startMode;
  size_t m_span;  // bytes from p that a decision looks at
  CSink& m_sink;
  bool m_ended = false;

  uint64_t m_length = 0;            // bytes fed so far
  uint64_t m_next = 0;              // next position to try; all before it decided
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

  static constexpr uint64_t kEndAfterTag = 8;  // tag and CRC

 private:
  COffsetTable& m_table;
  size_t m_waiting = 0;  // the entry that waits for its end
};

// One mode at a time, as ScanFile runs it.
class CPNGScanner : private CPatternSearch::CSink {
 public:
  // pattern/patternLength: the bytes searched for (1 to 16 bytes; the
  // signature in start mode, "IEND" in end mode). recordStarts non-zero:
  // start mode, appending to table; zero: end mode, setting the end fields
  // of the entries already in table. The table must outlive the scanner and
  // must not be changed by anyone else during the scan.
  CPNGScanner(const unsigned char* pattern, size_t patternLength, int recordStarts,
              COffsetTable& table);

  // Feeds the next n bytes of the stream. Returns false once the scan is
  // complete (end mode, every entry paired): later bytes cannot change the
  // table and need not be read. Feeding after that is allowed and ignored.
  bool Feed(const void* data, size_t n);

  // True when more bytes could still change the table.
  bool WantsMore() const { return !m_search.Ended(); }

  // Bytes fed so far (the stream offset of the next byte).
  uint64_t StreamLength() const { return m_search.StreamLength(); }

 private:
  bool Found(uint64_t p) override;

  bool m_startMode;
  COffsetTable& m_table;
  CEndPairing m_pairing;
  CPatternSearch m_search;
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
  // else until Finish has returned.
  explicit CPNGLocator(COffsetTable& table);

  // Feeds the next n bytes of the stream. Between two calls the table holds
  // every start found so far; the last few markers fed (those within 23
  // bytes of the end of the bytes fed) may still wait for Finish.
  void Feed(const void* data, size_t n);

  // Ends the stream: the markers still waiting are paired and the table is
  // final. Feeding after Finish is ignored.
  void Finish();

  // Bytes fed so far (the stream offset of the next byte).
  uint64_t StreamLength() const { return m_starts.StreamLength(); }

 private:
  // The "IEND" search's sink: a marker is paired as soon as every start
  // that could matter to it (below p + 8) is known, and kept until then.
  bool Found(uint64_t p) override;
  // Pairs the kept markers whose starts are all known (all when final).
  void PairKept(bool final);

  // The signature search's sink: appends each start.
  class CStarts : public CPatternSearch::CSink {
   public:
    explicit CStarts(COffsetTable& table) : m_table(table) {}
    bool Found(uint64_t p) override;

   private:
    COffsetTable& m_table;
  };

  COffsetTable& m_table;
  CStarts m_startSink;
  CPatternSearch m_starts;
  CPatternSearch m_markers;
  CEndPairing m_pairing;
  // Markers waiting for the starts before p + 8; at most 3, since the
  // signature search decides every position up to 15 bytes before the end
  // of what was fed and markers lie at least 9 bytes apart.
  std::vector<uint64_t> m_kept;
  bool m_finished = false;
};

// Convenience: runs one pass over an in-memory buffer (one Feed).
void ScanBuffer(const void* data, size_t n, const unsigned char* pattern, size_t patternLength,
                int recordStarts, COffsetTable& table);

// Both passes over an in-memory buffer, as ScanFile runs them on a file:
// start mode into an emptied table, then end mode.
void LocatePNGs(const void* data, size_t n, COffsetTable& table);

// The single pass over an in-memory buffer (one Feed, then Finish).
void LocatePNGsOnce(const void* data, size_t n, COffsetTable& table);
