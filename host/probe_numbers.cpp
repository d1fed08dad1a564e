// SPDX-License-Identifier: MIT
// The numbers of kelb-probe's rows: a partition's place in sectors and in
// bytes, exact past 64 bits, and its size in binary units.

#include "host/probe.h"

namespace kelb_probe {

namespace {

// A number of up to 96 bits, exact: a partition's byte positions (sectors
// times 512) and its end (start plus length) pass 64 bits on a hostile
// label. Limbs of 32 bits, lowest first, so that every step fits in 64.
struct wide {
  uint32_t limb[3] = {0, 0, 0};
};

wide wide_of(uint64_t v) {
  wide w;
  w.limb[0] = static_cast<uint32_t>(v);
  w.limb[1] = static_cast<uint32_t>(v >> 32);
  return w;
}

wide add(wide w, uint64_t v) {
  uint64_t carry = v;
  for (uint32_t &l : w.limb) {
    carry += l;
    l = static_cast<uint32_t>(carry);
    carry >>= 32;
  }
  return w;
}

wide times(wide w, uint32_t factor) {
  uint64_t carry = 0;
  for (uint32_t &l : w.limb) {
    carry += uint64_t{l} * factor;
    l = static_cast<uint32_t>(carry);
    carry >>= 32;
  }
  return w;
}

// w - 1, for a w that is not 0.
wide minus_one(wide w) {
  for (uint32_t &l : w.limb)
    if (l-- != 0) break;
  return w;
}

std::string decimal(wide w) {
  std::string digits;
  do {
    uint64_t rest = 0;
    for (int i = 2; i >= 0; i--) {
      const uint64_t cur = rest << 32 | w.limb[i];
      w.limb[i] = static_cast<uint32_t>(cur / 10);
      rest = cur % 10;
    }
    digits.insert(digits.begin(), static_cast<char>('0' + rest));
  } while (w.limb[0] | w.limb[1] | w.limb[2]);
  return digits;
}

const uint32_t kSectorBytes = 512;

}  // namespace

extent extent_of(const kelb_partition &p) {
  extent e;
  e.start = std::to_string(p.start);
  e.length = std::to_string(p.length);
  e.start_byte = decimal(times(wide_of(p.start), kSectorBytes));
  e.length_bytes = decimal(times(wide_of(p.length), kSectorBytes));
  const wide past = add(wide_of(p.start), p.length);  // the first sector after it
  e.end = p.length ? decimal(minus_one(past)) : "-";
  e.end_byte = p.length ? decimal(minus_one(times(past, kSectorBytes))) : "-";
  return e;
}

std::string human_size(uint64_t sectors) {
  static const char kUnits[] = "BKMGTPEZ";
  // Bytes are sectors * 2^9: the unit 2^(10u) holds at least 1 when
  // sectors >= 2^(10u - 9).
  int unit = 0;
  while (unit < 7 && 10 * (unit + 1) - 9 < 64 && (sectors >> (10 * (unit + 1) - 9)) != 0) unit++;
  if (unit == 0) return std::to_string(sectors * kSectorBytes) + "B";
  const int shift = 10 * unit - 9;
  uint64_t whole = sectors >> shift;
  const uint64_t frac = sectors & ((uint64_t{1} << shift) - 1);
  // (frac * 1000) >> shift, exact, in wide arithmetic.
  wide w = times(wide_of(frac), 1000);
  uint64_t thousandths = 0;
  for (int bit = shift; bit < shift + 10; bit++)  // frac < 2^shift: below 1000 << shift
    if ((w.limb[bit / 32] >> (bit % 32)) & 1) thousandths |= uint64_t{1} << (bit - shift);
  uint64_t tenth = (thousandths + 50) / 100;
  if (tenth == 10) {
    whole++;
    tenth = 0;
  }
  std::string text = std::to_string(whole);
  if (tenth) {
    text += '.';
    text += static_cast<char>('0' + tenth);
  }
  return text + kUnits[unit];
}

}  // namespace kelb_probe
