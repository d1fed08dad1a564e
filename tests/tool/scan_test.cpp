// SPDX-License-Identifier: MIT
// The scanning core on crafted buffers: the pairing rules, occurrences across
// read boundaries, 64-bit offsets, and equality with the reference scanner
// (testdata/png_reference.h) whatever the read sizes.
#include "tool/png_scan.h"
#include "testdata/pngdraw.h"
#include "testdata/png_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

void PrintTo(const PNGOffset& o, std::ostream* os) {
  *os << "{" << o.start << ", " << o.end << "}";
}

namespace {

using Bytes = std::vector<unsigned char>;

const Bytes kSig(kPNGSignature, kPNGSignature + 8);

void Put(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
void Put(Bytes& b, const Bytes& s) { b.insert(b.end(), s.begin(), s.end()); }
void PutAt(Bytes& b, size_t at, const Bytes& s) {
  std::copy(s.begin(), s.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

// Signature, a 13-byte IHDR length, "IHDR": the first 16 bytes of any PNG.
Bytes Head() {
  Bytes b = kSig;
  Put(b, std::string("\0\0\0\x0dIHDR", 8));
  return b;
}
// An IEND chunk: zero length, tag, CRC. Its tag lies 4 bytes in; e = its start + 12.
Bytes Tail() {
  Bytes b(4, 0);
  Put(b, std::string("IEND\xae\x42\x60\x82", 8));
  return b;
}

// The rules, position by position over the whole input.
COffsetTable Model(const Bytes& b) { return png_reference::Scan(b.data(), b.size()); }

// The single pass with the input cut into pieces of the given sizes (cycled).
COffsetTable OnePassPieces(const Bytes& b, const std::vector<size_t>& sizes,
                           ScanKernel kernel = BestScanKernel()) {
  return png_reference::LocateInReads(b.data(), b.size(), sizes, kernel,
                                      [](const CPNGLocator& locator, const COffsetTable&,
                                         size_t at) { EXPECT_EQ(locator.StreamLength(), at); });
}

// The single pass in one piece: it must give the reference's table.
COffsetTable Locate(const Bytes& b, ScanKernel kernel = BestScanKernel()) {
  const COffsetTable t = OnePassPieces(b, {}, kernel);
  EXPECT_EQ(t, Model(b)) << "the single pass differs from the reference";
  return t;
}

// The single pass over reads of 65,536 bytes, the boundaries the tests below
// place occurrences across (any read size must give the same table).
COffsetTable Blocks(const Bytes& b) { return OnePassPieces(b, {65536}); }

// End mode over a table made by hand, in one piece: each marker the search
// finds is offered to the pairing.
void PairEnds(const Bytes& b, COffsetTable& t) {
  struct Offers : CPatternSearch::CSink {
    explicit Offers(COffsetTable& t) : pairing(t) {}
    void Found(uint64_t p) override { pairing.Offer(p); }
    CEndPairing pairing;
  } offers(t);
  CPatternSearch search({{kIENDTag, sizeof kIENDTag, false, &offers}});
  search.Feed(b.data(), b.size());
}

TEST(ScanCore, OneImageAtOffsetZero) {
  const Bytes png = pngdraw::MakePicture(0, 16, 16);
  EXPECT_EQ(Locate(png), (COffsetTable{{0, png.size()}}));
}

TEST(ScanCore, BackToBackImagesEndWhereTheNextStarts) {
  Bytes b;
  std::vector<uint64_t> starts;
  for (unsigned i = 0; i < 4; ++i) {
    starts.push_back(b.size());
    Put(b, pngdraw::MakePicture(i, 10 + i, 12));
  }
  const COffsetTable t = Locate(b);
  ASSERT_EQ(t.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(t[i].start, starts[i]);
    EXPECT_EQ(t[i].end, i + 1 < 4 ? starts[i + 1] : b.size());
  }
}

TEST(ScanCore, NoEntriesWithoutAnImage) {
  EXPECT_TRUE(Locate({}).empty());
  Bytes b(1000, 'x');
  EXPECT_TRUE(Locate(b).empty());
  // A signature whose first chunk is not IHDR, and one cut off before its tag.
  Bytes c = kSig;
  Put(c, std::string("\0\0\0\x0dtEXt", 8));
  Put(c, Tail());
  Put(c, Head());
  c.resize(c.size() - 1);
  EXPECT_TRUE(Locate(c).empty());
}

TEST(ScanCore, OccurrencesOneToEightBytesAfterAnotherAreNotTried) {
  // A signature, then at +8 a full image head: the nine-byte advance skips it.
  Bytes b = kSig;
  Put(b, Head());
  Put(b, Tail());
  EXPECT_TRUE(Locate(b).empty());
  // With one byte more between them the second signature is tried.
  Bytes c = kSig;
  c.push_back('x');
  Put(c, Head());
  Put(c, Tail());
  EXPECT_EQ(Locate(c), (COffsetTable{{9, c.size()}}));
  // In end mode: a marker 8 bytes after another marker is not tried.
  Bytes d = Head();
  Put(d, Tail());          // IEND at 20, e = 28
  d.resize(d.size() - 4);  // drop the CRC: the next zero length starts at 24
  Put(d, Tail());          // IEND at 28: only 8 after the first, skipped
  COffsetTable t{{0, kNoEnd}, {28, kNoEnd}};
  PairEnds(d, t);
  EXPECT_EQ(t, (COffsetTable{{0, 28}, {28, kNoEnd}}));
}

TEST(ScanCore, AMarkerWhoseTagBeginsBeforeTheWaitingStartIsIgnored) {
  Bytes b = Tail();  // e = 12
  b.resize(40, 'j');
  Put(b, Head());  // start 40
  Put(b, Tail());
  EXPECT_EQ(Locate(b), (COffsetTable{{40, b.size()}}));
  // A chunk that ends exactly where the waiting image starts is not its end.
  Bytes c(20, 'j');
  PutAt(c, 8, Tail());  // IEND at 12, e = 20
  Put(c, Head());       // start 20
  COffsetTable t{{20, kNoEnd}};
  PairEnds(c, t);
  EXPECT_EQ(t, (COffsetTable{{20, kNoEnd}}));
  // A marker reaching past the next start leaves the waiting entry unpaired;
  // the next entry does not take it either (its tag lies before that start)
  // and waits for its own.
  Bytes d(60, 'j');
  PutAt(d, 11, Tail());  // IEND at 15, e = 23 > 20
  PutAt(d, 36, Tail());  // IEND at 40, e = 48
  COffsetTable u{{0, kNoEnd}, {20, kNoEnd}};
  PairEnds(d, u);
  EXPECT_EQ(u, (COffsetTable{{0, kNoEnd}, {20, 48}}));
  // A tag right at the start gives the shortest image, 8 bytes.
  Bytes f(40, 'j');
  PutAt(f, 16, Tail());  // IEND at 20, e = 28
  COffsetTable v{{20, kNoEnd}};
  PairEnds(f, v);
  EXPECT_EQ(v, (COffsetTable{{20, 28}}));
}

// Images stored back to back after one whose signature is damaged: its IEND
// chunk ends exactly where the next image starts and must not empty it.
TEST(ScanCore, ADamagedImageDoesNotEmptyTheImagesAfterIt) {
  Bytes b = pngdraw::MakePicture(0, 6, 6);
  b[0] ^= 0xff;
  std::vector<uint64_t> starts;
  for (unsigned i = 1; i <= 3; ++i) {
    starts.push_back(b.size());
    Put(b, pngdraw::MakePicture(i, 6, 6));
  }
  EXPECT_EQ(Locate(b),
            (COffsetTable{{starts[0], starts[1]}, {starts[1], starts[2]}, {starts[2], b.size()}}));
}

TEST(ScanCore, AnImageWithoutItsIENDAffectsOnlyItself) {
  const Bytes a = pngdraw::MakePicture(0, 8, 8), c = pngdraw::MakePicture(2, 9, 9);
  Bytes b = a;
  b.resize(b.size() - 12);  // image 0 loses its IEND chunk
  const uint64_t s1 = b.size();
  Put(b, pngdraw::MakePicture(1, 7, 7));
  const uint64_t s2 = b.size();
  Put(b, c);
  Put(b, std::string("junk"));
  EXPECT_EQ(Locate(b), (COffsetTable{{0, kNoEnd}, {s1, s2}, {s2, s2 + c.size()}}));

  // Two damaged images in a row: the third still gets its own marker.
  Bytes d = Head();
  Put(d, std::string(30, 'x'));
  const uint64_t d1 = d.size();
  Put(d, Head());
  const uint64_t d2 = d.size();
  Put(d, Head());
  Put(d, Tail());
  EXPECT_EQ(Locate(d), (COffsetTable{{0, kNoEnd}, {d1, kNoEnd}, {d2, d.size()}}));
}

TEST(ScanCore, IENDTextInsideAnImageNeedsAZeroLength) {
  // "IEND" in the data with a non-zero length before it does not cut the image.
  Bytes b = Head();
  Put(b, std::string("\0\0\0\x05IEND-ish"));
  Put(b, Tail());
  const uint64_t s1 = b.size();
  Put(b, Head());
  Put(b, Tail());
  EXPECT_EQ(Locate(b), (COffsetTable{{0, s1}, {s1, b.size()}}));

  // A zero-length "IEND" inside image 0 cuts image 0 short, yet image 0's
  // own marker does not shift the images after it.
  Bytes c = Head();
  Put(c, Tail());  // a false marker inside image 0: e = 28
  Put(c, std::string("more"));
  Put(c, Tail());
  Put(c, std::string("junk"));
  const uint64_t c1 = c.size();
  Put(c, Head());
  Put(c, Tail());
  const uint64_t c2 = c.size();
  Put(c, Head());
  Put(c, Tail());
  EXPECT_EQ(Locate(c), (COffsetTable{{0, 28}, {c1, c2}, {c2, c.size()}}));
  // An "IEND" at stream offset 0..3 has no length field before it.
  Bytes d = Tail();
  d.erase(d.begin(), d.begin() + 4);
  COffsetTable t{{0, kNoEnd}};
  PairEnds(d, t);
  EXPECT_EQ(t[0].end, kNoEnd);
}

// Occurrences that cross a 65,536-byte read boundary are found like any other.
TEST(ScanCore, OccurrencesAcrossReadBoundaries) {
  for (size_t sigAt : {65520u, 65521u, 65528u, 65530u, 65533u, 65535u}) {
    for (size_t iendAt : {65530u, 65532u, 65533u, 65535u}) {
      Bytes b(4 * 65536, 'j');
      PutAt(b, sigAt, Head());
      PutAt(b, 65536 + iendAt - 4, Tail());
      PutAt(b, 2 * 65536 + sigAt, Head());
      PutAt(b, b.size() - 12, Tail());
      const COffsetTable want{{sigAt, 65536 + iendAt + 8}, {2 * 65536 + sigAt, b.size()}};
      EXPECT_EQ(Blocks(b), want) << "sig " << sigAt << " iend " << iendAt;
      EXPECT_EQ(Locate(b), want);
    }
  }
}

TEST(ScanCore, LengthAnExactMultipleOfTheReadSize) {
  Bytes b(2 * 65536, 'j');
  PutAt(b, 100, Head());
  PutAt(b, b.size() - 12, Tail());  // the input ends with the image
  const COffsetTable want{{100, b.size()}};
  EXPECT_EQ(Blocks(b), want);
  EXPECT_EQ(OnePassPieces(b, {65536, 0}), want);  // empty reads are harmless
  // A head whose IHDR tag would lie past the end is no image.
  Bytes c(65536, 'j');
  PutAt(c, 65536 - 15, kSig);
  EXPECT_TRUE(Blocks(c).empty());
}

// Any cut of the stream into reads yields the reference's table, and each
// pattern searched alone its occurrences, with
// every byte-search kernel.
TEST(ScanCore, AnyReadSizesGiveTheModelsTable) {
  std::mt19937 rng(12345);
  const std::vector<Bytes> pieces = {Head(),
                                     Tail(),
                                     kSig,
                                     Bytes{'I', 'E', 'N', 'D'},
                                     Bytes{0, 0, 0, 0},
                                     Bytes{'I', 'H', 'D', 'R'},
                                     Bytes{0x89},
                                     Bytes{'I'},
                                     Bytes{0}};
  for (int round = 0; round < 300; ++round) {
    Bytes b;
    const size_t target = rng() % 3000;
    while (b.size() < target) {
      if (rng() % 3 == 0)
        Put(b, pieces[rng() % pieces.size()]);
      else
        b.push_back(static_cast<unsigned char>("IEND\x89PNGHR\0xy"[rng() % 12]));
    }
    const COffsetTable want = Model(b);
    std::vector<size_t> sizes;
    for (int i = 0; i < 8; ++i) sizes.push_back(1 + rng() % (round % 3 == 0 ? 7 : 300));
    png_reference::ForEachKernel([&](ScanKernel kernel) {
      const std::string where =
          "round " + std::to_string(round) + ", " + png_reference::KernelName(kernel);
      EXPECT_EQ(Locate(b, kernel), want) << where;
      for (bool startMode : {true, false}) {
        const std::vector<uint8_t> pat =
            startMode ? png_reference::Signature() : png_reference::EndTag();
        EXPECT_EQ(
            png_reference::SearchInReads(b.data(), b.size(), sizes, kernel, pat, startMode).found,
            png_reference::Occurrences(b.data(), b.size(), pat, startMode))
            << where << (startMode ? ", start mode" : ", end mode");
      }
      EXPECT_EQ(OnePassPieces(b, sizes, kernel), want) << where;
      EXPECT_EQ(OnePassPieces(b, {1}, kernel), want) << where;
    });
  }
}

// The single pass against the reference (both passes) on inputs dense in everything the
// rules look at: signatures, IHDR, IEND and zero length fields, placed so
// that markers and starts fall within a few bytes of each other (a tag up
// to 7 bytes before a start, a start inside a CRC), cut into pieces of
// random sizes, empty ones included; with every byte-search kernel.
TEST(ScanCore, TheSinglePassGivesTheTwoPassesTable) {
  std::mt19937 rng(20261207);
  const std::vector<Bytes> pieces = {Head(),
                                     Head(),
                                     Tail(),
                                     Tail(),
                                     kSig,
                                     Bytes{'I', 'E', 'N', 'D'},
                                     Bytes{0, 0, 0, 0},
                                     Bytes{'I', 'H', 'D', 'R'},
                                     Bytes{0, 0, 0, 0, 'I', 'E', 'N', 'D'}};
  size_t images = 0, paired = 0;
  for (int round = 0; round < 2000; ++round) {
    Bytes b;
    const size_t target = rng() % (round % 10 == 0 ? 20000 : 400);
    while (b.size() < target) {
      if (rng() % 4 != 0)
        Put(b, pieces[rng() % pieces.size()]);
      else
        b.push_back(static_cast<unsigned char>("\0\x89PNGIEHDRx"[rng() % 12]));
    }
    const COffsetTable want = Model(b);
    std::vector<size_t> sizes;
    for (int i = 0; i < 1 + static_cast<int>(rng() % 6); ++i) {
      const unsigned kind = rng() % 4;
      sizes.push_back(kind == 0 ? 0 : kind == 1 ? 1 + rng() % 24 : 1 + rng() % (b.size() + 1));
    }
    if (std::all_of(sizes.begin(), sizes.end(), [](size_t z) { return z == 0; }))
      sizes.push_back(1);
    png_reference::ForEachKernel([&](ScanKernel kernel) {
      ASSERT_EQ(OnePassPieces(b, sizes, kernel), want)
          << "round " << round << ", " << png_reference::KernelName(kernel);
    });
    images += want.size();
    for (const PNGOffset& o : want) paired += o.end != kNoEnd;
  }
  // The inputs really exercise the pairing: many images, most paired, not all.
  EXPECT_GT(images, 10000u);
  EXPECT_GT(paired, images / 4);
  EXPECT_LT(paired, images);
}

// Each kernel stops at the first candidate of either pattern, from any start
// to any end, reading nothing past the bytes it may read (the buffer ends
// there, for the sanitizers); the fastest kernel is the one searches use.
TEST(ScanKernels, EveryKernelFindsTheFirstCandidate) {
  std::vector<ScanKernel> have;
  png_reference::ForEachKernel([&](ScanKernel k) { have.push_back(k); });
  ASSERT_FALSE(have.empty());
  EXPECT_EQ(have.back(), BestScanKernel());
#if defined(__x86_64__) || defined(_M_X64)
  EXPECT_GE(have.size(), 2u) << "no SSE2 kernel on x86-64";
#endif

  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    png_scan_kernels::CandidateTest t{};
    for (int k = 0; k < 2; ++k) {
      t.first[k] = static_cast<unsigned char>(rng() % 4);
      t.second[k] = static_cast<unsigned char>(rng() % 4);
      t.distance[k] = rng() % 16;
    }
    const size_t reach = std::max(t.distance[0], t.distance[1]);
    const size_t end = rng() % 300;
    // Mostly bytes no pattern has, with a few candidates' bytes strewn in.
    Bytes b(end + reach, 'x');
    for (int k = static_cast<int>(rng() % 6); k > 0 && !b.empty(); --k)
      b[rng() % b.size()] = static_cast<unsigned char>(rng() % 4);
    for (size_t from = 0; from <= end; from += 1 + rng() % 7) {
      size_t want = from;
      while (want < end && !((b[want] == t.first[0] && b[want + t.distance[0]] == t.second[0]) ||
                             (b[want] == t.first[1] && b[want + t.distance[1]] == t.second[1])))
        ++want;
      png_reference::ForEachKernel([&](ScanKernel k) {
        EXPECT_EQ(png_scan_kernels::KernelFind(k)(b.data(), from, end, t), want)
            << png_reference::KernelName(k) << ", round " << round << ", from " << from;
      });
    }
  }
}

// The ranges ReleaseUnneeded gives for b fed in pieces of the given size
// (cycled), asked after every piece and once after Finish, merged where
// they touch; with the table the pass made.
struct Released {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;  // [from, to), merged
  COffsetTable table;
};
Released ReleaseWhileFeeding(const Bytes& b, const std::vector<size_t>& sizes) {
  Released r;
  CPNGLocator locator(r.table);
  uint64_t next = 0;
  const auto release = [&](uint64_t at, uint64_t count) {
    EXPECT_GE(at, next) << "released out of order, or twice";
    EXPECT_GT(count, 0u);
    next = std::max(next, at + count);
    if (!r.ranges.empty() && r.ranges.back().second == at)
      r.ranges.back().second = at + count;
    else
      r.ranges.emplace_back(at, at + count);
  };
  for (size_t at = 0, k = 0; at < b.size(); ++k) {
    const size_t piece = std::min(sizes[k % sizes.size()], b.size() - at);
    locator.Feed(b.data() + at, piece);
    at += piece;
    locator.ReleaseUnneeded(release);
  }
  locator.Finish();
  locator.ReleaseUnneeded(release);
  return r;
}

// What the writer copies for entry i of a final table over n bytes.
std::pair<uint64_t, uint64_t> Copied(const COffsetTable& t, size_t i, uint64_t n) {
  const uint64_t end = t[i].end != kNoEnd ? t[i].end : i + 1 < t.size() ? t[i + 1].start : n;
  return {t[i].start, std::min(end, n)};
}

// Released: the gaps between the images, each once; an image without its
// end holds back everything after its start until the next image's marker
// shows where it stops.
TEST(ScanCore, ReleasesTheBytesBetweenTheImages) {
  const Bytes a = pngdraw::MakePicture(1, 6, 6), c = pngdraw::MakePicture(2, 7, 3);
  Bytes noEnd = pngdraw::MakePicture(3, 5, 5);
  noEnd.resize(noEnd.size() - 12);  // its IEND chunk gone
  Bytes b(3000, 'j');
  const uint64_t aStart = b.size();
  Put(b, a);
  b.resize(b.size() + 5000, 'j');
  const uint64_t bStart = b.size();
  Put(b, noEnd);
  b.resize(b.size() + 20000, 'j');
  const uint64_t cStart = b.size();
  Put(b, c);
  const uint64_t cEnd = b.size();
  b.resize(b.size() + 4000, 'j');
  for (size_t piece : {size_t{1}, size_t{700}, b.size()}) {
    const Released r = ReleaseWhileFeeding(b, {piece});
    ASSERT_EQ(r.table,
              (COffsetTable{{aStart, aStart + a.size()}, {bStart, kNoEnd}, {cStart, cEnd}}));
    ASSERT_EQ(r.ranges.size(), 3u) << piece;
    EXPECT_EQ(r.ranges[0], std::make_pair(uint64_t{0}, aStart));
    EXPECT_EQ(r.ranges[1], std::make_pair(aStart + a.size(), bStart));
    EXPECT_EQ(r.ranges[2].first, cEnd);
    EXPECT_GE(r.ranges[2].second, b.size() - 15);  // the search decides up to there
    EXPECT_LE(r.ranges[2].second, b.size());
  }
}

// Whatever the input and the reads, no byte the writer copies is released.
TEST(ScanCore, NoReleasedByteIsCopied) {
  std::mt19937 rng(777);
  const std::vector<Bytes> pieces = {Head(), Tail(), kSig, Bytes{0, 0, 0, 0, 'I', 'E', 'N', 'D'},
                                     Bytes(300, 'j')};
  size_t released = 0;
  for (int round = 0; round < 400; ++round) {
    Bytes b;
    const size_t target = rng() % 6000;
    while (b.size() < target) Put(b, pieces[rng() % pieces.size()]);
    const Released r = ReleaseWhileFeeding(b, {1 + rng() % 40, 1 + rng() % 2000});
    ASSERT_EQ(r.table, Model(b)) << "round " << round;
    for (size_t i = 0; i < r.table.size(); ++i) {
      const auto [from, to] = Copied(r.table, i, b.size());
      for (const auto& [gone, upTo] : r.ranges)
        EXPECT_TRUE(upTo <= from || to <= gone)
            << "round " << round << ": image " << i << " [" << from << ", " << to
            << ") released in [" << gone << ", " << upTo << ")";
    }
    for (const auto& range : r.ranges) released += range.second - range.first;
  }
  EXPECT_GT(released, 100000u);  // the inputs have gaps, and they are released
}

// Offsets past 4 GiB: the stream is fed without being held in memory.
TEST(ScanCore, OffsetsBeyondFourGiB) {
  const Bytes zeros(1 << 20, 0);
  const uint64_t lead = (uint64_t{4} << 30) + 123 * 4096 + 7;
  Bytes png = pngdraw::MakePicture(3, 5, 5);
  COffsetTable once;
  CPNGLocator locator(once);
  for (uint64_t at = 0; at < lead;) {
    const size_t len = static_cast<size_t>(std::min<uint64_t>(zeros.size(), lead - at));
    locator.Feed(zeros.data(), len);
    at += len;
  }
  locator.Feed(png.data(), png.size());
  locator.Finish();
  EXPECT_EQ(locator.StreamLength(), lead + png.size());
  EXPECT_EQ(once, (COffsetTable{{lead, lead + png.size()}}));
}

}  // namespace
