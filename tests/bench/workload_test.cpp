// SPDX-License-Identifier: MIT
// The benchmark's input generator: its inputs must hold exactly the images
// its manifest lists, or the benchmark's byte-for-byte check means nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "bench/workload.h"
#include "testdata/pngdraw.h"

namespace {

struct Generated {
  std::vector<uint8_t> bytes;
  std::vector<benchgen::Range> ranges;
};

Generated Make(const benchgen::Params& p) {
  Generated g;
  g.ranges = benchgen::Generate(
      p, [&](const uint8_t* d, size_t n) { g.bytes.insert(g.bytes.end(), d, d + n); });
  return g;
}

benchgen::Params Small(uint64_t seed) {
  benchgen::Params p;
  p.seed = seed;
  p.totalBytes = 3 << 20;
  p.images = 60;
  p.imageBytes = 1 << 20;
  return p;
}

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

// Undoes the zlib stream of stored blocks that IDAT carries; empty on any
// structural fault, including a wrong Adler-32.
std::vector<uint8_t> Inflate(const std::vector<uint8_t>& z) {
  std::vector<uint8_t> out;
  if (z.size() < 6 || z[0] != 0x78 || (z[0] * 256 + z[1]) % 31 != 0) return {};
  size_t at = 2;
  for (bool final = false; !final;) {
    if (at + 5 > z.size() || (z[at] & 6) != 0) return {};
    final = z[at] & 1;
    size_t n = z[at + 1] | z[at + 2] << 8;
    if ((n ^ (z[at + 3] | z[at + 4] << 8)) != 0xFFFF || at + 5 + n > z.size()) return {};
    out.insert(out.end(), z.begin() + long(at + 5), z.begin() + long(at + 5 + n));
    at += 5 + n;
  }
  uint32_t a = 1, b = 0;
  for (uint8_t c : out) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  if (at + 4 != z.size() || Be32(&z[at]) != (b << 16 | a)) return {};
  return out;
}

TEST(BenchWorkload, InputHoldsExactlyTheManifestImages) {
  for (bool randomJunk : {false, true}) {
    for (uint64_t seed : {1, 2, 3}) {
      benchgen::Params p = Small(seed);
      p.randomJunk = randomJunk;
      Generated g = Make(p);
      EXPECT_EQ(g.bytes.size(), 3u << 20);
      ASSERT_EQ(g.ranges.size(), 60u);
      EXPECT_EQ(benchgen::Verify(g.bytes.data(), g.bytes.size(), g.ranges), "")
          << "seed " << seed << (randomJunk ? ", random junk" : ", mixed junk");
    }
  }
}

// Random junk is what it says: every byte value about as frequent as any
// other between the images (the mixed junk is far from it: runs of zeros).
TEST(BenchWorkload, RandomJunkIsUniform) {
  for (bool randomJunk : {false, true}) {
    benchgen::Params p = Small(4);
    p.randomJunk = randomJunk;
    Generated g = Make(p);
    std::vector<uint64_t> count(256);
    uint64_t junk = 0;
    size_t next = 0;
    for (size_t at = 0; at < g.bytes.size(); ++at) {
      if (next < g.ranges.size() && at == g.ranges[next].start) {
        at = g.ranges[next++].end - 1;
        continue;
      }
      ++count[g.bytes[at]];
      ++junk;
    }
    ASSERT_GT(junk, 1u << 20);
    const auto [least, most] = std::minmax_element(count.begin(), count.end());
    const double expected = double(junk) / 256;
    if (randomJunk) {
      EXPECT_GT(double(*least), expected * 0.9);
      EXPECT_LT(double(*most), expected * 1.1);
    } else {
      EXPECT_GT(double(count[0]), expected * 10);
    }
  }
}

TEST(BenchWorkload, SameSeedSameBytesOtherSeedOtherBytes) {
  Generated a = Make(Small(7)), b = Make(Small(7)), c = Make(Small(8));
  EXPECT_TRUE(a.bytes == b.bytes);
  EXPECT_FALSE(a.bytes == c.bytes);
}

TEST(BenchWorkload, ImagesDecodeToTheirDeclaredSize) {
  benchgen::Rng rng(42);
  for (uint64_t target : {1ull, 70ull, 1000ull, 70000ull, 300000ull}) {
    std::vector<uint8_t> png = benchgen::MakePng(rng, target);
    ASSERT_EQ(benchgen::Verify(png.data(), png.size(), {{0, png.size()}}), "");
    uint32_t w = Be32(&png[16]), h = Be32(&png[20]);
    const int bpp[] = {1, 0, 3, 0, 2, 0, 4};
    ASSERT_LE(png[25], 6);
    std::vector<uint8_t> z;
    for (size_t at = 33; Be32(&png[at]) != 0 || std::memcmp(&png[at + 4], "IEND", 4) != 0;) {
      uint32_t n = Be32(&png[at]);
      if (std::memcmp(&png[at + 4], "IDAT", 4) == 0)
        z.insert(z.end(), &png[at + 8], &png[at + 8] + n);
      at += 12 + n;
    }
    std::vector<uint8_t> raw = Inflate(z);
    EXPECT_EQ(raw.size(), size_t(h) * (1 + size_t(w) * size_t(bpp[png[25]])))
        << "target " << target;
    if (target >= 1000) {
      EXPECT_NEAR(double(png.size()), double(target), double(target) * 0.05);
    }
  }
}

TEST(BenchWorkload, VerifyCatchesWhatWouldMisleadTheBenchmark) {
  Generated g = Make(Small(5));
  ASSERT_EQ(benchgen::Verify(g.bytes.data(), g.bytes.size(), g.ranges), "");
  const benchgen::Range r = g.ranges[10];
  const uint64_t junk = g.ranges[9].end + (r.start - g.ranges[9].end) / 2;
  ASSERT_GT(r.start - g.ranges[9].end, 64u);

  auto faultWith = [&](auto change) {
    Generated h = g;
    change(h.bytes);
    return benchgen::Verify(h.bytes.data(), h.bytes.size(), h.ranges);
  };
  // A signature with IHDR at +12 in the junk: an image the manifest lacks.
  EXPECT_NE(
      faultWith([&](auto& b) { std::memcpy(&b[junk], "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16); }),
      "");
  // A zero-length IEND chunk in the junk: a marker the manifest lacks.
  EXPECT_NE(faultWith([&](auto& b) { std::memcpy(&b[junk], "\0\0\0\0IEND", 8); }), "");
  // A damaged CRC inside an image.
  EXPECT_NE(faultWith([&](auto& b) { b[r.end - 1] ^= 1; }), "");
  // An "IEND" inside an image's data, its chunk's CRC made good again.
  EXPECT_NE(faultWith([&](auto& b) {
              uint8_t* idat = &b[r.start + 33];
              const uint32_t n = Be32(idat);
              ASSERT_GT(n, 40u);
              std::memcpy(idat + 20, "IEND", 4);
              const uint32_t crc = pngdraw::Crc32(idat + 4, n + 4);
              for (int k = 0; k < 4; ++k) idat[8 + n + k] = uint8_t(crc >> (24 - 8 * k));
            }),
            "");
}

}  // namespace
