// SPDX-License-Identifier: MIT
#include "testdata/pngdraw.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace pngdraw {
namespace {

constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

void PutBE32(Bytes& out, uint32_t v) {
  out.push_back(static_cast<unsigned char>(v >> 24));
  out.push_back(static_cast<unsigned char>(v >> 16));
  out.push_back(static_cast<unsigned char>(v >> 8));
  out.push_back(static_cast<unsigned char>(v));
}

void PutChunk(Bytes& out, const char type[4], const unsigned char* data, size_t n) {
  PutBE32(out, static_cast<uint32_t>(n));
  const size_t typeAt = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data, data + n);
  PutBE32(out, Crc32(out.data() + typeAt, 4 + n));
}

// zlib stream of stored blocks: header, blocks of at most 65,535 bytes, Adler-32.
Bytes ZlibStore(const Bytes& raw) {
  Bytes out;
  out.reserve(2 + raw.size() + 5 * (raw.size() / 65535 + 1) + 4);
  out.push_back(0x78);
  out.push_back(0x01);
  size_t at = 0;
  do {
    const size_t len = std::min<size_t>(raw.size() - at, 65535);
    const bool last = at + len == raw.size();
    out.push_back(last ? 1 : 0);
    out.push_back(static_cast<unsigned char>(len));
    out.push_back(static_cast<unsigned char>(len >> 8));
    out.push_back(static_cast<unsigned char>(~len));
    out.push_back(static_cast<unsigned char>(~len >> 8));
    out.insert(out.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
               raw.begin() + static_cast<std::ptrdiff_t>(at + len));
    at += len;
  } while (at < raw.size());
  // Adler-32, reduced modulo 65521 every 5552 bytes (the most that cannot
  // overflow 32 bits).
  uint32_t a = 1, b = 0;
  for (size_t from = 0; from < raw.size(); from += 5552) {
    const size_t to = std::min<size_t>(raw.size(), from + 5552);
    for (size_t i = from; i < to; ++i) {
      a += raw[i];
      b += a;
    }
    a %= 65521;
    b %= 65521;
  }
  PutBE32(out, (b << 16) | a);
  return out;
}

// Small deterministic generator (xorshift64*), so samples are reproducible.
struct Rng {
  uint64_t s;
  explicit Rng(uint32_t seed) : s(0x9E3779B97F4A7C15ull ^ seed) {}
  uint32_t Next() {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return static_cast<uint32_t>((s * 0x2545F4914F6CDD1Dull) >> 32);
  }
  uint32_t Below(uint32_t n) { return Next() % n; }
};

}  // namespace

uint32_t Crc32(const unsigned char* data, size_t n, uint32_t crc) {
  static const std::array<uint32_t, 256> table = MakeCrcTable();
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

Bytes EncodeRows(uint32_t width, uint32_t height, uint8_t color_type, const Bytes& rows,
                 size_t idat_chunk) {
  const Bytes z = ZlibStore(rows);
  Bytes out(kSignature, kSignature + 8);
  out.reserve(8 + 25 + z.size() + 12 * (z.size() / idat_chunk + 1) + 12);
  Bytes ihdr;
  PutBE32(ihdr, width);
  PutBE32(ihdr, height);
  ihdr.insert(ihdr.end(), {8, color_type, 0, 0, 0});  // deflate, adaptive filters, no interlace
  PutChunk(out, "IHDR", ihdr.data(), ihdr.size());
  for (size_t at = 0; at < z.size(); at += idat_chunk)
    PutChunk(out, "IDAT", z.data() + at, std::min(idat_chunk, z.size() - at));
  PutChunk(out, "IEND", nullptr, 0);
  return out;
}

Bytes EncodeRGB(uint32_t width, uint32_t height, const Bytes& rgb) {
  Bytes raw;
  const size_t row = size_t{width} * 3;
  raw.reserve((row + 1) * height);
  for (uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);  // filter: none
    raw.insert(raw.end(), rgb.begin() + static_cast<std::ptrdiff_t>(y * row),
               rgb.begin() + static_cast<std::ptrdiff_t>((y + 1) * row));
  }
  return EncodeRows(width, height, 2, raw);
}

Bytes DrawRGB(unsigned kind, uint32_t width, uint32_t height) {
  Bytes rgb(size_t{width} * height * 3);
  const int cx = static_cast<int>(width / 2), cy = static_cast<int>(height / 2);
  const int r = static_cast<int>(std::min(width, height) / 3);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      unsigned char* px = &rgb[(size_t{y} * width + x) * 3];
      const int dx = static_cast<int>(x) - cx, dy = static_cast<int>(y) - cy;
      unsigned char c[3];
      switch (kind % 4) {
        case 0:  // a yellow sun on a blue sky
          if (dx * dx + dy * dy <= r * r) {
            c[0] = 250;
            c[1] = 210;
            c[2] = 40;
          } else {
            c[0] = 60;
            c[1] = 120;
            c[2] = static_cast<unsigned char>(160 + y * 80 / height);
          }
          break;
        case 1:  // flag stripes
          if (y < height / 3) {
            c[0] = 200;
            c[1] = 30;
            c[2] = 40;
          } else if (y < 2 * height / 3) {
            c[0] = 245;
            c[1] = 245;
            c[2] = 245;
          } else {
            c[0] = 30;
            c[1] = 60;
            c[2] = 170;
          }
          break;
        case 2: {  // checkerboard
          const bool dark = ((x / 8) + (y / 8)) % 2 != 0;
          c[0] = c[1] = c[2] = dark ? 30 : 225;
          break;
        }
        default:  // colour gradient with a green ring
          c[0] = static_cast<unsigned char>(x * 255 / std::max(1u, width - 1));
          c[1] = static_cast<unsigned char>(y * 255 / std::max(1u, height - 1));
          c[2] = 128;
          if (std::abs(dx * dx + dy * dy - r * r) <= 2 * r) {
            c[0] = 20;
            c[1] = 200;
            c[2] = 60;
          }
          break;
      }
      std::memcpy(px, c, 3);
    }
  }
  return rgb;
}

Bytes MakePicture(unsigned kind, uint32_t width, uint32_t height) {
  return EncodeRGB(width, height, DrawRGB(kind, width, height));
}

Bytes MakeJunkWithPictures(uint32_t seed, unsigned count, std::vector<Range>* ranges) {
  Rng rng(seed);
  Bytes out;
  auto junk = [&](size_t n) {
    for (size_t i = 0; i < n; ++i) out.push_back(static_cast<unsigned char>(rng.Next()));
  };
  for (unsigned i = 0; i < count; ++i) {
    junk(200 + rng.Below(3000));
    if (i == 1) {  // a signature whose first chunk is not IHDR
      out.insert(out.end(), kSignature, kSignature + 8);
      const char decoy[] = "\0\0\0\x04tEXtnot an image";
      out.insert(out.end(), decoy, decoy + sizeof decoy - 1);
    }
    if (i == 2) {  // the text IEND in plain junk
      const char decoy[] = "tail IEND tail";
      out.insert(out.end(), decoy, decoy + sizeof decoy - 1);
    }
    junk(50 + rng.Below(500));
    const Bytes picture = MakePicture(i, 24 + rng.Below(40), 24 + rng.Below(32));
    if (ranges) ranges->push_back({out.size(), out.size() + picture.size()});
    out.insert(out.end(), picture.begin(), picture.end());
  }
  junk(100 + rng.Below(1000));
  return out;
}

}  // namespace pngdraw
