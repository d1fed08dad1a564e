// kelb-sample-apple IMAGE: writes a small disk image (2 MiB) with an Apple
// partition map to show kelb-probe at work. Sector 0 holds the driver
// descriptor; the map's entries fill sectors 1 to 3: the map itself (blocks
// 1-63), "MacOS" (Apple_HFS, 64-2047) and "Linux" (Apple_UNIX_SVR2,
// 2048-4095).

#include "sample_disk.h"

#include <cstring>

namespace {

constexpr unsigned kSectors = 4096;
constexpr unsigned kEntries = 3;

using sample::put16be;
using sample::put32be;

void entry(sample::Disk &b, size_t sector, uint32_t first, uint32_t count,
           const char *name, const char *type) {
  const size_t at = sector * 512;
  put16be(b, at, 0x504D);
  put32be(b, at + 4, kEntries);
  put32be(b, at + 8, first);
  put32be(b, at + 12, count);
  memcpy(&b[at + 16], name, strlen(name));
  memcpy(&b[at + 48], type, strlen(type));
  put32be(b, at + 84, count); // data area length
  put32be(b, at + 88, 0x33);  // status: valid, allocated, in use, readable, writable
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2 || argv[1][0] == '-') {
    fprintf(stderr, "Usage: kelb-sample-apple IMAGE\n"
                    "Writes a 2 MiB disk image with an Apple partition map to IMAGE.\n");
    return 1;
  }
  std::vector<uint8_t> disk(size_t{kSectors} * 512, 0);
  put16be(disk, 0, 0x4552); // driver descriptor "ER"
  put16be(disk, 2, 512);
  put32be(disk, 4, kSectors);

  entry(disk, 1, 1, 63, "Apple", "Apple_partition_map");
  entry(disk, 2, 64, 1984, "MacOS", "Apple_HFS");
  entry(disk, 3, 2048, 2048, "Linux", "Apple_UNIX_SVR2");

  return sample::WriteImage(argv[1], disk);
}
