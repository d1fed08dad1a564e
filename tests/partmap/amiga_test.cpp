// SPDX-License-Identifier: MIT
// The amiga module, loaded for real, on rigid disk blocks built here; what
// every module does alike is in every_map_test.cpp.

#include "tests/partmap/kelb_fixture.h"
#include "tests/partmap/typical_disks.h"

using namespace kelb_test;

namespace {

class AmigaTest : public MapTest {
 protected:
  AmigaTest() : MapTest("amiga", "amiga_partition_map") {}

  void ExpectNotFound(const Walk &w) {
    EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
    EXPECT_EQ(kelb_errno, KELB_ERR_BAD_PART_TABLE);
    EXPECT_EQ(Message(), "Amiga partition map not found.");
    EXPECT_TRUE(w.calls.empty());
  }
};

TEST_F(AmigaTest, ProductsAreThirtyTwoBit) {
  AmigaDisk d;
  // High below low wraps: (3 - 5 + 1) * 1 * 1 = 2^32 - 1.
  d.Rdb(0, 2).Part(2, 3, 1, 1, 5, 3);
  // 0x10000 * 0x10001 * 3 = 0x300030000, kept modulo 2^32.
  d.Part(3, kAmigaEnd, 0x10001, 3, 0x10000, 0x10000);
  Walk w = DoWalk(map, Disk(d.Bytes()));
  EXPECT_EQ(w.result, KELB_ERR_NONE);
  ASSERT_EQ(w.calls.size(), 2u);
  EXPECT_EQ(w.calls[0].part.start, 5u);
  EXPECT_EQ(w.calls[0].part.length, 4294967295u);
  EXPECT_EQ(w.calls[1].part.start, 0x30000u);
  EXPECT_EQ(w.calls[1].part.length, 0x30003u);
}

TEST_F(AmigaTest, SearchesSectorsZeroToFourteenOnly) {
  AmigaDisk at14;
  at14.Rdb(14, 20).Part(20, kAmigaEnd, 1, 1, 0, 9);
  Walk w = DoWalk(map, Disk(at14.Bytes()));
  EXPECT_EQ(w.result, KELB_ERR_NONE);
  ASSERT_EQ(w.calls.size(), 1u);
  EXPECT_EQ(w.calls[0].part.offset, 20u * 512);

  AmigaDisk at15;
  at15.Rdb(15, 20).Part(20, kAmigaEnd, 1, 1, 0, 9);
  ExpectNotFound(DoWalk(map, Disk(at15.Bytes())));

  // The first rigid disk block ends the search even when its list is empty.
  AmigaDisk first_empty;
  first_empty.Rdb(2, kAmigaEnd).Rdb(4, 20).Part(20, kAmigaEnd, 1, 1, 0, 9);
  kelb_host::clear_error();
  ExpectNotFound(DoWalk(map, Disk(first_empty.Bytes())));

  // An empty list, and a blank disk.
  AmigaDisk empty;
  empty.Rdb(0, kAmigaEnd);
  kelb_host::clear_error();
  ExpectNotFound(DoWalk(map, Disk(empty.Bytes())));
  kelb_host::clear_error();
  ExpectNotFound(DoWalk(map, Disk(AmigaDisk().Bytes())));
}

TEST_F(AmigaTest, IdentifierNeedsNulAfterRdsk) {
  AmigaDisk d;
  d.Rdb(1, 3).Part(3, kAmigaEnd, 1, 1, 0, 0);
  d.Bytes()[512 + 4] = 0x01;  // a size field whose top byte is not 0
  ExpectNotFound(DoWalk(map, Disk(d.Bytes())));

  d.Bytes()[512 + 4] = 0;
  d.Bytes()[512 + 3] = 'k';
  kelb_host::clear_error();
  ExpectNotFound(DoWalk(map, Disk(d.Bytes())));
}

TEST_F(AmigaTest, ReadFailuresEndWalkWithReadError) {
  // No rigid disk block in sectors 0-2 and sector 3 unreadable: the read's
  // code, not 19.
  AmigaDisk d;
  d.Rdb(5, 6).Part(6, kAmigaEnd, 1, 1, 0, 0);
  kelb_disk *disk = Disk(d.Bytes());
  FailReadsAt(disk, 3);
  Walk w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_READ_ERROR);
  EXPECT_EQ(kelb_errno, KELB_ERR_READ_ERROR);
  EXPECT_NE(Message().find("sector 3"), std::string::npos) << Message();
  EXPECT_TRUE(w.calls.empty());

  // A partition block in the middle of the chain: those before it stay handed.
  kelb_host::clear_error();
  disk = Disk(TypicalAmiga().Bytes());
  FailReadsAt(disk, 5);
  w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_READ_ERROR);
  EXPECT_EQ(w.calls.size(), 2u);
  kelb_host::clear_error();
  EXPECT_EQ(map->find_partition(disk, "3"), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_READ_ERROR);

  // A disk shorter than 15 sectors without a rigid disk block runs off its end.
  kelb_host::clear_error();
  std::vector<uint8_t> small(4 * 512, 0);
  w = DoWalk(map, Disk(small));
  EXPECT_EQ(w.result, KELB_ERR_OUT_OF_RANGE);
  EXPECT_TRUE(w.calls.empty());
}

