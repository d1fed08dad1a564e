// kelb-sample-acorn IMAGE: writes a small disk image (2 MiB) of an Acorn
// ADFS disc carrying a Linux partition map, to show kelb-probe at work. The
// boot block in sector 6 gives 32 sectors per track and 4 heads (128
// sectors a cylinder) and puts the map at cylinder 2, sector 256. Its
// entries, counted from the map sector: a root partition (1-2047), swap
// (2048-2559) and home (2560-3839).

#include "sample_disk.h"

namespace {

constexpr unsigned kSectors = 4096;
constexpr size_t kBoot = 6 * 512;
constexpr unsigned kSectorsPerTrack = 32, kHeads = 4, kMapCylinder = 2;
constexpr uint32_t kLinuxNative = 0xDEAFA1DE, kLinuxSwap = 0xDEAFAB1E;

} // namespace

int main(int argc, char **argv) {
  if (!sample::ParseArgs(argc, argv, "kelb-sample-acorn",
                         "Writes a 2 MiB ADFS disc image with a Linux partition map to IMAGE."))
    return 1;
  sample::Disk disk(size_t{kSectors} * 512, 0);

  // The disc record at byte 448 of the boot block, then the flags, the map's
  // cylinder and the checksum.
  disk[kBoot + 448] = 9; // log2 of the sector size
  disk[kBoot + 449] = kSectorsPerTrack;
  disk[kBoot + 450] = kHeads;
  disk[kBoot + 451] = 0; // density: hard disc
  disk[kBoot + 508] = 0x09; // Linux partition map
  disk[kBoot + 509] = kMapCylinder & 0xFF;
  disk[kBoot + 510] = kMapCylinder >> 8;
  unsigned sum = 0;
  for (size_t i = 0; i < 511; i++)
    sum = (sum & 0xFF) + (sum >> 8) + disk[kBoot + i];
  disk[kBoot + 511] = static_cast<uint8_t>(sum);

  const size_t map = size_t{kMapCylinder} * kSectorsPerTrack * kHeads * 512;
  const struct {
    uint32_t magic, start, size;
  } entries[] = {{kLinuxNative, 1, 2047}, {kLinuxSwap, 2048, 512}, {kLinuxNative, 2560, 1280}};
  for (size_t i = 0; i < 3; i++) {
    sample::put32le(disk, map + 12 * i, entries[i].magic);
    sample::put32le(disk, map + 12 * i + 4, entries[i].start);
    sample::put32le(disk, map + 12 * i + 8, entries[i].size);
  }

  return sample::WriteImage(argv[1], disk);
}
