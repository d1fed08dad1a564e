// SPDX-License-Identifier: MIT
#include "tool/png_scan.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define LUMVANE_SCAN_SSE2 1
#endif

namespace {

constexpr unsigned char kIHDRTag[4] = {'I', 'H', 'D', 'R'};
constexpr size_t kIHDROffset = 12;  // type of the first chunk, from the signature's first byte
constexpr size_t kIHDRSpan = kIHDROffset + sizeof kIHDRTag;

// The first i in [i, end) where buf[i] == a and buf[i + lastAt] == b, or
// end; buf[end - 1 + lastAt] must be readable. Testing the pattern's first
// and last bytes at once keeps inputs rich in the first byte (text full of
// 'I', runs of 0x89) or in partial patterns ("IEN", a signature with a bad
// last byte) from stopping the search at each of them.
size_t FindCandidate(const unsigned char* buf, size_t i, size_t end, unsigned char a,
                     unsigned char b, size_t lastAt) {
#ifdef LUMVANE_SCAN_SSE2
  const __m128i va = _mm_set1_epi8(static_cast<char>(a));
  const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
  for (; end - i >= 32; i += 32) {
    const unsigned char* p = buf + i;
    const unsigned char* q = p + lastAt;
    const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i y0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i y1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 16));
    const unsigned m0 = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(x0, va), _mm_cmpeq_epi8(y0, vb))));
    const unsigned m1 = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(x1, va), _mm_cmpeq_epi8(y1, vb))));
    const unsigned m = m0 | (m1 << 16);
    if (m != 0) return i + static_cast<size_t>(std::countr_zero(m));
  }
#endif
  while (i < end) {
    const void* hit = std::memchr(buf + i, a, end - i);
    if (hit == nullptr) return end;
    i = static_cast<size_t>(static_cast<const unsigned char*>(hit) - buf);
    if (buf[i + lastAt] == b) return i;
    ++i;
  }
  return end;
}

}  // namespace

CPatternSearch::CPatternSearch(const unsigned char* pattern, size_t patternLength, bool startMode,
                               CSink& sink)
    : m_patternLength(std::clamp<size_t>(patternLength, 1, sizeof m_pattern)),
      m_startMode(startMode),
      m_sink(sink) {
  std::memcpy(m_pattern, pattern, m_patternLength);
  m_span = m_startMode ? std::max(m_patternLength, kIHDRSpan) : m_patternLength;
}

void CPatternSearch::Feed(const void* data, size_t n) {
  const auto* d = static_cast<const unsigned char*>(data);
  const uint64_t base = m_length;
  const uint64_t length = base + n;
  if (m_ended || n == 0) {
    m_length = length;
    return;
  }

  // Positions below this have all the bytes a decision looks at.
  const uint64_t decidable = length >= m_span ? length - m_span + 1 : 0;

  // Positions whose bytes straddle the previous pieces and this one (and
  // the first few of this piece, whose length field lies before it) are
  // tried on a small window: the kept tail followed by the head of the
  // piece. Every byte such a position looks at lies in the window: it is at
  // most kLookBehind + m_span - 1 bytes from the end of the tail.
  if (m_next < decidable && m_next < base + kLookBehind) {
    unsigned char window[2 * kTailSize];
    const size_t head = std::min(n, kTailSize);
    std::memcpy(window, m_tail, m_tailLength);
    std::memcpy(window + m_tailLength, d, head);
    ScanRange(window, base - m_tailLength, m_next, std::min(decidable, base + kLookBehind));
  }

  // Everything else is tried in place: the hot loop.
  if (!m_ended) {
    const uint64_t from = std::max(m_next, base + kLookBehind);
    if (from < decidable) ScanRange(d, base, from, decidable);
  }

  // Keep the last bytes of the stream for the next piece.
  if (n >= kTailSize) {
    std::memcpy(m_tail, d + n - kTailSize, kTailSize);
    m_tailLength = kTailSize;
  } else {
    const size_t keep = std::min(m_tailLength, kTailSize - n);
    std::memmove(m_tail, m_tail + m_tailLength - keep, keep);
    std::memcpy(m_tail + keep, d, n);
    m_tailLength = keep + n;
  }
  m_length = length;
}

