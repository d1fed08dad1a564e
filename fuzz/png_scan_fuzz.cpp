// SPDX-License-Identifier: MIT
// Fuzz target: the PNG scanning core against a plain reference scan.
//
// The reference (testdata/png_reference.h) is written straight from the
// locator's rules, one position at a time over the whole input held in
// memory, with none of the core's tricks. The core runs, in pieces whose
// sizes come from the input and once with each byte-search kernel the
// machine has: each pattern searched alone; both patterns searched together; and
// (with the PNG patterns) the single pass that finds starts and markers
// together. The occurrences must be the reference's, and the tables equal
// its table: same entries, same starts, same ends. The pairing of the
// reference's occurrences must give its table too, for any pattern.
//
// Input: byte 0 is a flag byte: bit 0 set takes the two patterns from the
// input (1 to 16 bytes each, exercising the core for any pattern) instead of
// the PNG signature and "IEND"; bits 1-3 give a count c of piece sizes. Then
// (with bit 0) a length byte and that many pattern bytes, twice; then c
// 16-bit little-endian piece sizes, used in turn (0 feeds nothing); the rest
// is the stream.
#include "fuzz/fuzz_input.h"
#include "tool/png_scan.h"
#include "testdata/png_reference.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

// A pattern searched alone: every occurrence the reference finds, and
// every byte counted.
void CheckAlone(const uint8_t* s, size_t n, const std::vector<uint8_t>& pat, bool startMode,
                const std::vector<size_t>& sizes, ScanKernel with) {
  const char* kernel = png_reference::KernelName(with);
  const std::vector<uint64_t> want = png_reference::Occurrences(s, n, pat, startMode);
  const png_reference::SearchedAlone all =
      png_reference::SearchInReads(s, n, sizes, with, pat, startMode);
  FUZZ_CHECK(all.found == want, "%s mode alone (%s): %zu occurrences, reference %zu",
             startMode ? "start" : "end", kernel, all.found.size(), want.size());
  FUZZ_CHECK(all.streamLength == n, "stream length %" PRIu64 " after %zu bytes", all.streamLength,
             n);
}

void Expect(const COffsetTable& got, const COffsetTable& want, const char* how) {
  if (got == want) return;
  std::fprintf(stderr, "%s: %zu entries, reference %zu\n", how, got.size(), want.size());
  for (size_t i = 0; i < got.size() || i < want.size(); ++i) {
    if (i < got.size() && i < want.size() && got[i] == want[i]) continue;
    std::fprintf(stderr, "  entry %zu: core ", i);
    if (i < got.size())
      std::fprintf(stderr, "[%" PRIu64 ", %" PRIx64 ")", got[i].start, got[i].end);
    std::fprintf(stderr, "  reference ");
    if (i < want.size())
      std::fprintf(stderr, "[%" PRIu64 ", %" PRIx64 ")", want[i].start, want[i].end);
    std::fputc('\n', stderr);
  }
  FuzzFail("%s: the core's table differs from the reference scan", how);
}

// The occurrences a search of both patterns reported, each pattern's in turn.
struct Reported {
  std::vector<uint64_t> of[2];
};

// Records one pattern's occurrences as a search reports them, and checks
// what the locator relies on: while a sink hears of an occurrence, every
// occurrence of either pattern below Decided() is that one or was reported
// before.
class CRecorder : public CPatternSearch::CSink {
 public:
  CRecorder(Reported& log, int pattern, const std::vector<uint64_t>& all, const char* kernel)
      : m_log(log), m_k(pattern), m_all(all), m_kernel(kernel) {}
  void Watch(const CPatternSearch& search) { m_search = &search; }
  void Found(uint64_t p) override {
    m_log.of[m_k].push_back(p);
    // Each pattern's own occurrences rise (checked at the end), so these
    // counts are of the first ones.
    const uint64_t decided = m_search->Decided();
    const auto below = [decided](const std::vector<uint64_t>& v) {
      return static_cast<size_t>(std::lower_bound(v.begin(), v.end(), decided) - v.begin());
    };
    const size_t reported = below(m_log.of[0]) + below(m_log.of[1]);
    FUZZ_CHECK(reported == below(m_all),
               "both patterns (%s): %zu occurrences below %" PRIu64 ", %zu reported", m_kernel,
               below(m_all), decided, reported);
  }

 private:
  Reported& m_log;
  int m_k;
  const std::vector<uint64_t>& m_all;  // every occurrence of both, in order
  const char* m_kernel;
  const CPatternSearch* m_search = nullptr;
};

