// kelb-sample-amiga IMAGE: writes a small disk image (2 MiB) with an Amiga
// rigid disk block to show kelb-probe at work. Geometry 2 surfaces, 32
// blocks per track (64 sectors a cylinder, 64 cylinders). The rigid disk
// block lies in sector 0 and chains three partition blocks, 1 -> 3 -> 2:
// DH0 cylinders 2-15, DH1 16-47, DH2 48-63.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned kSurfaces = 2, kBlocksPerTrack = 32, kCylinders = 64;
constexpr uint32_t kEnd = 0xFFFFFFFF;
constexpr unsigned kBlockLongs = 64; // checksummed size of each block

void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v >> 24);
  b[at + 1] = static_cast<uint8_t>(v >> 16);
  b[at + 2] = static_cast<uint8_t>(v >> 8);
  b[at + 3] = static_cast<uint8_t>(v);
}

uint32_t get32(const std::vector<uint8_t> &b, size_t at) {
  return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) |
         (uint32_t(b[at + 2]) << 8) | uint32_t(b[at + 3]);
}

// Identifier, size in longs, and the checksum at byte 8 that makes the sum
// of the block's longs 0, as the Amiga's own tools write them.
void header(std::vector<uint8_t> &b, size_t block, const char *id) {
  memcpy(&b[block * 512], id, 4);
  put32(b, block * 512 + 4, kBlockLongs);
  put32(b, block * 512 + 12, 7); // host SCSI id
}

void seal(std::vector<uint8_t> &b, size_t block) {
  uint32_t sum = 0;
  for (unsigned i = 0; i < kBlockLongs; i++)
    if (i != 2)
      sum += get32(b, block * 512 + 4 * i);
  put32(b, block * 512 + 8, 0u - sum);
}

void partition(std::vector<uint8_t> &b, size_t block, uint32_t next, const char *name,
               uint32_t low, uint32_t high) {
  const size_t at = block * 512;
  header(b, block, "PART");
  put32(b, at + 16, next);
  b[at + 36] = static_cast<uint8_t>(strlen(name)); // BCPL string
  memcpy(&b[at + 37], name, strlen(name));
  put32(b, at + 128, 16);               // environment table size
  put32(b, at + 132, 128);              // block size in longs
  put32(b, at + 140, kSurfaces);
  put32(b, at + 144, 1);                // sectors per block
  put32(b, at + 148, kBlocksPerTrack);
  put32(b, at + 152, 2);                // reserved blocks
  put32(b, at + 164, low);
  put32(b, at + 168, high);
  put32(b, at + 172, 30);               // buffers
  memcpy(&b[at + 192], "DOS\3", 4);     // dos type
  seal(b, block);
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2 || argv[1][0] == '-') {
    fprintf(stderr, "Usage: kelb-sample-amiga IMAGE\n"
                    "Writes a 2 MiB disk image with an Amiga rigid disk block to IMAGE.\n");
    return 1;
  }
  std::vector<uint8_t> disk(size_t{kSurfaces} * kBlocksPerTrack * kCylinders * 512, 0);

  header(disk, 0, "RDSK");
  put32(disk, 16, 512);  // block size in bytes
  put32(disk, 24, kEnd); // bad block list
  put32(disk, 28, 1);    // partition list
  put32(disk, 32, kEnd); // file system header list
  put32(disk, 36, kEnd); // drive initialisation code
  put32(disk, 64, kCylinders);
  put32(disk, 68, kBlocksPerTrack);
  put32(disk, 72, kSurfaces);
  put32(disk, 128, 0);                     // first block of the RDB area
  put32(disk, 132, kSurfaces * kBlocksPerTrack * 2 - 1);
  put32(disk, 136, 2);                     // first partition cylinder
  put32(disk, 140, kCylinders - 1);
  seal(disk, 0);

  partition(disk, 1, 3, "DH0", 2, 15);
  partition(disk, 3, 2, "DH1", 16, 47);
  partition(disk, 2, kEnd, "DH2", 48, kCylinders - 1);

  FILE *f = fopen(argv[1], "wb");
  if (!f || fwrite(disk.data(), 1, disk.size(), f) != disk.size() || fclose(f) != 0) {
    perror(argv[1]);
    return 1;
  }
  return 0;
}
