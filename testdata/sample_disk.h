// SPDX-License-Identifier: MIT
// Helpers the sample-disk writers share beside the label builders of
// disk_labels.h: the command line, and writing the disk out as an image file.
#ifndef TESTDATA_SAMPLE_DISK_H
#define TESTDATA_SAMPLE_DISK_H

#include "testdata/disk_labels.h"

#include <cstdio>
#include <vector>

namespace sample {

using Disk = std::vector<uint8_t>;

// True when the command line names one image; otherwise prints the usage
// ("Usage: PROGRAM IMAGE" and `what`) to standard error.
inline bool ParseArgs(int argc, char **argv, const char *program, const char *what) {
  if (argc == 2 && argv[1][0] != '-') return true;
  fprintf(stderr, "Usage: %s IMAGE\n%s\n", program, what);
  return false;
}

// Writes the disk to `path`; the process's exit status: 0, or 1 after
// saying why on standard error.
inline int WriteImage(const char *path, const Disk &disk) {
  FILE *f = fopen(path, "wb");
  bool ok = f && fwrite(disk.data(), 1, disk.size(), f) == disk.size();
  if (f && fclose(f) != 0) ok = false;
  if (!ok) {
    perror(path);
    return 1;
  }
  return 0;
}

}  // namespace sample

#endif  // TESTDATA_SAMPLE_DISK_H
