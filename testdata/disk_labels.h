// SPDX-License-Identifier: MIT
// Builders of the disk labels the partition-map modules read, shared by the
// sample-disk writers and the tests: byte-order stores into a disk held in
// memory, a Sun label with its checksum, an ADFS boot block with its
// checksum and the Linux partition map it points at, an Amiga rigid disk
// block with its chain of partition blocks, and Apple partition map entries.
// Every store is bounds-checked (std::vector::at). The partition-map fuzz
// seeds are built with them too (make_seeds.cpp).
#ifndef TESTDATA_DISK_LABELS_H
#define TESTDATA_DISK_LABELS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelb_label {

inline void Put16BE(std::vector<uint8_t> &b, size_t at, uint16_t v) {
  b.at(at) = static_cast<uint8_t>(v >> 8);
  b.at(at + 1) = static_cast<uint8_t>(v);
}
inline void Put32BE(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  Put16BE(b, at, static_cast<uint16_t>(v >> 16));
  Put16BE(b, at + 2, static_cast<uint16_t>(v));
}
inline void Put16LE(std::vector<uint8_t> &b, size_t at, uint16_t v) {
  b.at(at) = static_cast<uint8_t>(v);
  b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}
inline void Put32LE(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  Put16LE(b, at, static_cast<uint16_t>(v));
  Put16LE(b, at + 2, static_cast<uint16_t>(v >> 16));
}
inline uint32_t Get32BE(const std::vector<uint8_t> &b, size_t at) {
  return (uint32_t(b.at(at)) << 24) | (uint32_t(b.at(at + 1)) << 16) |
         (uint32_t(b.at(at + 2)) << 8) | uint32_t(b.at(at + 3));
}

// ---- Sun: one label in sector 0 ---------------------------------------------

struct SunEntry {
  uint8_t type;
  uint32_t start_cyl;
  uint32_t sectors;
};

// A Sun label of the given geometry and eight entries (all unused until
// Entry sets them), with its magic and a correct checksum word.
class SunLabel {
 public:
  explicit SunLabel(uint16_t tracks = 16, uint16_t sectors_per_track = 63)
      : tracks_(tracks), spt_(sectors_per_track) {}

  SunLabel &Entry(unsigned i, uint8_t type, uint32_t start_cyl, uint32_t sectors) {
    entries_[i] = SunEntry{type, start_cyl, sectors};
    return *this;
  }

  // The label in sector 0 of a disk of `disk_sectors` zeroed sectors.
  std::vector<uint8_t> Bytes(size_t disk_sectors = 4) const {
    std::vector<uint8_t> b(disk_sectors * 512, 0);
    Put16BE(b, 436, tracks_);
    Put16BE(b, 438, spt_);
    for (unsigned i = 0; i < 8; i++) {
      b.at(143 + 4 * i) = entries_[i].type;
      Put32BE(b, 444 + 8 * i, entries_[i].start_cyl);
      Put32BE(b, 448 + 8 * i, entries_[i].sectors);
    }
    Put16BE(b, 508, 0xDABE);
    FixChecksum(b);
    return b;
  }

  // Sets the checksum word (bytes 510-511) so that the XOR of the label's
  // 256 big-endian words is 0.
  static void FixChecksum(std::vector<uint8_t> &b) {
    uint16_t x = 0;
    for (size_t i = 0; i < 510; i += 2) x ^= static_cast<uint16_t>((b.at(i) << 8) | b.at(i + 1));
    Put16BE(b, 510, x);
  }

 private:
  uint16_t tracks_, spt_;
  SunEntry entries_[8] = {};
};

// ---- Acorn: an ADFS boot block in sector 6, a Linux partition map ------------

constexpr size_t kAcornBoot = 6 * 512;
constexpr uint32_t kAcornLinux = 0xDEAFA1DE, kAcornSwap = 0xDEAFAB1E;

// The boot block checksum: each of bytes 0-510 added with the carry of the
// previous addition folded back in; the last carry is dropped.
inline uint8_t AcornBootChecksum(const uint8_t *boot) {
  unsigned sum = 0;
  for (size_t i = 0; i < 511; i++) sum = (sum & 0xFF) + (sum >> 8) + boot[i];
  return static_cast<uint8_t>(sum);
}

