// SPDX-License-Identifier: MIT
// How much of a file the system's cache holds (POSIX), asked through
// mincore on a mapping of the file.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

// Pages of [0, length) of path in the system's cache; 0 when the file
// cannot be mapped.
inline size_t CachedPages(const std::string& path, size_t length) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return 0;
  void* map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return 0;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  // Room for an entry per 4 KiB: qemu-user for sparc64 writes one per page
  // of its host.
  std::vector<unsigned char> in((length + 4095) / 4096);
  size_t cached = 0;
  if (mincore(map, length, in.data()) == 0)
    for (size_t i = 0; i < (length + page - 1) / page; ++i) cached += in[i] & 1;
  munmap(map, length);
  return cached;
}

// Writes the file's dirty pages to the disk and drops all its pages from
// the cache, as after a restart; false when the system declined.
inline bool EvictFromCache(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const bool done = fsync(fd) == 0 && posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
  close(fd);
  return done;
}