TEST_F(AmigaTest, HighLinkIsSignExtendedAndItsReadFails) {
  AmigaDisk d = TypicalAmiga();
  Put32BE(d.Bytes(), 7 * 512 + 16, 0x80000000);  // second block's next link
  kelb_disk *disk = Disk(d.Bytes());
  Walk w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_OUT_OF_RANGE);
  EXPECT_NE(Message().find("18446744071562067968"), std::string::npos)
      << "sector 0xFFFFFFFF80000000: " << Message();
  ASSERT_EQ(w.calls.size(), 2u);
  EXPECT_EQ(w.calls[1].part.offset, 3584u);

  // The same link as the rigid disk block's list: nothing is handed.
  kelb_host::clear_error();
  AmigaDisk first;
  first.Rdb(0, 0xFFFFFFFE);
  w = DoWalk(map, Disk(first.Bytes()));
  EXPECT_EQ(w.result, KELB_ERR_OUT_OF_RANGE);
  EXPECT_TRUE(w.calls.empty());
}

TEST_F(AmigaTest, ChainThatLoopsEndsWithErrorAndNoPartitionTwice) {
  AmigaDisk d = TypicalAmiga();
  Put32BE(d.Bytes(), 5 * 512 + 16, 7);  // 3 -> 7 -> 5 -> 7
  kelb_disk *disk = Disk(d.Bytes());
  Walk w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
  EXPECT_EQ(Message(), "Amiga partition map: the partition block chain loops back to block 7.");
  ASSERT_EQ(w.calls.size(), 3u);
  EXPECT_EQ(w.calls[2].part.offset, 5u * 512);

  // find_partition finds what lies before the loop and fails beyond it.
  kelb_host::clear_error();
  kelb_partition *p = map->find_partition(disk, "3");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->index, 2);
  kelb_free(p);
  EXPECT_EQ(map->find_partition(disk, "4"), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_BAD_PART_TABLE);
}

// Chains that loop elsewhere: back to the first block, a block that links to
// itself, and a list that points at the rigid disk block, which is then
// taken as a partition block that links to itself. Each walk ends with code
// 19 and reports each block once; a name past the loop is not found.
TEST_F(AmigaTest, ChainsThatLoopBackToTheStartOrToThemselvesEnd) {
  struct Case {
    const char *what;
    AmigaDisk disk;
    size_t blocks;  // reported before the loop shows
  } cases[] = {{"back to the first", AmigaDisk(), 3},
               {"to itself", AmigaDisk(), 1},
               {"the rigid disk block", AmigaDisk(), 1}};
  cases[0].disk.Rdb(0, 2).Chain(2, 3);
  Put32BE(cases[0].disk.Bytes(), 4 * 512 + 16, 2);
  cases[1].disk.Rdb(0, 2).Part(2, 2, 1, 1, 0, 0);
  cases[2].disk.Rdb(1, 1);
  Put32BE(cases[2].disk.Bytes(), 512 + 16, 1);
  for (Case &c : cases) {
    SCOPED_TRACE(c.what);
    kelb_host::clear_error();
    kelb_disk *disk = Disk(c.disk.Bytes());
    Walk w = DoWalk(map, disk);
    EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
    EXPECT_FALSE(Message().empty());
    ASSERT_EQ(w.calls.size(), c.blocks);
    for (size_t i = 0; i < w.calls.size(); i++) EXPECT_EQ(w.calls[i].part.index, int32_t(i));
    kelb_host::clear_error();
    EXPECT_EQ(map->find_partition(disk, "99"), nullptr);
    EXPECT_EQ(kelb_errno, KELB_ERR_BAD_PART_TABLE);
  }
}

TEST_F(AmigaTest, ChainLongerThanBoundEndsWithError) {
  // 128 partition blocks are walked to the end; the 129th is refused.
  AmigaDisk full(200);
  full.Rdb(0, 10).Chain(10, 128);
  Walk w = DoWalk(map, Disk(full.Bytes()));
  EXPECT_EQ(w.result, KELB_ERR_NONE);
  ASSERT_EQ(w.calls.size(), 128u);
  EXPECT_EQ(w.calls[127].part.index, 127);

  AmigaDisk over(200);
  over.Rdb(0, 10).Chain(10, 129);
  kelb_disk *disk = Disk(over.Bytes());
  w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
  EXPECT_EQ(Message(), "Amiga partition map: the partition block chain is longer than 128 blocks.");
  EXPECT_EQ(w.calls.size(), 128u);
  EXPECT_EQ(kelb_host::read_count(disk), 1u + 128u) << "block 138 was read";
}

TEST_F(AmigaTest, AllocationFailuresReturnNullWithoutLeak) {
  kelb_disk *disk = Disk(TypicalAmiga().Bytes());
  FailNthMalloc(1);  // the copy of the wanted partition
  EXPECT_EQ(map->find_partition(disk, "3"), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_OUT_OF_MEMORY);

  ExpectNameAllocationFailure(map, 41, "42");
}

}  // namespace
