// SPDX-License-Identifier: MIT
// Writes the disk-label seeds of the partition-map fuzz targets, built with
// the label builders of disk_labels.h, or checks the committed ones.
//   make_seeds DIR          writes DIR/partmap_SCHEME/NAME
//   make_seeds --check DIR  status 0 when each of those files in DIR holds
//                           exactly what would be written; else names the
//                           first that differs
// A seed is the fuzz target's header (fuzz/partmap_fuzz.cpp: flags, n, bad
// sector, partition start and length, padding, stop-at, name length), the
// partition name, then the disk; each reaches one part of a module.
#include "testdata/sample_disk.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using namespace kelb_label;
using sample::Disk;

struct Header {
  uint8_t flags = 0, nth = 0, bad = 0, pstart = 0, plen = 0, pad = 0, stop = 0;
};

Disk Seed(const Disk &disk, const std::string &name, Header h = {}) {
  const uint8_t head[] = {h.flags, h.nth, h.bad,  h.pstart,
                          h.plen,  h.pad, h.stop, uint8_t(name.size())};
  // Made at its full size and filled: growing it by inserts makes GCC 12 at
  // -O3 warn of a copy past the first eight bytes that cannot happen.
  Disk s(sizeof head + name.size() + disk.size());
  std::copy(std::begin(head), std::end(head), s.begin());
  std::copy(name.begin(), name.end(), s.begin() + long(sizeof head));
  std::copy(disk.begin(), disk.end(), s.begin() + long(sizeof head + name.size()));
  return s;
}

Disk Prefix(const Disk &disk, size_t bytes) {
  return Disk(disk.begin(), disk.begin() + long(bytes));
}

struct Writer {
  std::filesystem::path dir;
  bool check;
  int status = 0;

