// SPDX-License-Identifier: MIT
#include "tool/png_scan_kernels.h"

#include "tool/png_scan.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if (defined(__x86_64__) || defined(_M_X64)) && defined(__GNUC__)
#include <immintrin.h>
#define LUMVANE_SCAN_X86_64 1
#endif

namespace png_scan_kernels {
namespace {

inline bool IsCandidate(const unsigned char* p, const CandidateTest& t) {
  return (p[0] == t.first[0] && p[t.distance[0]] == t.second[0]) ||
         (p[0] == t.first[1] && p[t.distance[1]] == t.second[1]);
}

// Byte by byte: the tails the wider kernels leave, and where a candidate is
// within a word.
size_t FindBytes(const unsigned char* buf, size_t i, size_t end, const CandidateTest& t) {
  for (; i < end; ++i)
    if (IsCandidate(buf + i, t)) return i;
  return end;
}

// A machine word at a time. Each byte lane is tested on its own (no carry
// crosses lanes), so the test holds in either byte order; where a word holds
// a candidate, the bytes find which.
using Word = std::conditional_t<sizeof(void*) >= 8, uint64_t, uint32_t>;
constexpr Word kOnes = ~Word{0} / 0xFF;
constexpr Word kLow7 = kOnes * 0x7F;

inline Word Load(const unsigned char* p) {
  Word w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// 0x80 in every byte of v that is zero, 0 in every other.
inline Word ZeroBytes(Word v) { return ~(((v & kLow7) + kLow7) | v | kLow7); }

size_t FindPortable(const unsigned char* buf, size_t i, size_t end, const CandidateTest& t) {
  const Word a0 = kOnes * t.first[0], b0 = kOnes * t.second[0];
  const Word a1 = kOnes * t.first[1], b1 = kOnes * t.second[1];
  const size_t d0 = t.distance[0], d1 = t.distance[1];
  const auto hits = [&](const unsigned char* p) {
    const Word x = Load(p);
    return (ZeroBytes(x ^ a0) & ZeroBytes(Load(p + d0) ^ b0)) |
           (ZeroBytes(x ^ a1) & ZeroBytes(Load(p + d1) ^ b1));
  };
  // Two words per step, so that one branch serves both.
  constexpr size_t kStep = 2 * sizeof(Word);
  for (; end - i >= kStep; i += kStep)
    if ((hits(buf + i) | hits(buf + i + sizeof(Word))) != 0) break;
  return FindBytes(buf, i, end, t);
}

#ifdef LUMVANE_SCAN_X86_64

__attribute__((always_inline)) inline unsigned Mask16(const unsigned char* p, __m128i a0,
                                                      __m128i b0, size_t d0, __m128i a1, __m128i b1,
                                                      size_t d1) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i y0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + d0));
  const __m128i y1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + d1));
  const __m128i m0 = _mm_and_si128(_mm_cmpeq_epi8(x, a0), _mm_cmpeq_epi8(y0, b0));
  const __m128i m1 = _mm_and_si128(_mm_cmpeq_epi8(x, a1), _mm_cmpeq_epi8(y1, b1));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(m0, m1)));
}

size_t FindSSE2(const unsigned char* buf, size_t i, size_t end, const CandidateTest& t) {
  const __m128i a0 = _mm_set1_epi8(static_cast<char>(t.first[0]));
  const __m128i b0 = _mm_set1_epi8(static_cast<char>(t.second[0]));
  const __m128i a1 = _mm_set1_epi8(static_cast<char>(t.first[1]));
  const __m128i b1 = _mm_set1_epi8(static_cast<char>(t.second[1]));
  const size_t d0 = t.distance[0], d1 = t.distance[1];
  for (; end - i >= 32; i += 32) {
    const unsigned char* p = buf + i;
    const unsigned m = Mask16(p, a0, b0, d0, a1, b1, d1) | Mask16(p + 16, a0, b0, d0, a1, b1, d1)
                                                               << 16;
    if (m != 0) return i + static_cast<size_t>(std::countr_zero(m));
  }
  return FindBytes(buf, i, end, t);
}

// The AVX2 code is compiled for AVX2 alone (the rest of the program keeps
// the build's baseline) and runs only where the processor has it. Its
// vectors stay in registers: no 32-byte value is passed or spilled, which
// the Windows ABI's 16-byte stack alignment would not allow.
#define LUMVANE_AVX2 __attribute__((target("avx2")))

LUMVANE_AVX2 __attribute__((always_inline)) inline uint64_t Mask32(const unsigned char* p,
                                                                   __m256i a0, __m256i b0,
                                                                   size_t d0, __m256i a1,
                                                                   __m256i b1, size_t d1) {
  const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i y0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + d0));
  const __m256i y1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + d1));
  const __m256i m0 = _mm256_and_si256(_mm256_cmpeq_epi8(x, a0), _mm256_cmpeq_epi8(y0, b0));
  const __m256i m1 = _mm256_and_si256(_mm256_cmpeq_epi8(x, a1), _mm256_cmpeq_epi8(y1, b1));
  return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(m0, m1)));
}

LUMVANE_AVX2 size_t FindAVX2(const unsigned char* buf, size_t i, size_t end,
                             const CandidateTest& t) {
  const __m256i a0 = _mm256_set1_epi8(static_cast<char>(t.first[0]));
  const __m256i b0 = _mm256_set1_epi8(static_cast<char>(t.second[0]));
  const __m256i a1 = _mm256_set1_epi8(static_cast<char>(t.first[1]));
  const __m256i b1 = _mm256_set1_epi8(static_cast<char>(t.second[1]));
  const size_t d0 = t.distance[0], d1 = t.distance[1];
  for (; end - i >= 64; i += 64) {
    const unsigned char* p = buf + i;
    const uint64_t m = Mask32(p, a0, b0, d0, a1, b1, d1) | Mask32(p + 32, a0, b0, d0, a1, b1, d1)
                                                               << 32;
    if (m != 0) return i + static_cast<size_t>(std::countr_zero(m));
  }
  _mm256_zeroupper();
  return FindSSE2(buf, i, end, t);
}

bool HasAVX2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

#endif  // LUMVANE_SCAN_X86_64

}  // namespace

FindFn KernelFind(ScanKernel kernel) {
  switch (kernel) {
    case ScanKernel::kPortable:
      return FindPortable;
#ifdef LUMVANE_SCAN_X86_64
    case ScanKernel::kSSE2:
      return FindSSE2;
    case ScanKernel::kAVX2:
      return HasAVX2() ? FindAVX2 : nullptr;
#endif
    default:
      return nullptr;
  }
}

}  // namespace png_scan_kernels

bool HasScanKernel(ScanKernel kernel) { return png_scan_kernels::KernelFind(kernel) != nullptr; }

ScanKernel BestScanKernel() {
  static const ScanKernel best = [] {
    for (ScanKernel k : {ScanKernel::kAVX2, ScanKernel::kSSE2})
      if (HasScanKernel(k)) return k;
    return ScanKernel::kPortable;
  }();
  return best;
}
