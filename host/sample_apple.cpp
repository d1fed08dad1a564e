// kelb-sample-apple IMAGE: writes a small disk image (2 MiB) with an Apple
// partition map to show kelb-probe at work. Sector 0 holds the driver
// descriptor; the map's entries fill sectors 1 to 3: the map itself (blocks
// 1-63), "MacOS" (Apple_HFS, 64-2047) and "Linux" (Apple_UNIX_SVR2,
// 2048-4095).

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned kSectors = 4096;
constexpr unsigned kEntries = 3;

void put16(std::vector<uint8_t> &b, size_t at, unsigned v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}

void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  put16(b, at, v >> 16);
  put16(b, at + 2, v & 0xFFFF);
}

void entry(std::vector<uint8_t> &b, size_t sector, uint32_t first, uint32_t count,
           const char *name, const char *type) {
  const size_t at = sector * 512;
  put16(b, at, 0x504D);
  put32(b, at + 4, kEntries);
  put32(b, at + 8, first);
  put32(b, at + 12, count);
  memcpy(&b[at + 16], name, strlen(name));
  memcpy(&b[at + 48], type, strlen(type));
  put32(b, at + 84, count); // data area length
  put32(b, at + 88, 0x33);  // status: valid, allocated, in use, readable, writable
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2 || argv[1][0] == '-') {
    fprintf(stderr, "Usage: kelb-sample-apple IMAGE\n"
                    "Writes a 2 MiB disk image with an Apple partition map to IMAGE.\n");
    return 1;
  }
  std::vector<uint8_t> disk(size_t{kSectors} * 512, 0);
  put16(disk, 0, 0x4552); // driver descriptor "ER"
  put16(disk, 2, 512);
  put32(disk, 4, kSectors);

  entry(disk, 1, 1, 63, "Apple", "Apple_partition_map");
  entry(disk, 2, 64, 1984, "MacOS", "Apple_HFS");
  entry(disk, 3, 2048, 2048, "Linux", "Apple_UNIX_SVR2");

  FILE *f = fopen(argv[1], "wb");
  if (!f || fwrite(disk.data(), 1, disk.size(), f) != disk.size() || fclose(f) != 0) {
    perror(argv[1]);
    return 1;
  }
  return 0;
}
