// kelb-sample-acorn IMAGE: writes a small disk image (2 MiB) of an Acorn
// ADFS disc carrying a Linux partition map, to show kelb-probe at work. The
// boot block in sector 6 gives 32 sectors per track and 4 heads (128
// sectors a cylinder) and puts the map at cylinder 2, sector 256. Its
// entries, counted from the map sector: a root partition (1-2047), swap
// (2048-2559) and home (2560-3839).

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr unsigned kSectors = 4096;
constexpr size_t kBoot = 6 * 512;
constexpr unsigned kSectorsPerTrack = 32, kHeads = 4, kMapCylinder = 2;
constexpr uint32_t kLinuxNative = 0xDEAFA1DE, kLinuxSwap = 0xDEAFAB1E;

void put32le(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++)
    b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2 || argv[1][0] == '-') {
    fprintf(stderr, "Usage: kelb-sample-acorn IMAGE\n"
                    "Writes a 2 MiB ADFS disc image with a Linux partition map to IMAGE.\n");
    return 1;
  }
  std::vector<uint8_t> disk(size_t{kSectors} * 512, 0);

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
    put32le(disk, map + 12 * i, entries[i].magic);
    put32le(disk, map + 12 * i + 4, entries[i].start);
    put32le(disk, map + 12 * i + 8, entries[i].size);
  }

  FILE *f = fopen(argv[1], "wb");
  if (!f || fwrite(disk.data(), 1, disk.size(), f) != disk.size() || fclose(f) != 0) {
    perror(argv[1]);
    return 1;
  }
  return 0;
}
