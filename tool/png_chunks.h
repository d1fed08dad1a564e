// SPDX-License-Identifier: MIT
// The health of one PNG image: its chunks walked from the signature, each
// chunk's length checked against the image's end and its CRC-32 against its
// type and data, up to the first "IEND" chunk. A pure function over bytes,
// fed in pieces of any size, shared by the tool's listing and the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// CRC-32 as PNG chunks use it (ISO-HDLC: reflected polynomial 0xEDB88320,
// initial and final value all ones) of n bytes, continuing from crc, the
// result of the bytes before them (0 for none).
uint32_t PNGCrc32(const unsigned char* data, size_t n, uint32_t crc = 0);

// What the walk found. Offsets count from the image's first byte.
struct PNGHealth {
  enum Kind {
    kOk,             // every chunk fits and has its CRC right, up to "IEND"
    kNoSignature,    // the image does not begin with the PNG signature
    kBadCRC,         // chunk `chunk` (of `type`, at `at`) has a wrong CRC
    kLengthPastEnd,  // chunk `chunk`'s length takes it past the image's end
    kNoIEND,         // the image ends at `at`, after whole chunks, without "IEND"
  };
  Kind kind = kOk;
  uint64_t at = 0;             // where the fault lies: the chunk's first byte
                               // (its length field), or the image's end for kNoIEND
  uint32_t chunk = 0;          // the chunk's number, 1 for the one after the signature
  unsigned char type[4] = {};  // its type bytes (kBadCRC, kLengthPastEnd)
};

// The walk over one image of a known length, fed its bytes in order.
class CChunkWalk {
 public:
  explicit CChunkWalk(uint64_t imageLength) : m_length(imageLength) {}

  // Feeds the next n bytes of the image (nothing past its length counts).
  void Feed(const unsigned char* data, size_t n);

  // True once the verdict is known: bytes fed from now on are ignored, so a
  // reader may stop.
  bool Done() const { return m_done; }

  // The verdict, once every byte of the image was fed or Done() is true.
  // Fewer than 8 bytes left where a chunk would begin end the walk as
  // kNoIEND there; a chunk whose length field and type are there but whose
  // data or CRC would run past the end is kLengthPastEnd. Bytes after the
  // "IEND" chunk are not looked at.
  PNGHealth Result() const;

 private:
  enum class Phase { kSignature, kHeader, kData, kCrc };
  // Starts the chunk whose 8 header bytes were just gathered.
  void BeginChunk();
  void Fail(PNGHealth::Kind kind, uint64_t at);

  uint64_t m_length;
  uint64_t m_pos = 0;  // image offset of the next byte fed
  Phase m_phase = Phase::kSignature;
  unsigned char m_gathered[8] = {};  // the signature, a header or a CRC so far
  size_t m_have = 0;
  uint64_t m_chunkAt = 0;   // the current chunk's first byte
  uint64_t m_dataLeft = 0;  // its data bytes still to come
  uint32_t m_crc = 0;       // CRC of its type and data so far
  bool m_isIEND = false;
  bool m_done = false;
  PNGHealth m_result;
};

// A chunk type for text: its bytes as they are when they are ASCII letters
// (as every chunk type's are), others as \xHH.
std::string PrintableChunkType(const unsigned char type[4]);
