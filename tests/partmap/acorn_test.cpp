// SPDX-License-Identifier: MIT
// The acorn module, loaded for real, on ADFS boot blocks and Linux partition
// maps built here; what every module does alike is in every_map_test.cpp.

#include "tests/partmap/kelb_fixture.h"
#include "tests/partmap/typical_disks.h"

using namespace kelb_test;

namespace {

class AcornTest : public MapTest {
 protected:
  AcornTest() : MapTest("acorn", "Linux/ADFS partition map") {}

  void ExpectNotFound(kelb_disk *disk) {
    kelb_host::clear_error();
    Walk w = DoWalk(map, disk);
    EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
    EXPECT_EQ(Message(), "Linux/ADFS partition map not found.");
    EXPECT_TRUE(w.calls.empty());
    kelb_host::clear_error();
    EXPECT_EQ(map->find_partition(disk, "1"), nullptr);
    EXPECT_EQ(kelb_errno, KELB_ERR_BAD_PART_TABLE);
    EXPECT_EQ(Message(), "Linux/ADFS partition map not found.");
  }
};

// find_partition looks at the entry directly, past the unused one.
TEST_F(AcornTest, FindPartitionLooksPastAnEntryNotInUse) {
  kelb_partition *p = map->find_partition(Disk(TypicalAcorn().Bytes()), "5");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->index, 4);
  EXPECT_EQ(p->start, 56u);
  EXPECT_EQ(p->offset, 6u);
  kelb_free(p);
}

TEST_F(AcornTest, ChecksumFoldsCarryBackIn) {
  // The rule on its own, as three worked examples.
  std::vector<uint8_t> block(512, 0);
  block[0] = block[1] = 0x80;
  EXPECT_EQ(AcornBootChecksum(block.data()), 0x01);
  std::fill(block.begin(), block.end(), 0xFF);
  EXPECT_EQ(AcornBootChecksum(block.data()), 0xFE);
  std::fill(block.begin(), block.end(), 0);
  block[508] = 0x09;
  block[509] = block[510] = 0x80;
  EXPECT_EQ(AcornBootChecksum(block.data()), 0x09);

  // The module agrees, and refuses the plain byte sum where they differ.
  // Flags 0x09, start cylinder 0x8080, no geometry: the map is in sector 0.
  AcornDisk last_carry(8, 0, 0, false, 0x8080);
  EXPECT_EQ(last_carry.Boot()[511], 0x09);
  kelb_disk *disk = Disk(last_carry.Bytes());
  EXPECT_EQ(DoWalk(map, disk).result, KELB_ERR_NONE);
  last_carry.Boot()[511] = 0x0A;
  ExpectNotFound(Disk(last_carry.Bytes()));

  // Bytes 0 and 1 both 0x80: the carry comes back with the next byte.
  AcornDisk carried(8, 0, 0, false, 0);
  carried.Boot()[0] = carried.Boot()[1] = 0x80;
  carried.Seal();
  EXPECT_EQ(carried.Boot()[511], 0x0A);  // 0x01 + flags 0x09
  EXPECT_EQ(DoWalk(map, Disk(carried.Bytes())).result, KELB_ERR_NONE);
  carried.Boot()[511] = 0x09;  // the sum without the carry
  ExpectNotFound(Disk(carried.Bytes()));

  // All ones but a type-9 flags byte: accepted, with the largest geometry,
  // 65535 x 255 x 256, which fits 32 bits; that map lies far beyond this
  // disc, so its read fails.
  AcornDisk ones(8, 0, 0, false, 0);
  std::fill(ones.Boot(), ones.Boot() + 511, 0xFF);
  ones.Boot()[508] = 0xF9;
  ones.Seal();
  kelb_host::clear_error();
  EXPECT_EQ(DoWalk(map, Disk(ones.Bytes())).result, KELB_ERR_OUT_OF_RANGE);
  EXPECT_NE(Message().find("4278124800"), std::string::npos) << Message();
  ones.Boot()[511] ^= 1;
  ExpectNotFound(Disk(ones.Bytes()));
}

TEST_F(AcornTest, FlagsLowNibbleMustBeNine) {
  AcornDisk high_bits(32, 4, 2, false, 1, 0x19);
  high_bits.Entry(0, kAcornLinux, 1, 1);
  EXPECT_EQ(DoWalk(map, Disk(high_bits.Bytes())).calls.size(), 1u);

  AcornDisk other(32, 4, 2, false, 1, 0x0A);
  other.Entry(0, kAcornLinux, 1, 1);
  ExpectNotFound(Disk(other.Bytes()));

  ExpectNotFound(Disk(std::vector<uint8_t>(16 * 512, 0)));
}

