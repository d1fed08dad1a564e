// SPDX-License-Identifier: MIT
// The reference scanner: the locator's rules (stated in tool/png_scan.h)
// written plainly, for the scanning core's tests and its fuzz target: one
// position at a time over the whole input held in memory, with none of the
// core's tricks (pair search, window over read boundaries, single pass).
// Also the cutting of a stream into reads of given sizes, the
// core's search and single pass fed in such reads, and a run of the same
// check with each byte-search kernel. Needs only png_scan.h (no test
// framework), so that the fuzz build can include it.
#pragma once

#include "tool/png_scan.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace png_reference {

inline bool Occurs(const uint8_t* s, uint64_t n, uint64_t p, const std::vector<uint8_t>& pat) {
  if (p + pat.size() > n) return false;
  for (size_t k = 0; k < pat.size(); ++k)
    if (s[p + k] != pat[k]) return false;
  return true;
}

inline std::vector<uint8_t> Signature() {
  return {kPNGSignature, kPNGSignature + sizeof kPNGSignature};
}
inline std::vector<uint8_t> EndTag() { return {kIENDTag, kIENDTag + sizeof kIENDTag}; }

// Every occurrence of pat in the n bytes at s that counts in the given mode,
// in order.
inline std::vector<uint64_t> Occurrences(const uint8_t* s, uint64_t n,
                                         const std::vector<uint8_t>& pat, bool startMode) {
  const std::vector<uint8_t> ihdr = {'I', 'H', 'D', 'R'};
  std::vector<uint64_t> found;
  for (uint64_t p = 0; p < n;) {
    if (!Occurs(s, n, p, pat)) {
      ++p;
      continue;
    }
    const bool counts =
        startMode ? Occurs(s, n, p + 12, ihdr)
                  : p >= 4 && s[p - 4] == 0 && s[p - 3] == 0 && s[p - 2] == 0 && s[p - 1] == 0;
    if (counts) found.push_back(p);
    p += 9;
  }
  return found;
}

// Runs f(kernel) once with each byte-search kernel this build and processor
// have (portable always; SSE2 on x86-64; AVX2 where the processor has it), in
// that order: the last is the fastest.
template <class F>
void ForEachKernel(F f) {
  for (ScanKernel k : {ScanKernel::kPortable, ScanKernel::kSSE2, ScanKernel::kAVX2})
    if (HasScanKernel(k)) f(k);
}

// "portable", "sse2" or "avx2".
inline const char* KernelName(ScanKernel kernel) {
  switch (kernel) {
    case ScanKernel::kPortable:
      return "portable";
    case ScanKernel::kSSE2:
      return "sse2";
    case ScanKernel::kAVX2:
      return "avx2";
  }
  return "unknown";
}

// The table the rules give for the n bytes at s, with startPat for the
// signature and endPat for the end tag: start mode, then end mode.
inline COffsetTable Scan(const uint8_t* s, uint64_t n,
                         const std::vector<uint8_t>& startPat = Signature(),
                         const std::vector<uint8_t>& endPat = EndTag()) {
  constexpr uint64_t kAdvance = 9;
  const std::vector<uint8_t> ihdr = {'I', 'H', 'D', 'R'};
  COffsetTable t;
  for (uint64_t p = 0; p < n;) {
    if (!Occurs(s, n, p, startPat)) {
      ++p;
      continue;
    }
    if (Occurs(s, n, p + 12, ihdr)) t.push_back({p, kNoEnd});
    p += kAdvance;
  }
  size_t waiting = 0;
  for (uint64_t p = 0; p < n && waiting < t.size();) {
    if (!Occurs(s, n, p, endPat)) {
      ++p;
      continue;
    }
    const bool marker = p >= 4 && s[p - 4] == 0 && s[p - 3] == 0 && s[p - 2] == 0 && s[p - 1] == 0;
    if (marker && p >= t[waiting].start) {
      const uint64_t e = p + 8;
      while (waiting + 1 < t.size() && e > t[waiting + 1].start) ++waiting;
      if (p >= t[waiting].start) {
        t[waiting].end = e;
        ++waiting;
      }
    }
    p += kAdvance;
  }
  return t;
}

// Cuts a stream of n bytes into reads of the given sizes, in turn: a size of
// 0 is an empty read; no sizes, one read of everything. Sizes that are all 0
// give the rest at once after one round, so that the stream always ends.
class Reads {
 public:
  Reads(const std::vector<size_t>& sizes, size_t n) : m_sizes(sizes), m_n(n) {}

  // The length of the next read from `at`.
  size_t Next(size_t at) {
    size_t piece = m_sizes.empty() ? m_n : m_sizes[m_k++ % m_sizes.size()];
    m_zeroRun = piece == 0 ? m_zeroRun + 1 : 0;
    if (m_zeroRun > m_sizes.size() || piece > m_n - at) piece = m_n - at;
    return piece;
  }

 private:
  const std::vector<size_t>& m_sizes;
  size_t m_n, m_k = 0, m_zeroRun = 0;
};

// The single pass with the given byte-search kernel over the n bytes at s
// in reads of the given sizes (as Reads cuts them), then Finish; returns the
// table. The locator starts from a table that is not empty, which it must
// empty. afterRead, if set, is called once the locator is made (at 0) and
// after each read with the locator, its table and the bytes fed so far.
inline COffsetTable LocateInReads(
    const uint8_t* s, size_t n, const std::vector<size_t>& sizes, ScanKernel kernel,
    const std::function<void(const CPNGLocator&, const COffsetTable&, size_t)>& afterRead = {}) {
  COffsetTable t{{1, 2}};
  CPNGLocator locator(t, kernel);
  if (afterRead) afterRead(locator, t, 0);
  Reads reads(sizes, n);
  for (size_t at = 0; at < n;) {
    const size_t piece = reads.Next(at);
    locator.Feed(s + at, piece);
    at += piece;
    if (afterRead) afterRead(locator, t, at);
  }
  locator.Finish();
  return t;
}

// What a search for one pattern alone, with the given byte-search kernel,
// reports over the n bytes at s in reads of the given sizes (as Reads cuts
// them): every occurrence, in order, and the search's count of the bytes
// fed.
struct SearchedAlone {
  std::vector<uint64_t> found;
  uint64_t streamLength;
};
inline SearchedAlone SearchInReads(const uint8_t* s, size_t n, const std::vector<size_t>& sizes,
                                   ScanKernel kernel, const std::vector<uint8_t>& pat,
                                   bool startMode) {
  struct Sink : CPatternSearch::CSink {
    std::vector<uint64_t> found;
    void Found(uint64_t p) override { found.push_back(p); }
  } sink;
  CPatternSearch search({{pat.data(), pat.size(), startMode, &sink}}, kernel);
  Reads reads(sizes, n);
  for (size_t at = 0; at < n;) {
    const size_t piece = reads.Next(at);
    search.Feed(s + at, piece);
    at += piece;
  }
  return {sink.found, search.StreamLength()};
}

}  // namespace png_reference
