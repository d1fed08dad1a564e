// SPDX-License-Identifier: MIT
// Seeded generator of benchmark inputs: junk with valid PNG images embedded
// at random offsets, and the manifest of the images' byte ranges.
//
// The same parameters always give the same bytes. Outside the images the
// junk never holds a PNG signature nor the text "IEND" except as controlled
// decoys (in the mixed junk only) (a signature whose first chunk is not IHDR, an "IEND" whose length
// field is not zero), each at least 32 bytes away from any image, so the
// manifest lists exactly the images a correct locator must find.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace benchgen {

// xoshiro256** seeded through splitmix64: fast, and stable across platforms.
class Rng {
 public:
  explicit Rng(uint64_t seed);
  uint64_t Next();
  // Uniform in [lo, hi], both inclusive; hi >= lo.
  uint64_t Range(uint64_t lo, uint64_t hi);
  // Uniform in [0, 1).
  double Unit();

 private:
  uint64_t m_s[4];
};

struct Params {
  uint64_t seed = 1;
  uint64_t totalBytes = 0;   // size of the generated input
  uint32_t images = 0;       // number of embedded images
  uint64_t imageBytes = 0;   // their combined size, approximately
  double sizeSpread = 1000;  // ratio of the largest to the smallest image weight
  // The junk between the images: runs of several kinds (random data, zeros,
  // text, tables, near misses) with decoys; or, with randomJunk, uniformly
  // random bytes only, as compressed data looks (no decoys).
  bool randomJunk = false;
};

struct Range {
  uint64_t start;
  uint64_t end;  // one past the last byte
};

// Builds one valid PNG (signature, IHDR, IDAT chunks holding a zlib stream of
// stored blocks, IEND, correct CRCs) of roughly targetBytes bytes (at least
// the size of a 1x1 image). It never holds a PNG signature other than its
// first 8 bytes nor "IEND" other than its final chunk's type.
std::vector<uint8_t> MakePng(Rng& rng, uint64_t targetBytes);

using Sink = std::function<void(const uint8_t*, size_t)>;

// Streams the whole input through sink, in order, and returns the images'
// ranges in file order. The total written is exactly p.totalBytes unless the
// images alone need more.
std::vector<Range> Generate(const Params& p, const Sink& sink);

// Checks an in-memory input against its manifest: every range starts with a
// signature followed by IHDR at +12 and ends with a zero-length IEND chunk,
// and outside the ranges there is no signature with IHDR at +12 and no
// "IEND" after a zero length field. Returns an empty string when all holds,
// else a description of the first fault.
std::string Verify(const uint8_t* data, size_t size, const std::vector<Range>& ranges);

}  // namespace benchgen
