// SPDX-License-Identifier: MIT
// kelb-sample-amiga IMAGE: writes a small disk image (2 MiB) with an Amiga
// rigid disk block to show kelb-probe at work. Geometry 2 surfaces, 32
// blocks per track (64 sectors a cylinder, 64 cylinders). The rigid disk
// block lies in sector 0 and chains three partition blocks, 1 -> 3 -> 2:
// DH0 cylinders 2-15, DH1 16-47, DH2 48-63.

#include "testdata/sample_disk.h"

#include <cstring>

namespace {

constexpr unsigned kSurfaces = 2, kBlocksPerTrack = 32, kCylinders = 64;
constexpr unsigned kBlockLongs = 64;  // checksummed size of each block

using kelb_label::Get32BE;
using kelb_label::kAmigaEnd;
using kelb_label::Put32BE;

// Identifier, size in longs, and the checksum at byte 8 that makes the sum
// of the block's longs 0, as the Amiga's own tools write them.
void header(sample::Disk &b, size_t block, const char *id) {
  memcpy(&b[block * 512], id, 4);
  Put32BE(b, block * 512 + 4, kBlockLongs);
  Put32BE(b, block * 512 + 12, 7);  // host SCSI id
}

void seal(sample::Disk &b, size_t block) {
  uint32_t sum = 0;
  for (unsigned i = 0; i < kBlockLongs; i++)
    if (i != 2) sum += Get32BE(b, block * 512 + 4 * i);
  Put32BE(b, block * 512 + 8, 0u - sum);
}

void partition(sample::Disk &b, size_t block, uint32_t next, const char *name, uint32_t low,
               uint32_t high) {
  const size_t at = block * 512;
  header(b, block, "PART");
  Put32BE(b, at + 16, next);
  b[at + 36] = static_cast<uint8_t>(strlen(name));  // BCPL string
  memcpy(&b[at + 37], name, strlen(name));
  Put32BE(b, at + 128, 16);   // environment table size
  Put32BE(b, at + 132, 128);  // block size in longs
  Put32BE(b, at + 140, kSurfaces);
  Put32BE(b, at + 144, 1);  // sectors per block
  Put32BE(b, at + 148, kBlocksPerTrack);
  Put32BE(b, at + 152, 2);  // reserved blocks
  Put32BE(b, at + 164, low);
  Put32BE(b, at + 168, high);
  Put32BE(b, at + 172, 30);          // buffers
  memcpy(&b[at + 192], "DOS\3", 4);  // dos type
  seal(b, block);
}

}  // namespace

int main(int argc, char **argv) {
  if (!sample::ParseArgs(argc, argv, "kelb-sample-amiga",
                         "Writes a 2 MiB disk image with an Amiga rigid disk block to IMAGE."))
    return 1;
  sample::Disk disk(size_t{kSurfaces} * kBlocksPerTrack * kCylinders * 512, 0);

  header(disk, 0, "RDSK");
  Put32BE(disk, 16, 512);        // block size in bytes
  Put32BE(disk, 24, kAmigaEnd);  // bad block list
  Put32BE(disk, 28, 1);          // partition list
  Put32BE(disk, 32, kAmigaEnd);  // file system header list
  Put32BE(disk, 36, kAmigaEnd);  // drive initialisation code
  Put32BE(disk, 64, kCylinders);
  Put32BE(disk, 68, kBlocksPerTrack);
  Put32BE(disk, 72, kSurfaces);
  Put32BE(disk, 128, 0);  // first block of the RDB area
  Put32BE(disk, 132, kSurfaces * kBlocksPerTrack * 2 - 1);
  Put32BE(disk, 136, 2);  // first partition cylinder
  Put32BE(disk, 140, kCylinders - 1);
  seal(disk, 0);

  partition(disk, 1, 3, "DH0", 2, 15);
  partition(disk, 3, 2, "DH1", 16, 47);
  partition(disk, 2, kAmigaEnd, "DH2", 48, kCylinders - 1);

  return sample::WriteImage(argv[1], disk);
}