void CPatternSearch::ScanRange(const unsigned char* buf, uint64_t bufBase, uint64_t from,
                               uint64_t to) {
  size_t i = static_cast<size_t>(from - bufBase);
  const size_t end = static_cast<size_t>(to - bufBase);
  const unsigned char first = m_pattern[0];

  while (i < end) {
    if (m_patternLength >= 2) {
      i = FindCandidate(buf, i, end, first, m_pattern[m_patternLength - 1], m_patternLength - 1);
    } else {
      const void* hit = std::memchr(buf + i, first, end - i);
      i = hit ? static_cast<size_t>(static_cast<const unsigned char*>(hit) - buf) : end;
    }
    if (i == end) break;
    const unsigned char* p = buf + i;
    if (std::memcmp(p, m_pattern, m_patternLength) != 0) {
      ++i;
      continue;
    }
    const uint64_t at = bufBase + i;
    bool counts;
    if (m_startMode) {
      counts = std::memcmp(p + kIHDROffset, kIHDRTag, sizeof kIHDRTag) == 0;
    } else {
      uint32_t chunkLength = 1;
      if (at >= kLookBehind) std::memcpy(&chunkLength, p - kLookBehind, sizeof chunkLength);
      counts = chunkLength == 0;
    }
    if (counts && !m_sink.Found(at)) {
      m_ended = true;
      return;
    }
    i += kAdvance;
  }
  m_next = bufBase + i;
}

void CEndPairing::Offer(uint64_t p) {
  const size_t count = m_table.size();
  // A tag that begins before the waiting image is no part of it, even when
  // its chunk ends at or past that image's start: it is the end of the
  // bytes before it (an image whose signature was damaged, or whose own
  // marker came early), and taking it would cut every image after it.
  if (m_waiting >= count || p < m_table[m_waiting].start) return;
  // A marker that reaches past the next image's start belongs to a later
  // image: the waiting entry stays unpaired, and the next one takes the
  // marker only if its tag lies within that image too.
  const uint64_t e = p + kEndAfterTag;
  while (m_waiting + 1 < count && e > m_table[m_waiting + 1].start) ++m_waiting;
  if (p >= m_table[m_waiting].start) {
    m_table[m_waiting].end = e;
    ++m_waiting;
  }
}

CPNGScanner::CPNGScanner(const unsigned char* pattern, size_t patternLength, int recordStarts,
                         COffsetTable& table)
    : m_startMode(recordStarts != 0),
      m_table(table),
      m_pairing(table),
      m_search(pattern, patternLength, recordStarts != 0, *this) {
  // End mode on an empty table has nothing to pair.
  if (!m_startMode && m_table.empty()) m_search.End();
}

bool CPNGScanner::Feed(const void* data, size_t n) {
  m_search.Feed(data, n);
  return WantsMore();
}

bool CPNGScanner::Found(uint64_t p) {
  if (m_startMode) {
    m_table.push_back({p, kNoEnd});
    return true;
  }
  m_pairing.Offer(p);
  return !m_pairing.AllPaired();
}

CPNGLocator::CPNGLocator(COffsetTable& table)
    : m_table(table),
      m_startSink(table),
      m_starts(kPNGSignature, sizeof kPNGSignature, true, m_startSink),
      m_markers(kIENDTag, sizeof kIENDTag, false, *this),
      m_pairing(table) {
  m_table.clear();
  m_kept.reserve(4);
}

bool CPNGLocator::CStarts::Found(uint64_t p) {
  m_table.push_back({p, kNoEnd});
  return true;
}

void CPNGLocator::Feed(const void* data, size_t n) {
  if (m_finished) return;
  // The starts first: every marker of this piece then finds the starts
  // before it in the table, but for the last few, which wait for the next
  // piece (a start up to 7 bytes past a tag decides whom the marker ends).
  m_starts.Feed(data, n);
  m_markers.Feed(data, n);
  PairKept(false);
}

bool CPNGLocator::Found(uint64_t p) {
  PairKept(false);
  if (m_kept.empty() && p + CEndPairing::kEndAfterTag <= m_starts.Decided())
    m_pairing.Offer(p);
  else
    m_kept.push_back(p);
  return true;
}

void CPNGLocator::PairKept(bool final) {
  size_t k = 0;
  while (k < m_kept.size() &&
         (final || m_kept[k] + CEndPairing::kEndAfterTag <= m_starts.Decided()))
    m_pairing.Offer(m_kept[k++]);
  m_kept.erase(m_kept.begin(), m_kept.begin() + static_cast<std::ptrdiff_t>(k));
}

void CPNGLocator::Finish() {
  if (m_finished) return;
  // No start can follow: every kept marker has all it needs.
  PairKept(true);
  m_finished = true;
}

void ScanBuffer(const void* data, size_t n, const unsigned char* pattern, size_t patternLength,
                int recordStarts, COffsetTable& table) {
  CPNGScanner scanner(pattern, patternLength, recordStarts, table);
  scanner.Feed(data, n);
}

void LocatePNGs(const void* data, size_t n, COffsetTable& table) {
  table.clear();
  ScanBuffer(data, n, kPNGSignature, sizeof kPNGSignature, 1, table);
  ScanBuffer(data, n, kIENDTag, sizeof kIENDTag, 0, table);
}

void LocatePNGsOnce(const void* data, size_t n, COffsetTable& table) {
  CPNGLocator locator(table);
  locator.Feed(data, n);
  locator.Finish();
}
