// SPDX-License-Identifier: MIT
// kelb-sample-sun IMAGE: writes a small Sun-labelled disk image (2 MiB) to
// show kelb-probe at work. Geometry 4 tracks per cylinder, 32 sectors per
// track (128 sectors a cylinder, 32 cylinders). Entries: 1 root (cylinders
// 0-7), 2 swap (8-11), 3 the whole disk, 5 home (12-31); 4 is unused.

#include "testdata/sample_disk.h"

#include <cstring>

namespace {

constexpr unsigned kTracks = 4, kSectorsPerTrack = 32, kCylinders = 32;
constexpr unsigned kSectorsPerCyl = kTracks * kSectorsPerTrack;

}  // namespace

int main(int argc, char **argv) {
  if (!sample::ParseArgs(argc, argv, "kelb-sample-sun",
                         "Writes a 2 MiB disk image with a Sun label to IMAGE."))
    return 1;
  kelb_label::SunLabel label(kTracks, kSectorsPerTrack);
  label
      .Entry(0, 2, 0, 8 * kSectorsPerCyl)           // root
      .Entry(1, 3, 8, 4 * kSectorsPerCyl)           // swap
      .Entry(2, 5, 0, kCylinders * kSectorsPerCyl)  // the whole disk
      .Entry(4, 8, 12, 20 * kSectorsPerCyl);        // home
  sample::Disk disk = label.Bytes(size_t{kSectorsPerCyl} * kCylinders);
  const char ascii[] = "kelb sample disk cyl 32 alt 0 hd 4 sec 32";
  memcpy(disk.data(), ascii, sizeof ascii);
  kelb_label::SunLabel::FixChecksum(disk);

  return sample::WriteImage(argv[1], disk);
}