TEST_F(AcornTest, MapSectorComesFromTheDiscGeometry) {
  // 10 cylinders x 63 sectors x (15 heads + 1 for bit 6 of byte 456).
  AcornDisk d(10200, 63, 15, true, 10);
  d.Entry(0, kAcornLinux, 1000, 77);
  kelb_disk *disk = Disk(d.Bytes());
  Walk w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_NONE);
  ASSERT_EQ(w.calls.size(), 1u);
  EXPECT_EQ(w.calls[0].part.start, 11080u);
  EXPECT_EQ(w.calls[0].part.length, 77u);
  EXPECT_EQ(w.calls[0].part.offset, 6u);
  // The map is read from sector 10080.
  FailReadsAt(disk, 10080);
  w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_READ_ERROR);
  EXPECT_NE(Message().find("sector 10080"), std::string::npos) << Message();
  EXPECT_TRUE(w.calls.empty());

  // Cylinder 0 puts the map in sector 0: starts are the entries' own.
  AcornDisk zero(16, 63, 15, true, 0);
  zero.Entry(0, kAcornSwap, 123, 4);
  w = DoWalk(map, Disk(zero.Bytes()));
  ASSERT_EQ(w.calls.size(), 1u);
  EXPECT_EQ(w.calls[0].part.start, 123u);

  // Only bit 6 of byte 456 counts.
  kelb_host::clear_error();
  d.Boot()[456] = 0xFF;
  d.Seal();
  w = DoWalk(map, Disk(d.Bytes()));
  ASSERT_EQ(w.calls.size(), 1u);
  EXPECT_EQ(w.calls[0].part.start, 11080u);
  d.Boot()[456] = 0xBF;  // 15 heads: the map would lie at sector 9450
  d.Seal();
  Put32LE(d.Bytes(), 9450 * 512, kAcornLinux);
  Put32LE(d.Bytes(), 9450 * 512 + 4, 50);
  w = DoWalk(map, Disk(d.Bytes()));
  ASSERT_EQ(w.calls.size(), 1u);
  EXPECT_EQ(w.calls[0].part.start, 9500u);
}

TEST_F(AcornTest, FortyTwoEntriesAndTheNameRange) {
  AcornDisk d(400, 16, 1, false, 1);
  for (unsigned i = 0; i < 42; i++)
    d.Entry(i, i % 2 ? kAcornSwap : kAcornLinux, 100 + i * 5, i + 1);
  kelb_disk *disk = Disk(d.Bytes());
  Walk w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_NONE);
  ASSERT_EQ(w.calls.size(), 42u);
  EXPECT_EQ(w.calls[41].part.index, 41);
  EXPECT_EQ(w.calls[41].part.start, 16u + 100 + 41 * 5);
  EXPECT_EQ(Name(map, w.calls[41].part), "42");

  kelb_partition *p = map->find_partition(disk, "42");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->index, 41);
  EXPECT_EQ(p->length, 42u);
  EXPECT_EQ(p->map, map);
  kelb_free(p);
}

TEST_F(AcornTest, FindPartitionJudgesByRangeAndEntryOnly) {
  AcornDisk d = TypicalAcorn();
  Put32LE(d.Bytes(), 16 * 512, 0);  // entry 0 not in use
  kelb_disk *disk = Disk(d.Bytes());
  Walk w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_NONE);
  EXPECT_TRUE(w.calls.empty());

  // An old error is neither cleared nor read.
  kelb_error(KELB_ERR_READ_ERROR, "left over");
  kelb_partition *p = map->find_partition(disk, "2nd");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->index, 1);
  EXPECT_EQ(p->start, 26u);
  EXPECT_EQ(p->length, 20u);
  EXPECT_EQ(p->offset, 6u);
  EXPECT_EQ(p->data, nullptr);
  EXPECT_EQ(p->map, map);
  kelb_free(p);

  for (const char *unused : {"1", "4", "6", "42"}) {
    SCOPED_TRACE(unused);
    kelb_host::clear_error();
    EXPECT_EQ(map->find_partition(disk, unused), nullptr);
    EXPECT_EQ(kelb_errno, KELB_ERR_BAD_PARTITION);
    EXPECT_EQ(Message(), "invalid partition");
  }
}

TEST_F(AcornTest, FailedReadsAndAllocationsReachTheCaller) {
  for (uint64_t sector : {6u, 16u}) {
    SCOPED_TRACE(sector);
    kelb_host::clear_error();
    kelb_disk *disk = Disk(TypicalAcorn().Bytes());
    FailReadsAt(disk, sector);
    Walk w = DoWalk(map, disk);
    EXPECT_EQ(w.result, KELB_ERR_READ_ERROR);
    EXPECT_TRUE(w.calls.empty());
    kelb_host::clear_error();
    EXPECT_EQ(map->find_partition(disk, "1"), nullptr);
    EXPECT_EQ(kelb_errno, KELB_ERR_READ_ERROR);
  }

  // A disc too short to hold the boot block.
  kelb_host::clear_error();
  EXPECT_EQ(DoWalk(map, Disk(std::vector<uint8_t>(6 * 512, 0))).result, KELB_ERR_OUT_OF_RANGE);

  kelb_host::clear_error();
  kelb_disk *disk = Disk(TypicalAcorn().Bytes());
  FailNthMalloc(1);  // the returned record
  EXPECT_EQ(map->find_partition(disk, "1"), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_OUT_OF_MEMORY);

  ExpectNameAllocationFailure(map, 41, "42");
}

}  // namespace