// A disc of `sectors` zeroed sectors with a boot block whose geometry
// (sectors per track, heads, bit 6 of byte 456 for one head more) and start
// cylinder place the map, and whose flags byte says what it is (0x09: a
// Linux partition map). Entry and Seal keep the checksum correct; a change
// made through Boot() needs Seal().
class AcornDisk {
 public:
  AcornDisk(size_t sectors, uint8_t per_track, uint8_t heads, bool extra_head, uint16_t cylinder,
            uint8_t flags = 0x09)
      : b_(sectors * 512, 0) {
    b_.at(kAcornBoot + 449) = per_track;
    b_.at(kAcornBoot + 450) = heads;
    b_.at(kAcornBoot + 456) = extra_head ? 0x40 : 0;
    b_.at(kAcornBoot + 508) = flags;
    Put16LE(b_, kAcornBoot + 509, cylinder);
    map_sector_ = size_t(cylinder) * per_track * (heads + (extra_head ? 1 : 0));
    Seal();
  }

  // Entry `i` of the map: its magic (in use: kAcornLinux or kAcornSwap),
  // start (counted from the map's sector) and size.
  AcornDisk &Entry(unsigned i, uint32_t magic, uint32_t start, uint32_t size) {
    const size_t at = map_sector_ * 512 + 12 * i;
    Put32LE(b_, at, magic);
    Put32LE(b_, at + 4, start);
    Put32LE(b_, at + 8, size);
    Seal();
    return *this;
  }

  void Seal() { b_.at(kAcornBoot + 511) = AcornBootChecksum(Boot()); }
  std::vector<uint8_t> &Bytes() { return b_; }
  uint8_t *Boot() { return b_.data() + kAcornBoot; }

 private:
  std::vector<uint8_t> b_;
  size_t map_sector_;
};

// ---- Amiga: a rigid disk block and partition blocks placed by hand -----------

constexpr uint32_t kAmigaEnd = 0xFFFFFFFF;

class AmigaDisk {
 public:
  explicit AmigaDisk(size_t sectors = 32) : b_(sectors * 512, 0) {}

  // A rigid disk block in `sector` whose partition list is `list`.
  AmigaDisk &Rdb(size_t sector, uint32_t list) {
    const size_t at = sector * 512;
    std::copy_n("RDSK", 4, b_.begin() + static_cast<long>(at));
    Put32BE(b_, at + 4, 64);  // block size in words: byte 4 is 0
    Put32BE(b_, at + 28, list);
    Put32BE(b_, at + 32, kAmigaEnd);
    return *this;
  }

  AmigaDisk &Part(size_t block, uint32_t next, uint32_t surfaces, uint32_t per_track, uint32_t low,
                  uint32_t high) {
    const size_t at = block * 512;
    std::copy_n("PART", 4, b_.begin() + static_cast<long>(at));
    Put32BE(b_, at + 16, next);
    Put32BE(b_, at + 140, surfaces);
    Put32BE(b_, at + 148, per_track);
    Put32BE(b_, at + 164, low);
    Put32BE(b_, at + 168, high);
    return *this;
  }

  // A chain of `n` partition blocks from block `first` on, each one cylinder.
  AmigaDisk &Chain(size_t first, size_t n) {
    for (size_t i = 0; i < n; i++)
      Part(first + i, i + 1 < n ? static_cast<uint32_t>(first + i + 1) : kAmigaEnd, 1, 1,
           static_cast<uint32_t>(i), static_cast<uint32_t>(i));
    return *this;
  }

  std::vector<uint8_t> &Bytes() { return b_; }

 private:
  std::vector<uint8_t> b_;
};

// ---- Apple: map entries, one a sector ----------------------------------------

class AppleDisk {
 public:
  explicit AppleDisk(size_t sectors = 16) : b_(sectors * 512, 0) {}

  // An entry in `sector`: signature, a map entry count of 3 (which the
  // module never consults), first block and block count, and the name and
  // type (each cut to 32 bytes).
  AppleDisk &Entry(size_t sector, uint32_t first, uint32_t count, const std::string &name = "",
                   const std::string &type = "") {
    const size_t at = sector * 512;
    Put16BE(b_, at, 0x504D);
    Put32BE(b_, at + 4, 3);
    Put32BE(b_, at + 8, first);
    Put32BE(b_, at + 12, count);
    std::copy_n(name.begin(), std::min<size_t>(name.size(), 32), b_.begin() + long(at + 16));
    std::copy_n(type.begin(), std::min<size_t>(type.size(), 32), b_.begin() + long(at + 48));
    return *this;
  }

  std::vector<uint8_t> &Bytes() { return b_; }

 private:
  std::vector<uint8_t> b_;
};

}  // namespace kelb_label

#endif  // TESTDATA_DISK_LABELS_H
