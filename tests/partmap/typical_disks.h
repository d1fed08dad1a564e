// SPDX-License-Identifier: MIT
// The typical disk of each partition-map scheme: the one most of that
// scheme's tests walk, and the one every_map_test.cpp walks with each map.
// Each holds three partitions a full walk reports.
#ifndef KELB_TYPICAL_DISKS_H
#define KELB_TYPICAL_DISKS_H

#include "testdata/disk_labels.h"

namespace kelb_test {

// 16 tracks of 63 sectors a cylinder: 1 at cylinder 0, 2 at cylinder 100, 3
// the whole disk, 4 at cylinder 200.
inline kelb_label::SunLabel TypicalSun() {
  return kelb_label::SunLabel(16, 63)
      .Entry(0, 2, 0, 1000)
      .Entry(1, 3, 100, 2000)
      .Entry(2, 5, 0, 400000)
      .Entry(3, 7, 200, 3000);
}

// Three partition blocks chained 3 -> 7 -> 5.
inline kelb_label::AmigaDisk TypicalAmiga() {
  kelb_label::AmigaDisk d;
  d.Rdb(1, 3)
      .Part(3, 7, 4, 32, 2, 5)
      .Part(7, 5, 2, 16, 10, 19)
      .Part(5, kelb_label::kAmigaEnd, 1, 63, 100, 100);
  return d;
}

// Entries in sectors 1, 2 and 3; sector 4 is blank.
inline kelb_label::AppleDisk TypicalApple() {
  kelb_label::AppleDisk d;
  d.Entry(1, 1, 63, "Apple", "Apple_partition_map")
      .Entry(2, 64, 1000, "boot", "Apple_HFS")
      .Entry(3, 2048, 4096, "root", "Apple_UNIX_SVR2");
  return d;
}

// Map at sector 2 * 4 * 2 = 16 with three entries in use, then one not.
inline kelb_label::AcornDisk TypicalAcorn() {
  kelb_label::AcornDisk d(64, 4, 2, false, 2);
  d.Entry(0, kelb_label::kAcornLinux, 0, 10)
      .Entry(1, kelb_label::kAcornSwap, 10, 20)
      .Entry(2, kelb_label::kAcornLinux, 30, 0)
      .Entry(4, kelb_label::kAcornLinux, 40, 5);
  return d;
}

}  // namespace kelb_test

#endif  // KELB_TYPICAL_DISKS_H
