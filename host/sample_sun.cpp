// kelb-sample-sun IMAGE: writes a small Sun-labelled disk image (2 MiB) to
// show kelb-probe at work. Geometry 4 tracks per cylinder, 32 sectors per
// track (128 sectors a cylinder, 32 cylinders). Entries: 1 root (cylinders
// 0-7), 2 swap (8-11), 3 the whole disk, 5 home (12-31); 4 is unused.

#include "sample_disk.h"

#include <cstring>

namespace {

constexpr unsigned kTracks = 4, kSectorsPerTrack = 32, kCylinders = 32;
constexpr unsigned kSectorsPerCyl = kTracks * kSectorsPerTrack;

} // namespace

int main(int argc, char **argv) {
  if (!sample::ParseArgs(argc, argv, "kelb-sample-sun",
                         "Writes a 2 MiB disk image with a Sun label to IMAGE."))
    return 1;
  sample::Disk disk(size_t{kSectorsPerCyl} * kCylinders * 512, 0);
  const char ascii[] = "kelb sample disk cyl 32 alt 0 hd 4 sec 32";
  memcpy(disk.data(), ascii, sizeof ascii);

  struct {
    unsigned type, first_cyl, cyls;
  } entries[8] = {{2, 0, 8}, {3, 8, 4}, {5, 0, kCylinders}, {0, 0, 0},
                  {8, 12, 20}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
  for (unsigned i = 0; i < 8; i++) {
    disk[143 + 4 * i] = static_cast<uint8_t>(entries[i].type);
    sample::put32be(disk, 444 + 8 * i, entries[i].first_cyl);
    sample::put32be(disk, 448 + 8 * i, entries[i].cyls * kSectorsPerCyl);
  }
  sample::put16be(disk, 436, kTracks);
  sample::put16be(disk, 438, kSectorsPerTrack);
  sample::put16be(disk, 508, 0xDABE);
  unsigned sum = 0;
  for (size_t i = 0; i < 510; i += 2)
    sum ^= (disk[i] << 8) | disk[i + 1];
  sample::put16be(disk, 510, sum);

  return sample::WriteImage(argv[1], disk);
}
