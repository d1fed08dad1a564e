// SPDX-License-Identifier: MIT
#include "bench/workload.h"
#include "testdata/pngdraw.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace benchgen {

namespace {

constexpr uint8_t kSig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint8_t kIend[4] = {'I', 'E', 'N', 'D'};
constexpr uint8_t kIhdr[4] = {'I', 'H', 'D', 'R'};
// A byte that occurs in none of the patterns: writing it over any byte of an
// occurrence destroys it without creating another.
constexpr uint8_t kBreaker = '.';
// Decoys keep this far from the edges of their gap, so that the 9-byte step a
// locator takes after any occurrence can never jump over a real image.
constexpr uint64_t kDecoyMargin = 32;
constexpr size_t kPiece = 1 << 20;

uint64_t SplitMix(uint64_t& x) {
  uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

uint32_t GetBe32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

bool At(const uint8_t* p, const uint8_t* pat, size_t n) { return std::memcmp(p, pat, n) == 0; }

// Calls f(position) for every occurrence of pat in data[0, size).
template <typename F>
void ForEach(const uint8_t* data, size_t size, const uint8_t* pat, size_t n, F f) {
  if (size < n) return;
  const uint8_t* p = data;
  const uint8_t* last = data + size - n;
  while (p <= last) {
    p = static_cast<const uint8_t*>(std::memchr(p, pat[0], size_t(last - p) + 1));
    if (!p) return;
    if (At(p, pat, n)) f(size_t(p - data));
    ++p;
  }
}

struct PngPlan {
  uint32_t width, height;
  uint8_t colorType, bpp;
  uint32_t idatChunk;  // payload bytes per IDAT chunk
  uint64_t rawBytes, zlibBytes, size;
};

PngPlan Plan(Rng& rng, uint64_t target) {
  static const uint8_t kTypes[4][2] = {{0, 1}, {2, 3}, {4, 2}, {6, 4}};
  static const uint32_t kChunks[4] = {8192, 32768, 65536, 1u << 30};
  PngPlan p{};
  const auto& t = kTypes[rng.Range(0, 3)];
  p.colorType = t[0];
  p.bpp = t[1];
  p.idatChunk = kChunks[rng.Range(0, 3)];
  // Fixed cost: signature 8, IHDR 25, IEND 12, zlib header and Adler-32 6,
  // one IDAT chunk header 12, one stored block header 5.
  uint64_t raw = target > 68 ? target - 68 : 2;
  raw -= raw / 13000;  // the other block headers, roughly
  double aspect = std::exp(rng.Unit() * 2.0 - 1.0);
  uint64_t w = uint64_t(std::sqrt(double(raw) / p.bpp * aspect) + 0.5);
  w = std::clamp<uint64_t>(w, 1, std::max<uint64_t>(1, (raw - 1) / p.bpp));
  w = std::min<uint64_t>(w, 1u << 20);
  uint64_t h = std::max<uint64_t>(1, raw / (1 + w * p.bpp));
  p.width = uint32_t(w);
  p.height = uint32_t(h);
  p.rawBytes = h * (1 + w * p.bpp);
  uint64_t blocks = std::max<uint64_t>(1, (p.rawBytes + 65534) / 65535);
  p.zlibBytes = 2 + p.rawBytes + 5 * blocks + 4;
  uint64_t chunks = (p.zlibBytes + p.idatChunk - 1) / p.idatChunk;
  p.size = 8 + 25 + p.zlibBytes + 12 * chunks + 12;
  return p;
}

std::vector<uint8_t> Build(const PngPlan& plan, Rng& rng) {
  // Rows: a filter byte, then pixels that mix smooth gradients with noise.
  std::vector<uint8_t> raw(plan.rawBytes);
  const size_t row = 1 + size_t(plan.width) * plan.bpp;
  for (uint32_t y = 0; y < plan.height; ++y) {
    uint8_t* r = raw.data() + size_t(y) * row;
    r[0] = uint8_t(rng.Range(0, 4));
    const bool noisy = rng.Range(0, 3) == 0;
    uint64_t bits = 0;
    for (size_t x = 1; x < row; ++x) {
      if ((x & 7) == 1) bits = rng.Next();
      uint8_t noise = uint8_t(bits >> ((x & 7) * 8));
      r[x] = noisy ? noise : uint8_t(x * 3 + y + (noise & 7));
    }
  }
  return pngdraw::EncodeRows(plan.width, plan.height, plan.colorType, raw, plan.idatChunk);
}

// True when the image holds a signature other than its own or an "IEND"
// other than its last chunk's type.
bool HasStrayPattern(const std::vector<uint8_t>& png) {
  bool stray = false;
  ForEach(png.data(), png.size(), kSig, 8, [&](size_t p) { stray |= p != 0; });
  ForEach(png.data(), png.size(), kIend, 4, [&](size_t p) { stray |= p != png.size() - 8; });
  return stray;
}

std::vector<uint8_t> BuildClean(const PngPlan& plan, uint64_t seed) {
  for (uint64_t attempt = 0;; ++attempt) {
    Rng rng(seed + attempt * 0x5851F42D4C957F2Dull);
    std::vector<uint8_t> png = Build(plan, rng);
    if (!HasStrayPattern(png)) return png;
  }
}

// Junk between the images: runs of several kinds of data found in real
// dumps, with decoys that a careless locator would take for images.
class Junk {
 public:
  Junk(uint64_t seed, bool randomOnly, const Sink& sink)
      : m_rng(seed), m_randomOnly(randomOnly), m_sink(sink) {
    m_buf.resize(16 + kPiece);
  }

  void Gap(uint64_t len) {
    size_t carry = 0;
    uint64_t done = 0;
    while (done < len) {
      size_t n = size_t(std::min<uint64_t>(kPiece, len - done));
      uint8_t* fresh = m_buf.data() + carry;
      Fill(fresh, n);
      Sanitize(m_buf.data(), carry + n, carry);
      if (!m_randomOnly) PlaceDecoys(fresh, n, done, len);
      m_sink(fresh, n);
      done += n;
      // Keep the tail so that an occurrence across pieces is caught.
      size_t keep = std::min<size_t>(15, carry + n);
      std::memmove(m_buf.data(), m_buf.data() + carry + n - keep, keep);
      carry = keep;
    }
  }

 private:
  enum Kind { kRandom, kZero, kText, kTable, kNearMiss };

  void NewRun() {
    uint64_t r = m_randomOnly ? 0 : m_rng.Range(0, 99);
    m_kind = r < 40 ? kRandom : r < 55 ? kZero : r < 70 ? kText : r < 95 ? kTable : kNearMiss;
    // Run lengths from 256 bytes to 256 KiB, evenly spread in logarithm.
    m_left = uint64_t(256.0 * std::exp(m_rng.Unit() * std::log(1024.0)));
  }

  void Fill(uint8_t* p, size_t n) {
    while (n > 0) {
      if (m_left == 0) NewRun();
      size_t k = size_t(std::min<uint64_t>(m_left, n));
      FillRun(p, k);
      p += k;
      n -= k;
      m_left -= k;
    }
  }

  void FillRun(uint8_t* p, size_t n) {
    static const char* const kWords[] = {
        "the ",  "of ",    "data ",   "file ",   "Image ",  "INDEX ", "IHDR ",
        "PNG ",  "IEN ",   "END ",    "ID ",     "Info ",   "block ", "value=",
        "0x89 ", "\r\n",   "width ",  "height ", "Item ",   "IDAT ",  "Is ",
        "\n",    "level ", "error: ", "I ",      "ENDIAN ", "IE ",    "; ",
    };
    switch (m_kind) {
      case kRandom:
        for (size_t i = 0; i < n; i += 8) {
          uint64_t v = m_rng.Next();
          std::memcpy(p + i, &v, std::min<size_t>(8, n - i));
        }
        break;
      case kZero:
        std::memset(p, 0, n);
        for (size_t i = 0; i < n / 512; ++i) p[m_rng.Range(0, n - 1)] = uint8_t(m_rng.Next());
        break;
      case kText:
        for (size_t i = 0; i < n;) {
          const char* w = kWords[m_rng.Range(0, std::size(kWords) - 1)];
          size_t k = std::min(std::strlen(w), n - i);
          std::memcpy(p + i, w, k);
          i += k;
        }
        break;
      case kTable:
        // Records of little-endian 32-bit fields: small counts, flags, offsets.
        for (size_t i = 0; i < n; i += 4) {
          uint64_t r = m_rng.Next();
          uint32_t v = (r & 3) == 0   ? uint32_t(r >> 8)
                       : (r & 3) == 1 ? uint32_t(r >> 40) & 0xFFFF
                                      : uint32_t(r >> 56);
          std::memcpy(p + i, &v, std::min<size_t>(4, n - i));
        }
        break;
      case kNearMiss:
        // Pieces of the patterns: 0x89 bytes, partial signatures, tags.
        static const uint8_t kBits[][8] = {
            {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x00},
            {0x89, 'P', 'N', 'G', 0, 0, 0, 0},
            {0, 0, 0, 0, 'I', 'E', 'N', 'd'},
            {0, 0, 0, 0x0D, 'I', 'H', 'D', 'R'},
            {0x89, 0x89, 0x89, 0x89, 'I', 'I', 'I', 'I'},
            {0, 0, 0, 0, 'I', 'E', 'N', 0},
        };
        for (size_t i = 0; i < n; i += 8) {
          uint64_t r = m_rng.Next();
          const uint8_t* b =
              (r & 1) ? kBits[(r >> 1) % std::size(kBits)] : reinterpret_cast<uint8_t*>(&r);
          std::memcpy(p + i, b, std::min<size_t>(8, n - i));
        }
        break;
    }
  }

  // Breaks every signature and every "IEND" that ends at or after fresh.
  static void Sanitize(uint8_t* p, size_t n, size_t fresh) {
    ForEach(p, n, kSig, 8, [&](size_t at) {
      if (at + 8 > fresh) p[at + 7] = kBreaker;
    });
    ForEach(p, n, kIend, 4, [&](size_t at) {
      if (at + 4 > fresh) p[at + 3] = kBreaker;
    });
  }

  // About two decoys of each kind per MiB, never near the gap's edges.
  void PlaceDecoys(uint8_t* p, size_t n, uint64_t gapOffset, uint64_t gapLen) {
    static const char* const kTypes[] = {"IDAT", "tEXt", "IHDr", "iHDR"};
    for (int i = 0, k = int(m_rng.Range(0, 4)); i < k; ++i) {
      if (n < 64) return;
      size_t at = size_t(m_rng.Range(0, n - 17));
      uint64_t abs = gapOffset + at;
      if (abs < kDecoyMargin || abs + 16 + kDecoyMargin > gapLen) continue;
      uint8_t d[16];
      if (i & 1) {
        // A signature whose first chunk is not IHDR.
        std::memcpy(d, kSig, 8);
        PutBe32(d + 8, 13);
        std::memcpy(d + 12, kTypes[m_rng.Range(0, 3)], 4);
      } else {
        // An "IEND" whose length field is not zero.
        PutBe32(d, uint32_t(m_rng.Range(1, 0xFFFF)));
        std::memcpy(d + 4, kIend, 4);
        std::memcpy(d + 8, "\x11\x22\x33\x44\x55\x66\x77\x00", 8);
      }
      std::memcpy(p + at, d, 16);
    }
  }

  Rng m_rng;
  bool m_randomOnly;
  const Sink& m_sink;
  std::vector<uint8_t> m_buf;
  Kind m_kind = kRandom;
  uint64_t m_left = 0;
};

}  // namespace

Rng::Rng(uint64_t seed) {
  for (auto& s : m_s) s = SplitMix(seed);
}

uint64_t Rng::Next() {
  uint64_t r = Rotl(m_s[1] * 5, 7) * 9;
  uint64_t t = m_s[1] << 17;
  m_s[2] ^= m_s[0];
  m_s[3] ^= m_s[1];
  m_s[1] ^= m_s[2];
  m_s[0] ^= m_s[3];
  m_s[2] ^= t;
  m_s[3] = Rotl(m_s[3], 45);
  return r;
}

uint64_t Rng::Range(uint64_t lo, uint64_t hi) {
  uint64_t span = hi - lo + 1;
  return span == 0 ? Next() : lo + Next() % span;
}

double Rng::Unit() { return double(Next() >> 11) * 0x1.0p-53; }

std::vector<uint8_t> MakePng(Rng& rng, uint64_t targetBytes) {
  PngPlan plan = Plan(rng, targetBytes);
  return BuildClean(plan, rng.Next());
}

std::vector<Range> Generate(const Params& p, const Sink& sink) {
  Rng rng(p.seed);
  const uint32_t n = p.images;

  // Image sizes: weights spread evenly in logarithm, scaled to the total.
  std::vector<double> weight(n);
  double sum = 0;
  for (auto& w : weight) sum += w = std::exp(rng.Unit() * std::log(std::max(1.0, p.sizeSpread)));
  std::vector<PngPlan> plans;
  plans.reserve(n);
  uint64_t imageTotal = 0;
  for (uint32_t i = 0; i < n; ++i) {
    plans.push_back(Plan(rng, uint64_t(weight[i] / sum * double(p.imageBytes))));
    imageTotal += plans.back().size;
  }

  // Gaps: exponential weights, so image offsets fall uniformly; a few gaps
  // are empty, leaving images back to back.
  const uint64_t junk = p.totalBytes > imageTotal ? p.totalBytes - imageTotal : 0;
  std::vector<double> gw(n + 1);
  double gsum = 0;
  for (uint32_t i = 0; i <= n; ++i) {
    bool empty = i > 0 && i < n && rng.Range(0, 49) == 0;
    gsum += gw[i] = empty ? 0 : -std::log(1.0 - rng.Unit());
  }
  std::vector<uint64_t> gap(n + 1);
  uint64_t given = 0;
  for (uint32_t i = 0; i <= n; ++i) given += gap[i] = uint64_t(gw[i] / gsum * double(junk));
  gap[n] += junk - given;

  Junk junkWriter(rng.Next(), p.randomJunk, sink);
  const uint64_t pixelSeed = rng.Next();
  std::vector<Range> ranges;
  ranges.reserve(n);
  uint64_t at = 0;
  for (uint32_t i = 0; i <= n; ++i) {
    junkWriter.Gap(gap[i]);
    at += gap[i];
    if (i == n) break;
    std::vector<uint8_t> png =
        BuildClean(plans[i], pixelSeed ^ (uint64_t(i) * 0x9E3779B97F4A7C15ull));
    sink(png.data(), png.size());
    ranges.push_back({at, at + png.size()});
    at += png.size();
  }
  return ranges;
}

std::string Verify(const uint8_t* data, size_t size, const std::vector<Range>& ranges) {
  auto where = [](const char* what, uint64_t off) {
    return std::string(what) + " at " + std::to_string(off);
  };
  uint64_t prevEnd = 0;
  for (const Range& r : ranges) {
    if (r.start < prevEnd || r.end > size || r.end < r.start + 8 + 25 + 12)
      return where("bad range", r.start);
    prevEnd = r.end;
    const uint8_t* p = data + r.start;
    if (!At(p, kSig, 8)) return where("no signature", r.start);
    // Walk the chunks: each CRC must hold and IEND must end the range.
    uint64_t off = 8;
    const uint64_t len = r.end - r.start;
    bool first = true;
    for (;;) {
      if (off + 12 > len) return where("chunk overruns image", r.start + off);
      uint32_t n = GetBe32(p + off);
      if (off + 12 + n > len) return where("chunk overruns image", r.start + off);
      if (pngdraw::Crc32(p + off + 4, n + 4) != GetBe32(p + off + 8 + n))
        return where("bad CRC", r.start + off);
      if (first && !At(p + off + 4, kIhdr, 4)) return where("first chunk not IHDR", r.start + off);
      first = false;
      bool end = At(p + off + 4, kIend, 4);
      off += 12 + n;
      if (end) break;
    }
    if (off != len) return where("IEND before end of range", r.start);
  }
  // Inside an image only its own signature and IEND may occur. Outside the
  // images no occurrence may be taken for an image's edge, and none may
  // stand within 16 bytes before an image.
  std::vector<uint64_t> starts;
  for (const Range& r : ranges) starts.push_back(r.start);
  std::string fault;
  auto inside = [&](uint64_t at) {
    auto it = std::upper_bound(starts.begin(), starts.end(), at);
    return it != starts.begin() && at < ranges[size_t(it - starts.begin()) - 1].end;
  };
  auto nearStart = [&](uint64_t at) {
    auto it = std::lower_bound(starts.begin(), starts.end(), at);
    return it != starts.end() && *it - at <= 16;
  };
  auto realEnd = [&](uint64_t at) {
    auto it = std::upper_bound(starts.begin(), starts.end(), at);
    return it != starts.begin() && ranges[size_t(it - starts.begin()) - 1].end == at + 8;
  };
  ForEach(data, size, kSig, 8, [&](size_t at) {
    if (!fault.empty() || std::binary_search(starts.begin(), starts.end(), uint64_t(at))) return;
    bool ihdr = at + 16 <= size && At(data + at + 12, kIhdr, 4);
    if (ihdr || inside(at) || nearStart(at)) fault = where("stray signature", at);
  });
  ForEach(data, size, kIend, 4, [&](size_t at) {
    if (!fault.empty() || realEnd(at)) return;
    bool zero = at >= 4 && GetBe32(data + at - 4) == 0;
    if (zero || inside(at) || nearStart(at)) fault = where("stray IEND", at);
  });
  return fault;
}

}  // namespace benchgen
