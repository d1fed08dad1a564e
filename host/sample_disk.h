// Helpers the sample-disk writers share: byte-order stores into a disk held
// in memory, and writing that disk out as an image file.
#ifndef KELB_HOST_SAMPLE_DISK_H
#define KELB_HOST_SAMPLE_DISK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace sample {

using Disk = std::vector<uint8_t>;

inline void put16be(Disk &b, size_t at, unsigned v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}

inline void put32be(Disk &b, size_t at, uint32_t v) {
  put16be(b, at, v >> 16);
  put16be(b, at + 2, v & 0xFFFF);
}

inline uint32_t get32be(const Disk &b, size_t at) {
  return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) |
         (uint32_t(b[at + 2]) << 8) | uint32_t(b[at + 3]);
}

inline void put32le(Disk &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++)
    b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// True when the command line names one image; otherwise prints the usage
// ("Usage: PROGRAM IMAGE" and `what`) to standard error.
inline bool ParseArgs(int argc, char **argv, const char *program, const char *what) {
  if (argc == 2 && argv[1][0] != '-')
    return true;
  fprintf(stderr, "Usage: %s IMAGE\n%s\n", program, what);
  return false;
}

// Writes the disk to `path`; the process's exit status: 0, or 1 after
// saying why on standard error.
inline int WriteImage(const char *path, const Disk &disk) {
  FILE *f = fopen(path, "wb");
  bool ok = f && fwrite(disk.data(), 1, disk.size(), f) == disk.size();
  if (f && fclose(f) != 0)
    ok = false;
  if (!ok) {
    perror(path);
    return 1;
  }
  return 0;
}

} // namespace sample

#endif // KELB_HOST_SAMPLE_DISK_H
