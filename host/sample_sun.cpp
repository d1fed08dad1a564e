// kelb-sample-sun IMAGE: writes a small Sun-labelled disk image (2 MiB) to
// show kelb-probe at work. Geometry 4 tracks per cylinder, 32 sectors per
// track (128 sectors a cylinder, 32 cylinders). Entries: 1 root (cylinders
// 0-7), 2 swap (8-11), 3 the whole disk, 5 home (12-31); 4 is unused.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned kTracks = 4, kSectorsPerTrack = 32, kCylinders = 32;
constexpr unsigned kSectorsPerCyl = kTracks * kSectorsPerTrack;

void put16(std::vector<uint8_t> &b, size_t at, unsigned v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}

void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  put16(b, at, v >> 16);
  put16(b, at + 2, v & 0xFFFF);
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2 || argv[1][0] == '-') {
    fprintf(stderr, "Usage: kelb-sample-sun IMAGE\n"
                    "Writes a 2 MiB disk image with a Sun label to IMAGE.\n");
    return 1;
  }
  std::vector<uint8_t> disk(size_t{kSectorsPerCyl} * kCylinders * 512, 0);
  const char ascii[] = "kelb sample disk cyl 32 alt 0 hd 4 sec 32";
  memcpy(disk.data(), ascii, sizeof ascii);

  struct {
    unsigned type, first_cyl, cyls;
  } entries[8] = {{2, 0, 8}, {3, 8, 4}, {5, 0, kCylinders}, {0, 0, 0},
                  {8, 12, 20}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
  for (unsigned i = 0; i < 8; i++) {
    disk[143 + 4 * i] = static_cast<uint8_t>(entries[i].type);
    put32(disk, 444 + 8 * i, entries[i].first_cyl);
    put32(disk, 448 + 8 * i, entries[i].cyls * kSectorsPerCyl);
  }
  put16(disk, 436, kTracks);
  put16(disk, 438, kSectorsPerTrack);
  put16(disk, 508, 0xDABE);
  unsigned sum = 0;
  for (size_t i = 0; i < 510; i += 2)
    sum ^= (disk[i] << 8) | disk[i + 1];
  put16(disk, 510, sum);

  FILE *f = fopen(argv[1], "wb");
  if (!f || fwrite(disk.data(), 1, disk.size(), f) != disk.size() || fclose(f) != 0) {
    perror(argv[1]);
    return 1;
  }
  return 0;
}
