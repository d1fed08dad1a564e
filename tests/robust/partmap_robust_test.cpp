// SPDX-License-Identifier: MIT
// Every partition-map module on disks that are too short, damaged or built
// to loop: each walk and search ends, with an error code where the disk
// cannot hold what the format needs, never with a crash, a read outside the
// disk, a partition reported twice or a block left unfreed (the fixture
// checks the last).

#include "tests/partmap/kelb_fixture.h"
#include "tests/support/temp_dir.h"

#include <set>

using namespace kelb_test;

namespace {

constexpr size_t kSector = 512;

// One test image per scheme: sound, with every sector up to its last one
// needed by a full walk, so that any shorter prefix lacks something.
struct Scheme {
  const char *module;
  const char *map;
  std::vector<uint8_t> image;
  size_t partitions;  // hook calls of a full walk
};

Scheme Sun() {
  return {"sun", "sun_partition_map",
          SunLabel(4, 16).Entry(0, 2, 0, 64).Entry(1, 3, 1, 64).Bytes(1), 2};
}

// Amiga: the rigid disk block in `rdb`, then partition blocks at `blocks`
// in chain order; `last_next` is the link the last block holds.
std::vector<uint8_t> AmigaChain(size_t sectors, size_t rdb, const std::vector<int64_t> &blocks,
                                uint32_t last_next = 0xFFFFFFFF) {
  std::vector<uint8_t> b(sectors * kSector, 0);
  const size_t r = rdb * kSector;
  b[r] = 'R', b[r + 1] = 'D', b[r + 2] = 'S', b[r + 3] = 'K';
  Put32BE(b, r + 28, blocks.empty() ? 0xFFFFFFFF : static_cast<uint32_t>(blocks[0]));
  for (size_t i = 0; i < blocks.size(); i++) {
    if (blocks[i] < 0 || static_cast<size_t>(blocks[i]) >= sectors) continue;
    const size_t o = static_cast<size_t>(blocks[i]) * kSector;
    Put32BE(b, o + 16, i + 1 < blocks.size() ? static_cast<uint32_t>(blocks[i + 1]) : last_next);
    Put32BE(b, o + 140, 2);
    Put32BE(b, o + 148, 8);
    Put32BE(b, o + 164, static_cast<uint32_t>(i));
    Put32BE(b, o + 168, static_cast<uint32_t>(i));
  }
  return b;
}

Scheme Amiga() { return {"amiga", "amiga_partition_map", AmigaChain(5, 1, {2, 3, 4}), 3}; }

std::vector<uint8_t> AppleEntry(uint32_t start, uint32_t length) {
  std::vector<uint8_t> e(kSector, 0);
  e[0] = 0x50, e[1] = 0x4D;
  Put32BE(e, 8, start);
  Put32BE(e, 12, length);
  for (size_t i = 16; i < 80; i++)  // name and type with no NUL at all
    e[i] = 'N';
  return e;
}

Scheme Apple() {
  // Entries in sectors 1 to 3; the zero sector 4 ends the map.
  std::vector<uint8_t> b(kSector, 0);
  for (uint32_t i = 0; i < 3; i++) {
    const std::vector<uint8_t> e = AppleEntry(10 + i, 5);
    b.insert(b.end(), e.begin(), e.end());
  }
  b.resize(5 * kSector, 0);
  return {"apple", "apple_partition_map", b, 3};
}

// Acorn: boot block in sector 6 pointing at a map in sector `cyl * spt *
// heads`; entries (start, size) in use from entry 0 on.
AcornDisk Acorn(uint16_t cyl, uint8_t spt, uint8_t heads, size_t entries) {
  AcornDisk d(std::max<size_t>(7, size_t{cyl} * spt * heads + 1), spt, heads, false, cyl);
  for (unsigned i = 0; i < entries; i++) d.Entry(i, i % 2 ? kAcornSwap : kAcornLinux, 10 * i, 10);
  return d;
}

Scheme Acorn() {
  // The map in sector 8, after the boot block.
  return {"acorn", "Linux/ADFS partition map", Acorn(1, 2, 4, 42).Bytes(), 42};
}

std::vector<Scheme> Schemes() { return {Sun(), Amiga(), Apple(), Acorn()}; }

class PartmapRobustTest : public KelbTest {
 protected:
  // Walks `disk`, checking that no partition comes twice; returns the walk.
  Walk CheckedWalk(kelb_partition_map *map, kelb_disk *disk) {
    Walk w = DoWalk(map, disk);
    std::set<int32_t> indexes;
    for (const HookCall &c : w.calls) {
      EXPECT_TRUE(indexes.insert(c.part.index).second) << "index " << c.part.index << " twice";
      EXPECT_EQ(c.part.map, map);
    }
    return w;
  }
};

TEST_F(PartmapRobustTest, FullImagesWalkCleanly) {
  for (const Scheme &s : Schemes()) {
    SCOPED_TRACE(s.module);
    kelb_partition_map *map = LoadMap(s.module, s.map);
    ASSERT_NE(map, nullptr);
    Walk w = CheckedWalk(map, Disk(s.image));
    EXPECT_EQ(w.result, KELB_ERR_NONE) << Message();
    EXPECT_EQ(w.calls.size(), s.partitions);
  }
}

// A disk shorter than the format needs, cut at every sector: the walk ends
// with an error code, having reported at most what lay on the prefix.
TEST_F(PartmapRobustTest, EveryTruncatedPrefixEndsWithAnErrorCode) {
  for (const Scheme &s : Schemes()) {
    kelb_partition_map *map = LoadMap(s.module, s.map);
    ASSERT_NE(map, nullptr);
    for (size_t sectors = 0; sectors < s.image.size() / kSector; sectors++) {
      SCOPED_TRACE(std::string(s.module) + " cut to " + std::to_string(sectors) + " sectors");
      const std::vector<uint8_t> prefix(s.image.begin(), s.image.begin() + sectors * kSector);
      kelb_disk *disk = Disk(prefix);
      kelb_host::clear_error();
      Walk w = CheckedWalk(map, disk);
      EXPECT_NE(w.result, KELB_ERR_NONE);
      EXPECT_NE(kelb_errno, KELB_ERR_NONE);
      EXPECT_FALSE(Message().empty());
      EXPECT_LE(w.calls.size(), s.partitions);

      // The last partition is found only when the walk reported it (a map
      // may lack just its end, as apple's terminating sector).
      kelb_host::clear_error();
      kelb_partition *p = map->find_partition(disk, std::to_string(s.partitions).c_str());
      if (w.calls.size() < s.partitions) {
        EXPECT_EQ(p, nullptr);
      }
      if (p) {
        EXPECT_EQ(p->index, static_cast<int32_t>(s.partitions - 1));
      }
      kelb_free(p);
    }
  }
}

// The same prefixes from image files cut at any byte (the host keeps whole
// sectors), walked through the file-backed disk.
TEST_F(PartmapRobustTest, ImageFilesCutInsideASectorEndWithAnErrorCode) {
  TempDir temp;
  const std::string path = temp / "robust-cut.img";
  for (const Scheme &s : Schemes()) {
    kelb_partition_map *map = LoadMap(s.module, s.map);
    ASSERT_NE(map, nullptr);
    for (size_t cut :
         {size_t{1}, size_t{511}, s.image.size() - kSector + 300, s.image.size() - 1}) {
      SCOPED_TRACE(std::string(s.module) + " cut to " + std::to_string(cut) + " bytes");
      FILE *f = fopen(path.c_str(), "wb");
      ASSERT_NE(f, nullptr);
      ASSERT_EQ(fwrite(s.image.data(), 1, cut, f), cut);
      fclose(f);
      kelb_disk *disk = kelb_host::open_image(path);
      ASSERT_NE(disk, nullptr) << Message();
      Walk w = CheckedWalk(map, disk);
      EXPECT_NE(w.result, KELB_ERR_NONE);
      kelb_host::close_disk(disk);
    }
  }
}

// Chains that never reach the end marker: back to the first block, to
// themselves, to a block in the middle, and a chain longer than any real
// disk's. Each walk ends with code 19 and a message, each block reported
// once; find_partition of a name past the loop finds nothing.
TEST_F(PartmapRobustTest, AmigaLoopingAndEndlessChainsEnd) {
  kelb_partition_map *map = LoadMap("amiga", "amiga_partition_map");
  ASSERT_NE(map, nullptr);
  struct Case {
    const char *what;
    std::vector<uint8_t> disk;
  } cases[] = {
      {"back to the first", AmigaChain(8, 0, {2, 3, 4}, 2)},
      {"to itself", AmigaChain(8, 0, {5}, 5)},
      {"into the middle", AmigaChain(8, 1, {7, 6, 5, 4}, 6)},
      {"the block of the rigid disk block", AmigaChain(8, 1, {1}, 0xFFFFFFFF)},
  };
  // The rigid disk block's own sector taken as a partition block: its "next"
  // (bytes 16-19) names itself.
  Put32BE(cases[3].disk, kSector + 16, 1);
  for (Case &c : cases) {
    SCOPED_TRACE(c.what);
    kelb_host::clear_error();
    Walk w = CheckedWalk(map, Disk(c.disk));
    EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
    EXPECT_FALSE(Message().empty());
    std::set<uint64_t> offsets;
    for (const HookCall &h : w.calls)
      EXPECT_TRUE(offsets.insert(h.part.offset).second) << "block at " << h.part.offset << " twice";
    kelb_host::clear_error();
    EXPECT_EQ(map->find_partition(Disk(c.disk), "99"), nullptr);
  }

  // A chain through 400 distinct blocks, longer than any real disk has.
  std::vector<int64_t> chain;
  for (int64_t b = 401; b > 1; b--) chain.push_back(b);
  kelb_host::clear_error();
  Walk w = CheckedWalk(map, Disk(AmigaChain(402, 0, chain)));
  EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
  EXPECT_LT(w.calls.size(), chain.size());
  EXPECT_FALSE(Message().empty());
}

// A map whose every sector carries the signature, none starting at block
// 1024: the walk runs to the end of the disk and ends with the read's error.
TEST_F(PartmapRobustTest, AppleMapFillingTheWholeDiskEnds) {
  kelb_partition_map *map = LoadMap("apple", "apple_partition_map");
  ASSERT_NE(map, nullptr);
  std::vector<uint8_t> b(kSector, 0);
  for (uint32_t i = 0; i < 2000; i++) {
    const std::vector<uint8_t> e = AppleEntry(2048 + i, 1);  // never block 1024
    b.insert(b.end(), e.begin(), e.end());
  }
  Walk w = CheckedWalk(map, Disk(b));
  EXPECT_NE(w.result, KELB_ERR_NONE);
  EXPECT_EQ(w.calls.size(), 2000u);
}

// Geometry bytes at their largest put the map far beyond the disk: the read
// fails with an error code, nothing is reported.
TEST_F(PartmapRobustTest, AcornMapBeyondTheDiskFails) {
  kelb_partition_map *map = LoadMap("acorn", "Linux/ADFS partition map");
  ASSERT_NE(map, nullptr);
  AcornDisk d = Acorn(1, 2, 4, 3);
  d.Boot()[449] = 0xFF;
  d.Boot()[450] = 0xFF;
  d.Boot()[456] = 0x40;
  d.Boot()[509] = d.Boot()[510] = 0xFF;
  d.Seal();
  const std::vector<uint8_t> &b = d.Bytes();
  Walk w = CheckedWalk(map, Disk(b));
  EXPECT_NE(w.result, KELB_ERR_NONE);
  EXPECT_TRUE(w.calls.empty());
  kelb_host::clear_error();
  EXPECT_EQ(map->find_partition(Disk(b), "1"), nullptr);
  EXPECT_NE(kelb_errno, KELB_ERR_NONE);
}

}  // namespace
