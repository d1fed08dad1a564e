// SPDX-License-Identifier: MIT
// kelb-sample-acorn IMAGE: writes a small disk image (2 MiB) of an Acorn
// ADFS disc carrying a Linux partition map, to show kelb-probe at work. The
// boot block in sector 6 gives 32 sectors per track and 4 heads (128
// sectors a cylinder) and puts the map at cylinder 2, sector 256. Its
// entries, counted from the map sector: a root partition (1-2047), swap
// (2048-2559) and home (2560-3839).

#include "testdata/sample_disk.h"

namespace {

constexpr unsigned kSectors = 4096;
constexpr unsigned kSectorsPerTrack = 32, kHeads = 4, kMapCylinder = 2;

}  // namespace

int main(int argc, char **argv) {
  if (!sample::ParseArgs(argc, argv, "kelb-sample-acorn",
                         "Writes a 2 MiB ADFS disc image with a Linux partition map to IMAGE."))
    return 1;
  // The disc record at byte 448 of the boot block, then the flags, the map's
  // cylinder and the checksum.
  kelb_label::AcornDisk disk(kSectors, kSectorsPerTrack, kHeads, false, kMapCylinder);
  disk.Boot()[448] = 9;  // log2 of the sector size; density 0 (byte 451): hard disc
  disk.Seal();
  disk.Entry(0, kelb_label::kAcornLinux, 1, 2047)
      .Entry(1, kelb_label::kAcornSwap, 2048, 512)
      .Entry(2, kelb_label::kAcornLinux, 2560, 1280);

  return sample::WriteImage(argv[1], disk.Bytes());
}