  void operator()(const char *corpus, const char *name, const Disk &seed) {
    if (status != 0) return;
    const std::filesystem::path folder = dir / corpus, path = folder / name;
    if (check) {
      std::ifstream in(path, std::ios::binary);
      const Disk held((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (!in.good() && !in.eof()) status = 1;
      if (status != 0 || held != seed) {
        fprintf(stderr, "make_seeds: %s is not what the builders write\n", path.c_str());
        status = 1;
      }
      return;
    }
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    status = sample::WriteImage(path.c_str(), seed);
  }
};

void Sun(Writer &w) {
  const Disk sun = SunLabel(4, 16)
                       .Entry(0, 2, 0, 64)
                       .Entry(1, 5, 0, 256)
                       .Entry(2, 3, 1, 64)
                       .Entry(3, 0, 2, 8)
                       .Entry(4, 4, 2, 0)
                       .Entry(5, 7, 3, 32)
                       .Bytes(1);
  w("partmap_sun", "label", Seed(sun, "3"));
  w("partmap_sun", "label_fail_malloc_2", Seed(sun, "1", {.flags = 1, .nth = 1}));
  w("partmap_sun", "label_fail_read", Seed(sun, "2", {.flags = 2, .bad = 0}));
  Disk longer = sun;
  longer.resize(5 * 512, 0);
  w("partmap_sun", "label_on_partition_stop",
    Seed(longer, "6", {.flags = 4, .pstart = 1, .plen = 2, .stop = 2}));
  Disk damaged = sun;
  damaged.at(100) = 1;
  w("partmap_sun", "bad_checksum", Seed(damaged, "x"));
  w("partmap_sun", "truncated", Seed(Prefix(sun, 300), "4294967297"));
}

void Amiga(Writer &w) {
  // Every partition block of one geometry: 4 surfaces, 32 blocks a track,
  // cylinders 2 to 5.
  auto part = [](AmigaDisk &d, size_t block, uint32_t next) -> AmigaDisk & {
    return d.Part(block, next, 4, 32, 2, 5);
  };
  AmigaDisk chain(8), loop(8), self(8), far(8), fail(8), late(17), inner(8);
  chain.Rdb(1, 3);
  part(part(part(chain, 3, 4), 4, 5), 5, kAmigaEnd);
  w("partmap_amiga", "chain", Seed(chain.Bytes(), "2"));
  loop.Rdb(0, 2);
  part(part(loop, 2, 3), 3, 2);
  w("partmap_amiga", "loop", Seed(loop.Bytes(), "3"));
  part(self.Rdb(0, 2), 2, 2);
  w("partmap_amiga", "self_loop", Seed(self.Bytes(), "1"));
  part(far.Rdb(0, 2), 2, 0x80000000);
  w("partmap_amiga", "far_link", Seed(far.Bytes(), "2"));
  part(fail.Rdb(4, 5), 5, kAmigaEnd);
  w("partmap_amiga", "fail_read_3", Seed(fail.Bytes(), "1", {.flags = 2, .bad = 3}));
  part(late.Rdb(14, 15), 15, kAmigaEnd);
  w("partmap_amiga", "rdsk_in_14", Seed(late.Bytes(), "1", {.flags = 1, .nth = 0}));
  part(part(inner.Rdb(2, 4), 4, 6), 6, kAmigaEnd);
  w("partmap_amiga", "on_partition",
    Seed(inner.Bytes(), "2", {.flags = 4, .pstart = 2, .plen = 3, .stop = 1}));
}

void Apple(Writer &w) {
  AppleDisk map(5);
  map.Entry(1, 1, 63, "Apple", "Apple_partition_map")
      .Entry(2, 64, 1000, "disk", "Apple_HFS")
      .Entry(3, 1064, 100, "disk", "Apple_HFS");
  w("partmap_apple", "map", Seed(map.Bytes(), "2", {.flags = 8}));
  w("partmap_apple", "runs_off_the_end", Seed(Prefix(map.Bytes(), 4 * 512), "3"));
  AppleDisk stop(3);
  stop.Entry(1, 1024, 8, "disk", "Apple_HFS").Entry(2, 5, 5, "disk", "Apple_HFS");
  w("partmap_apple", "stop_at_1024", Seed(stop.Bytes(), "1"));
  AppleDisk names(2);
  names.Entry(1, 1, 2, std::string(32, 'N'), std::string(32, 'T'));
  w("partmap_apple", "long_names", Seed(names.Bytes(), "1", {.flags = 8}));
  w("partmap_apple", "fail_read", Seed(map.Bytes(), "2", {.flags = 2, .bad = 2}));
}

// An ADFS disc whose map lies at cylinder `cyl`, with a Linux and a swap
// partition unless `first_unused`.
AcornDisk Acorn(uint16_t cyl, uint8_t spt, uint8_t heads, bool bit6, bool first_unused = false) {
  AcornDisk d(std::max<size_t>(7, size_t{cyl} * spt * (heads + (bit6 ? 1 : 0)) + 1), spt, heads,
              bit6, cyl);
  if (first_unused)
    d.Entry(0, 0, 0, 0).Entry(1, kAcornLinux, 3, 3);
  else
    d.Entry(0, kAcornLinux, 1, 4).Entry(1, kAcornSwap, 5, 2);
  return d;
}

void Acorn(Writer &w) {
  w("partmap_acorn", "map", Seed(Acorn(1, 2, 1, false).Bytes(), "2"));
  w("partmap_acorn", "entry0_unused", Seed(Acorn(1, 2, 1, false, true).Bytes(), "2"));
  w("partmap_acorn", "bit6_geometry", Seed(Acorn(2, 3, 1, true).Bytes(), "42"));
  w("partmap_acorn", "map_in_sector_0",
    Seed(Acorn(0, 2, 1, false).Bytes(), "1", {.flags = 1, .nth = 0}));
  w("partmap_acorn", "fail_read_6",
    Seed(Acorn(1, 2, 1, false).Bytes(), "1", {.flags = 2, .bad = 6}));
}

}  // namespace

int main(int argc, char **argv) {
  const bool check = argc == 3 && std::string(argv[1]) == "--check";
  if (!check && !(argc == 2 && argv[1][0] != '-')) {
    fprintf(stderr,
            "Usage: make_seeds [--check] DIR\n"
            "Writes the partition-map fuzz seeds into DIR/partmap_*, or checks them.\n");
    return 2;
  }
  Writer w{argv[argc - 1], check};
  Sun(w);
  Amiga(w);
  Apple(w);
  Acorn(w);
  return w.status;
}
