// SPDX-License-Identifier: MIT
// Every partition-map module on disks that are too short or damaged (the
// Amiga chains built to loop are in tests/partmap/amiga_test.cpp): each walk and search ends, with an error code where the disk
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

// Amiga: the rigid disk block in sector 1, partition blocks 2 to 4.
Scheme Amiga() {
  AmigaDisk d(5);
  d.Rdb(1, 2).Chain(2, 3);
  return {"amiga", "amiga_partition_map", d.Bytes(), 3};
}

// Apple: an entry whose name and type fill their fields with no NUL at all.
const std::string kNoNul(32, 'N');

Scheme Apple() {
  // Entries in sectors 1 to 3; the zero sector 4 ends the map.
  AppleDisk d(5);
  for (uint32_t i = 0; i < 3; i++) d.Entry(1 + i, 10 + i, 5, kNoNul, kNoNul);
  return {"apple", "apple_partition_map", d.Bytes(), 3};
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

// A map whose every sector carries the signature, none starting at block
// 1024: the walk runs to the end of the disk and ends with the read's error.
TEST_F(PartmapRobustTest, AppleMapFillingTheWholeDiskEnds) {
  kelb_partition_map *map = LoadMap("apple", "apple_partition_map");
  ASSERT_NE(map, nullptr);
  AppleDisk d(2001);
  for (uint32_t i = 0; i < 2000; i++) d.Entry(1 + i, 2048 + i, 1, kNoNul, kNoNul);  // never 1024
  Walk w = CheckedWalk(map, Disk(d.Bytes()));
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
