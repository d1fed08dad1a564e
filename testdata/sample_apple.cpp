// SPDX-License-Identifier: MIT
// kelb-sample-apple IMAGE: writes a small disk image (2 MiB) with an Apple
// partition map to show kelb-probe at work. Sector 0 holds the driver
// descriptor; the map's entries fill sectors 1 to 3: the map itself (blocks
// 1-63), "MacOS" (Apple_HFS, 64-2047) and "Linux" (Apple_UNIX_SVR2,
// 2048-4095).

#include "testdata/sample_disk.h"

namespace {

constexpr unsigned kSectors = 4096;

using kelb_label::Put16BE;
using kelb_label::Put32BE;

void entry(kelb_label::AppleDisk &d, size_t sector, uint32_t first, uint32_t count,
           const char *name, const char *type) {
  d.Entry(sector, first, count, name, type);
  Put32BE(d.Bytes(), sector * 512 + 84, count);  // data area length
  Put32BE(d.Bytes(), sector * 512 + 88,
          0x33);  // status: valid, allocated, in use, readable, writable
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2 || argv[1][0] == '-') {
    fprintf(stderr,
            "Usage: kelb-sample-apple IMAGE\n"
            "Writes a 2 MiB disk image with an Apple partition map to IMAGE.\n");
    return 1;
  }
  kelb_label::AppleDisk disk(kSectors);
  Put16BE(disk.Bytes(), 0, 0x4552);  // driver descriptor "ER"
  Put16BE(disk.Bytes(), 2, 512);
  Put32BE(disk.Bytes(), 4, kSectors);

  entry(disk, 1, 1, 63, "Apple", "Apple_partition_map");
  entry(disk, 2, 64, 1984, "MacOS", "Apple_HFS");
  entry(disk, 3, 2048, 2048, "Linux", "Apple_UNIX_SVR2");

  return sample::WriteImage(argv[1], disk.Bytes());
}