// Both patterns searched at once, in pieces: every counting occurrence of
// each, in stream order for each, and nothing else; every position up to 15
// bytes before the end of the bytes fed is decided.
void CheckTogether(const uint8_t* s, size_t n, const std::vector<uint8_t>& startPat,
                   const std::vector<uint8_t>& endPat, const std::vector<size_t>& sizes,
                   ScanKernel with) {
  const char* kernel = png_reference::KernelName(with);
  const std::vector<uint64_t> want[2] = {png_reference::Occurrences(s, n, startPat, true),
                                         png_reference::Occurrences(s, n, endPat, false)};
  std::vector<uint64_t> all = want[0];
  all.insert(all.end(), want[1].begin(), want[1].end());
  std::sort(all.begin(), all.end());
  Reported got;
  CRecorder first(got, 0, all, kernel), second(got, 1, all, kernel);
  CPatternSearch search({{startPat.data(), startPat.size(), true, &first},
                         {endPat.data(), endPat.size(), false, &second}},
                        with);
  first.Watch(search);
  second.Watch(search);
  png_reference::Reads reads(sizes, n);
  for (size_t at = 0; at < n;) {
    const size_t piece = reads.Next(at);
    search.Feed(s + at, piece);
    at += piece;
    FUZZ_CHECK(search.Decided() + 15 >= at,
               "both patterns (%s): %zu bytes fed, only %" PRIu64 " decided", kernel, at,
               search.Decided());
  }
  // Each pattern's last positions are decided once the bytes they need
  // are there, as in the reference, so the stream's end leaves none out.
  for (int k = 0; k < 2; ++k)
    FUZZ_CHECK(got.of[k] == want[k],
               "both patterns (%s): pattern %d, %zu occurrences, reference %zu", kernel, k,
               got.of[k].size(), want[k].size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t flags = in.Byte();
  std::vector<uint8_t> startPat = png_reference::Signature();
  std::vector<uint8_t> endPat = png_reference::EndTag();
  if (flags & 1) {
    for (std::vector<uint8_t>* pat : {&startPat, &endPat}) {
      const size_t len = 1 + in.Byte() % 16;
      pat->clear();
      for (size_t k = 0; k < len; ++k) pat->push_back(in.Byte());
    }
  }
  std::vector<size_t> sizes((flags >> 1) & 7);
  for (size_t& s : sizes) s = in.U16();
  const uint8_t* s = in.Rest();
  const size_t n = in.Left();

  const COffsetTable want = png_reference::Scan(s, n, startPat, endPat);

  // Every byte-search kernel must give the reference's occurrences and table.
  png_reference::ForEachKernel([&](ScanKernel kernel) {
    CheckAlone(s, n, startPat, true, sizes, kernel);
    CheckAlone(s, n, endPat, false, sizes, kernel);
    CheckTogether(s, n, startPat, endPat, sizes, kernel);

    // The single pass the driver runs, in the same pieces (it knows only the
    // PNG patterns), checking between pieces that the table only grows.
    if (!(flags & 1)) {
      size_t seen = 0;
      const COffsetTable once = png_reference::LocateInReads(
          s, n, sizes, kernel,
          [&seen](const CPNGLocator& locator, const COffsetTable& table, size_t at) {
            FUZZ_CHECK(at != 0 || table.empty(), "the locator did not empty its table");
            FUZZ_CHECK(locator.StreamLength() == at,
                       "single pass: stream length %" PRIu64 " after %zu bytes",
                       locator.StreamLength(), at);
            FUZZ_CHECK(table.size() >= seen, "single pass: the table shrank");
            seen = table.size();
          });
      char how[64];
      std::snprintf(how, sizeof how, "single pass (%s)", png_reference::KernelName(kernel));
      Expect(once, want, how);
    }
  });

  // The pairing, offered the reference's markers in order (until every entry
  // has its end), gives its table.
  COffsetTable paired;
  for (uint64_t p : png_reference::Occurrences(s, n, startPat, true)) paired.push_back({p, kNoEnd});
  CEndPairing pairing(paired);
  for (uint64_t p : png_reference::Occurrences(s, n, endPat, false)) {
    if (pairing.AllPaired()) break;
    pairing.Offer(p);
  }
  Expect(paired, want, "pairing the reference's occurrences");

  // What the writer relies on: starts rise, a paired image holds at least
  // its tag and CRC, and paired ends rise.
  uint64_t lastEnd = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    FUZZ_CHECK(i == 0 || want[i].start > want[i - 1].start, "starts out of order");
    if (want[i].end == kNoEnd) continue;
    FUZZ_CHECK(want[i].end >= want[i].start + 8, "entry %zu is shorter than 8 bytes", i);
    FUZZ_CHECK(want[i].end > lastEnd || lastEnd == 0, "ends out of order");
    lastEnd = want[i].end;
  }
  return 0;
}
