// SPDX-License-Identifier: MIT
#include "tool/png_scan.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr unsigned char kIHDRTag[4] = {'I', 'H', 'D', 'R'};
constexpr size_t kIHDROffset = 12;  // type of the first chunk, from the signature's first byte
constexpr size_t kIHDRSpan = kIHDROffset + sizeof kIHDRTag;

}  // namespace

CPatternSearch::CPatternSearch(std::initializer_list<Pattern> patterns, ScanKernel kernel)
    : m_count(std::min(patterns.size(), kMaxPatterns)),
      m_test{},
      m_find(png_scan_kernels::KernelFind(kernel)) {
  for (size_t k = 0; k < m_count; ++k) {
    const Pattern& from = patterns.begin()[k];
    Searched& s = m_patterns[k];
    s.length = std::clamp<size_t>(from.length, 1, sizeof s.bytes);
    std::memcpy(s.bytes, from.bytes, s.length);
    s.startMode = from.startMode;
    s.span = s.startMode ? std::max(s.length, kIHDRSpan) : s.length;
    s.sink = from.sink;
  }
  for (size_t k = 0; k < kMaxPatterns && m_count > 0; ++k) {
    // A search for one pattern tests it in both slots of the kernel. The
    // first and last bytes: inputs rich in the first byte (text full of 'I',
    // runs of 0x89) or in partial patterns ("IEN", a signature with a bad
    // last byte) then rarely stop the search.
    const Searched& s = m_patterns[k < m_count ? k : 0];
    m_test.first[k] = s.bytes[0];
    m_test.second[k] = s.bytes[s.length - 1];
    m_test.distance[k] = s.length - 1;
    m_reach = std::max(m_reach, s.length - 1);
  }
}

uint64_t CPatternSearch::Decided() const {
  uint64_t decided = ~uint64_t{0};
  for (size_t k = 0; k < m_count; ++k)
    decided = std::min(decided, std::max(m_patterns[k].scanned, m_patterns[k].next));
  return decided;
}

void CPatternSearch::Feed(const void* data, size_t n) {
  const auto* d = static_cast<const unsigned char*>(data);
  const uint64_t base = m_length;
  const uint64_t length = base + n;
  if (n == 0) return;

  // Each pattern's positions below its limit have all the bytes a decision
  // on it looks at.
  bool straddles = false;
  for (size_t k = 0; k < m_count; ++k) {
    Searched& s = m_patterns[k];
    s.decidable = length >= s.span ? length - s.span + 1 : 0;
    straddles |= s.scanned < s.decidable && s.scanned < base + kLookBehind;
  }

  // Positions whose bytes straddle the previous pieces and this one (and
  // the first few of this piece, whose length field lies before it) are
  // tried on a small window: the kept tail followed by the head of the
  // piece. Every byte such a position looks at lies in the window: it is at
  // most kLookBehind + span - 1 bytes from the end of the tail.
  if (straddles) {
    unsigned char window[2 * kTailSize];
    const size_t head = std::min(n, kTailSize);
    std::memcpy(window, m_tail, m_tailLength);
    std::memcpy(window + m_tailLength, d, head);
    ScanRange(window, base - m_tailLength, base + head, base + kLookBehind);
  }

  // Everything else is tried in place: the hot loop.
  ScanRange(d, base, length, length);

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

bool CPatternSearch::Counts(const Searched& s, const unsigned char* p, uint64_t at) {
  if (s.startMode) return std::memcmp(p + kIHDROffset, kIHDRTag, sizeof kIHDRTag) == 0;
  if (at < kLookBehind) return false;
  static constexpr unsigned char kZeroLength[kLookBehind] = {};
  return std::memcmp(p - kLookBehind, kZeroLength, kLookBehind) == 0;
}

void CPatternSearch::TryAt(const unsigned char* p, uint64_t at) {
  for (size_t k = 0; k < m_count; ++k) {
    Searched& s = m_patterns[k];
    if (at < s.scanned || at >= s.limit || at < s.next || std::memcmp(p, s.bytes, s.length) != 0)
      continue;
    s.next = at + kAdvance;
    if (!Counts(s, p, at)) continue;
    // Every pattern is decided below at (as far as its bytes allow) before
    // the sink hears of it.
    for (size_t j = 0; j < m_count; ++j)
      m_patterns[j].scanned = std::max(m_patterns[j].scanned, std::min(at, m_patterns[j].limit));
    s.sink->Found(at);
  }
}

void CPatternSearch::ScanRange(const unsigned char* buf, uint64_t bufBase, uint64_t bufEnd,
                               uint64_t cap) {
  // Each pattern is tried over [scanned, limit); the search runs over the
  // union of those ranges.
  uint64_t from = ~uint64_t{0}, to = 0;
  for (size_t k = 0; k < m_count; ++k) {
    Searched& s = m_patterns[k];
    s.limit = std::min(s.decidable, cap);
    if (s.scanned >= s.limit) continue;
    from = std::min(from, s.scanned);
    to = std::max(to, s.limit);
  }
  if (from < to) {
    size_t i = static_cast<size_t>(from - bufBase);
    const size_t end = static_cast<size_t>(to - bufBase);
    // The kernel reads m_reach bytes past each position; the last few
    // positions, where that would run past the bytes at hand, are tried one
    // by one.
    const size_t avail = static_cast<size_t>(bufEnd - bufBase);
    const size_t fast = std::max(i, std::min(end, avail > m_reach ? avail - m_reach : 0));
    for (;;) {
      i = m_find(buf, i, fast, m_test);
      if (i == fast) break;
      TryAt(buf + i, bufBase + i);
      ++i;
    }
    for (; i < end; ++i) TryAt(buf + i, bufBase + i);
  }
  for (size_t k = 0; k < m_count; ++k)
    m_patterns[k].scanned = std::max(m_patterns[k].scanned, m_patterns[k].limit);
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

CPNGLocator::CPNGLocator(COffsetTable& table, ScanKernel kernel)
    : m_table(table),
      m_startSink(table),
      m_search({{kPNGSignature, sizeof kPNGSignature, true, &m_startSink},
                {kIENDTag, sizeof kIENDTag, false, this}},
               kernel),
      m_pairing(table) {
  m_table.clear();
  m_kept.reserve(4);
}

void CPNGLocator::CStarts::Found(uint64_t p) { m_table.push_back({p, kNoEnd}); }

void CPNGLocator::Feed(const void* data, size_t n) {
  if (m_finished) return;
  // Each marker waits for the starts up to 7 bytes past its tag (a start
  // there decides whom the marker ends); the last few wait for the next
  // piece.
  m_search.Feed(data, n);
  PairKept(false);
}

void CPNGLocator::Found(uint64_t p) {
  PairKept(false);
  if (m_kept.empty() && p + CEndPairing::kEndAfterTag <= m_search.Decided())
    m_pairing.Offer(p);
  else
    m_kept.push_back(p);
}

void CPNGLocator::PairKept(bool final) {
  size_t k = 0;
  while (k < m_kept.size() &&
         (final || m_kept[k] + CEndPairing::kEndAfterTag <= m_search.Decided()))
    m_pairing.Offer(m_kept[k++]);
  m_kept.erase(m_kept.begin(), m_kept.begin() + static_cast<std::ptrdiff_t>(k));
}

void CPNGLocator::Finish() {
  if (m_finished) return;
  // No start can follow: every kept marker has all it needs.
  PairKept(true);
  m_finished = true;
}
