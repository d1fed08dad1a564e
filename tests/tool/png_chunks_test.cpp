// SPDX-License-Identifier: MIT
// The chunk walk fed in pieces of every size gives the verdict it gives the
// whole image, and its CRC-32 is the one the test material computes on its
// own (pngdraw), continued across any cut.
#include "testdata/pngdraw.h"
#include "tool/png_chunks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = pngdraw::Bytes;

std::string Describe(const PNGHealth& h) {
  return std::to_string(h.kind) + " at " + std::to_string(h.at) + " chunk " +
         std::to_string(h.chunk) + " " + PrintableChunkType(h.type);
}

// The verdict with the image fed `piece` bytes at a time.
PNGHealth InPieces(const Bytes& image, size_t piece) {
  CChunkWalk walk(image.size());
  for (size_t at = 0; at < image.size() && !walk.Done(); at += piece)
    walk.Feed(image.data() + at, std::min(piece, image.size() - at));
  return walk.Result();
}

TEST(PNGChunks, CrcMatchesAnIndependentOneAcrossEveryCut) {
  Bytes data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
  for (size_t n = 0; n <= data.size(); n += 13)
    for (size_t cut = 0; cut <= n; cut += 5) {
      const uint32_t first = PNGCrc32(data.data(), cut);
      EXPECT_EQ(PNGCrc32(data.data() + cut, n - cut, first), pngdraw::Crc32(data.data(), n))
          << n << " cut at " << cut;
    }
}

TEST(PNGChunks, EveryFaultIsFoundWhereverThePiecesEnd) {
  const Bytes whole = pngdraw::EncodeRows(3, 2, 0, Bytes{0, 1, 2, 3, 0, 4, 5, 6}, 3);
  struct Case {
    const char* what;
    Bytes image;
    PNGHealth::Kind kind;
    uint64_t at;
    uint32_t chunk;
  };
  std::vector<Case> cases;
  cases.push_back({"whole", whole, PNGHealth::kOk, 0, 0});
  Bytes bad = whole;
  bad[45] ^= 1;  // in the first IDAT's data (IDAT at 33, data at 41)
  cases.push_back({"bad CRC", bad, PNGHealth::kBadCRC, 33, 2});
  Bytes longer = whole;
  longer[35] = 0x7F;  // the first IDAT's length, far past the end
  cases.push_back({"length past the end", longer, PNGHealth::kLengthPastEnd, 33, 2});
  Bytes huge = whole;
  std::memset(huge.data() + 33, 0xFF, 4);  // 2^32 - 1: no overflow
  cases.push_back({"largest length", huge, PNGHealth::kLengthPastEnd, 33, 2});
  Bytes noEnd(whole.begin(), whole.end() - 12);
  cases.push_back({"no IEND", noEnd, PNGHealth::kNoIEND, noEnd.size(), 0});
  Bytes ragged(whole.begin(), whole.end() - 7);
  cases.push_back(
      {"a few bytes where a chunk begins", ragged, PNGHealth::kNoIEND, whole.size() - 12, 0});
  Bytes notPNG = whole;
  notPNG[1] = 'Q';
  cases.push_back({"no signature", notPNG, PNGHealth::kNoSignature, 0, 0});
  cases.push_back({"shorter than a signature", Bytes(whole.begin(), whole.begin() + 5),
                   PNGHealth::kNoSignature, 0, 0});
  for (const Case& c : cases) {
    const PNGHealth expected = InPieces(c.image, c.image.size());
    EXPECT_EQ(expected.kind, c.kind) << c.what << ": " << Describe(expected);
    EXPECT_EQ(expected.at, c.at) << c.what;
    if (c.chunk) {
      EXPECT_EQ(expected.chunk, c.chunk) << c.what;
    }
    for (size_t piece = 1; piece <= c.image.size(); ++piece) {
      const PNGHealth got = InPieces(c.image, piece);
      EXPECT_EQ(Describe(got), Describe(expected)) << c.what << " in pieces of " << piece;
    }
  }
}

}  // namespace
