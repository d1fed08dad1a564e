// SPDX-License-Identifier: MIT
// The sun module, loaded for real, on Sun labels built here; what every
// module does alike is in every_map_test.cpp.

#include "tests/partmap/kelb_fixture.h"
#include "tests/partmap/typical_disks.h"

#include <climits>

using namespace kelb_test;

namespace {

class SunTest : public MapTest {
 protected:
  SunTest() : MapTest("sun", "sun_partition_map") {}
};

TEST_F(SunTest, ReportsEntriesInLabelOrderSkippingWholeDiskUnusedAndEmpty) {
  SunLabel label = TypicalSun();
  label
      .Entry(4, 0, 300, 5000)  // type 0: unused whatever its size
      .Entry(5, 130, 50, 0)    // size 0: skipped
      .Entry(6, 130, 10, 77);  // placed before entry 1 on disk
  kelb_disk *disk = Disk(label.Bytes());
  Walk w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_NONE);
  ASSERT_EQ(w.calls.size(), 4u);
  const int32_t idx[] = {0, 1, 3, 6};
  const uint64_t start[] = {0, 100800, 201600, 10080};
  const uint64_t length[] = {1000, 2000, 3000, 77};
  const char *names[] = {"1", "2", "4", "7"};
  for (size_t i = 0; i < 4; i++) {
    SCOPED_TRACE(i);
    const kelb_partition &p = w.calls[i].part;
    EXPECT_EQ(w.calls[i].disk, disk);
    EXPECT_EQ(p.index, idx[i]);
    EXPECT_EQ(p.start, start[i]);
    EXPECT_EQ(p.length, length[i]);
    EXPECT_EQ(p.offset, 0u);
    EXPECT_EQ(p.data, nullptr);
    EXPECT_EQ(p.map, map);
    EXPECT_EQ(Name(map, p), names[i]);
  }
  // One allocation per walk (its one read is checked with every map's).
  EXPECT_EQ(MallocCalls(), 1u + 4u);  // the walk's record, then the 4 names
}

TEST_F(SunTest, StartIsExact64BitProduct) {
  SunLabel label(0xFFFF, 0xFFFF);
  label.Entry(7, 131, 0xFFFFFFFFu, 0xFFFFFFFFu);
  Walk w = DoWalk(map, Disk(label.Bytes()));
  ASSERT_EQ(w.calls.size(), 1u);
  EXPECT_EQ(w.calls[0].part.start, 0xFFFFFFFFull * 0xFFFFull * 0xFFFFull);
  EXPECT_EQ(w.calls[0].part.start, 18446181123756261375ull);
  EXPECT_EQ(w.calls[0].part.length, 0xFFFFFFFFull);
  EXPECT_EQ(Name(map, w.calls[0].part), "8");
}

TEST_F(SunTest, RejectsSwappedMagicAndOneBitChecksumError) {
  std::vector<uint8_t> swapped = TypicalSun().Bytes();
  swapped[508] = 0xBE;
  swapped[509] = 0xDA;
  SunLabel::FixChecksum(swapped);
  Walk w = DoWalk(map, Disk(swapped));
  EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
  EXPECT_EQ(kelb_errno, KELB_ERR_BAD_PART_TABLE);
  EXPECT_EQ(Message(), "not a sun partition table");
  EXPECT_TRUE(w.calls.empty());

  kelb_host::clear_error();
  for (size_t bit : {0u, 9u, 15u}) {
    std::vector<uint8_t> bad = TypicalSun().Bytes();
    bad[510 + bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    w = DoWalk(map, Disk(bad));
    EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
    EXPECT_EQ(Message(), "invalid checksum");
    EXPECT_TRUE(w.calls.empty());
  }
  // A flipped bit in an entry is caught just the same.
  std::vector<uint8_t> bad = TypicalSun().Bytes();
  bad[451] ^= 0x10;
  w = DoWalk(map, Disk(bad));
  EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
  EXPECT_TRUE(w.calls.empty());
}

TEST_F(SunTest, EveryAllocationFailureIsReportedWithoutLeak) {
  kelb_disk *disk = Disk(TypicalSun().Bytes());
  // The walk's record: nothing is read.
  FailNthMalloc(1);
  Walk w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_OUT_OF_MEMORY);
  EXPECT_TRUE(w.calls.empty());
  EXPECT_EQ(kelb_host::read_count(disk), 0u);

  // find_partition: first the walk's record, then the copy.
  for (unsigned long n : {1ul, 2ul}) {
    SCOPED_TRACE(n);
    kelb_host::clear_error();
    FailNthMalloc(n);
    EXPECT_EQ(map->find_partition(disk, "2"), nullptr);
    EXPECT_EQ(kelb_errno, KELB_ERR_OUT_OF_MEMORY);
  }

  // partition_name.
  ExpectNameAllocationFailure(map, 2, "3");
}

TEST_F(SunTest, ReadFailureEndsWalkWithReadError) {
  kelb_disk *disk = Disk(TypicalSun().Bytes());
  FailReadsAt(disk, 0);
  Walk w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_READ_ERROR);
  EXPECT_TRUE(w.calls.empty());
  EXPECT_NE(Message().find("sector 0"), std::string::npos) << Message();
  EXPECT_EQ(map->find_partition(disk, "1"), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_READ_ERROR);

  // A disk shorter than one sector cannot hold a label at all.
  std::vector<uint8_t> tiny(100, 0);
  w = DoWalk(map, Disk(tiny));
  EXPECT_EQ(w.result, KELB_ERR_OUT_OF_RANGE);
  EXPECT_TRUE(w.calls.empty());
}

TEST_F(SunTest, PartitionNameCoversWholeIntRange) {
  kelb_partition p{};
  p.index = 7;
  EXPECT_EQ(Name(map, p), "8");
  p.index = INT32_MAX - 1;
  EXPECT_EQ(Name(map, p), "2147483647");
  p.index = INT32_MAX;  // wraps, and still fits the 13-byte buffer
  EXPECT_EQ(Name(map, p), "-2147483648");
}

}  // namespace
