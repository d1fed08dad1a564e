// The PNG locator's scanning core: a pure function over a byte stream.
//
// The core knows nothing about files. A caller feeds it the input as one
// continuous stream, in pieces of any size (one byte, 64 KiB, the whole input
// at once); the results depend only on the bytes, never on where the pieces
// were cut. ScanFile drives it from the input file; tests, the fuzz target and
// the benchmark drive it from memory.
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

class CPNGScanner {
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
    bool WantsMore() const { return !m_complete; }

    // Bytes fed so far (the stream offset of the next byte).
    uint64_t StreamLength() const { return m_length; }

private:
    // Tries every position p in [from, to) (stream offsets) whose bytes
    // p - kLookBehind .. p + m_span - 1 all lie in buf, which holds the
    // stream from offset bufBase on. Occurrences at stream offset < 4 have no
    // length field before them.
    void ScanRange(const unsigned char* buf, uint64_t bufBase, uint64_t from, uint64_t to);
    // End mode: the marker whose tag begins at stream offset p.
    void Marker(uint64_t p);

    static constexpr size_t kAdvance = 9;
    static constexpr uint64_t kEndAfterTag = 8;   // tag and CRC
    static constexpr size_t kLookBehind = 4;
    static constexpr size_t kTailSize = 24;   // > kLookBehind + largest span - 1

    unsigned char m_pattern[16];
    size_t m_patternLength;
    bool m_startMode;
    size_t m_span;             // bytes from p that a decision looks at
    COffsetTable& m_table;
    size_t m_pairing = 0;      // end mode: the entry that waits for its end
    bool m_complete = false;

    uint64_t m_length = 0;     // bytes fed so far
    uint64_t m_next = 0;       // next position to try; all before it decided
    unsigned char m_tail[kTailSize];   // the last bytes of the stream
    size_t m_tailLength = 0;
};

// Convenience: runs one pass over an in-memory buffer (one Feed).
void ScanBuffer(const void* data, size_t n, const unsigned char* pattern, size_t patternLength,
                int recordStarts, COffsetTable& table);

// Both passes over an in-memory buffer, as the driver runs them on a file:
// start mode into an emptied table, then end mode.
void LocatePNGs(const void* data, size_t n, COffsetTable& table);
