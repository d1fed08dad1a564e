// SPDX-License-Identifier: MIT
#include "tool/png_chunks.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

// Table k gives the CRC of a byte followed by k zero bytes, so that eight
// bytes are folded in with eight look-ups and no dependency between them.
constexpr CrcTables MakeCrcTables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (size_t k = 1; k < 8; ++k)
    for (size_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}

constexpr CrcTables kCrc = MakeCrcTables();

// Four bytes as the little-endian number the reflected CRC consumes,
// whatever the machine's byte order.
inline uint32_t LE32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline uint32_t BE32(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr size_t kHeaderSize = 8;  // length and type
constexpr size_t kCrcSize = 4;

}  // namespace

uint32_t PNGCrc32(const unsigned char* data, size_t n, uint32_t crc) {
  uint32_t c = ~crc;
  for (; n >= 8; n -= 8, data += 8) {
    const uint32_t one = c ^ LE32(data);
    const uint32_t two = LE32(data + 4);
    c = kCrc[7][one & 0xFF] ^ kCrc[6][(one >> 8) & 0xFF] ^ kCrc[5][(one >> 16) & 0xFF] ^
        kCrc[4][one >> 24] ^ kCrc[3][two & 0xFF] ^ kCrc[2][(two >> 8) & 0xFF] ^
        kCrc[1][(two >> 16) & 0xFF] ^ kCrc[0][two >> 24];
  }
  for (; n > 0; --n, ++data) c = kCrc[0][(c ^ *data) & 0xFF] ^ (c >> 8);
  return ~c;
}

void CChunkWalk::Fail(PNGHealth::Kind kind, uint64_t at) {
  m_result.kind = kind;
  m_result.at = at;
  m_done = true;
}

void CChunkWalk::BeginChunk() {
  m_chunkAt = m_pos - kHeaderSize;
  ++m_result.chunk;
  std::memcpy(m_result.type, m_gathered + 4, 4);
  const uint64_t length = BE32(m_gathered);
  // Every number read is hostile: the comparison cannot overflow, since
  // both sides stay below 2^64.
  if (length + kCrcSize > m_length - m_pos) return Fail(PNGHealth::kLengthPastEnd, m_chunkAt);
  m_dataLeft = length;
  m_crc = PNGCrc32(m_gathered + 4, 4);
  m_isIEND = std::memcmp(m_result.type, "IEND", 4) == 0;
  m_phase = Phase::kData;
}

void CChunkWalk::Feed(const unsigned char* data, size_t n) {
  while (n > 0 && !m_done && m_pos < m_length) {
    if (m_phase == Phase::kData) {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(m_dataLeft, n));
      m_crc = PNGCrc32(data, take, m_crc);
      m_dataLeft -= take;
      m_pos += take;
      data += take;
      n -= take;
      if (m_dataLeft == 0) m_phase = Phase::kCrc;
      continue;
    }
    // The signature, a chunk's header or its CRC: gathered whole first.
    const size_t want = m_phase == Phase::kCrc ? kCrcSize : 8;
    if (m_phase == Phase::kHeader && m_have == 0 && m_length - m_pos < kHeaderSize)
      return Fail(PNGHealth::kNoIEND, m_pos);
    const size_t take = std::min(want - m_have, n);
    std::memcpy(m_gathered + m_have, data, take);
    m_have += take;
    m_pos += take;
    data += take;
    n -= take;
    if (m_have < want) continue;
    m_have = 0;
    if (m_phase == Phase::kSignature) {
      if (std::memcmp(m_gathered, kSignature, 8) != 0) return Fail(PNGHealth::kNoSignature, 0);
      m_phase = Phase::kHeader;
    } else if (m_phase == Phase::kHeader) {
      BeginChunk();
    } else {
      if (BE32(m_gathered) != m_crc) return Fail(PNGHealth::kBadCRC, m_chunkAt);
      if (m_isIEND) return Fail(PNGHealth::kOk, 0);
      m_phase = Phase::kHeader;
    }
  }
  // The image's end reached between two chunks: there is no "IEND".
  if (!m_done && m_pos == m_length && m_phase == Phase::kHeader && m_have == 0)
    Fail(PNGHealth::kNoIEND, m_pos);
}

PNGHealth CChunkWalk::Result() const {
  if (m_done) return m_result;
  // Not all bytes were fed: what the walk has not seen it cannot vouch for.
  PNGHealth cut = m_result;
  if (m_phase == Phase::kSignature) {
    cut.kind = PNGHealth::kNoSignature;
    cut.at = 0;
  } else {
    cut.kind = PNGHealth::kNoIEND;
    cut.at = m_pos;
  }
  return cut;
}

std::string PrintableChunkType(const unsigned char type[4]) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = type[i];
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      text += static_cast<char>(c);
    } else {
      static const char kHex[] = "0123456789abcdef";
      text += "\\x";
      text += kHex[c >> 4];
      text += kHex[c & 0xF];
    }
  }
  return text;
}
