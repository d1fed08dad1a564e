// The sun module, loaded for real, on Sun labels built here.

#include "kelb_fixture.h"

#include <climits>

using namespace kelb_test;

namespace {

struct SunEntry {
  uint8_t type;
  uint32_t start_cyl;
  uint32_t sectors;
};

// A label in sector 0 of a disk of `disk_sectors` sectors, with a correct
// checksum word.
class SunLabel {
public:
  explicit SunLabel(uint16_t tracks = 16, uint16_t sectors_per_track = 63)
      : tracks_(tracks), spt_(sectors_per_track) {}

  SunLabel &Entry(unsigned i, uint8_t type, uint32_t start_cyl, uint32_t sectors) {
    entries_[i] = SunEntry{type, start_cyl, sectors};
    return *this;
  }

  std::vector<uint8_t> Bytes(size_t disk_sectors = 4) const {
    std::vector<uint8_t> b(disk_sectors * 512, 0);
    Put16BE(b, 436, tracks_);
    Put16BE(b, 438, spt_);
    for (unsigned i = 0; i < 8; i++) {
      b[142 + 4 * i] = 0;
      b[143 + 4 * i] = entries_[i].type;
      Put32BE(b, 444 + 8 * i, entries_[i].start_cyl);
      Put32BE(b, 448 + 8 * i, entries_[i].sectors);
    }
    b[508] = 0xDA;
    b[509] = 0xBE;
    FixChecksum(b);
    return b;
  }

  // Sets the checksum word so that the XOR of all 256 words is 0.
  static void FixChecksum(std::vector<uint8_t> &b) {
    uint16_t x = 0;
    for (size_t i = 0; i < 510; i += 2)
      x ^= static_cast<uint16_t>((b[i] << 8) | b[i + 1]);
    Put16BE(b, 510, x);
  }

private:
  uint16_t tracks_, spt_;
  SunEntry entries_[8] = {};
};

class SunTest : public KelbTest {
protected:
  void SetUp() override {
    KelbTest::SetUp();
    map = LoadMap("sun", "sun_partition_map");
    ASSERT_NE(map, nullptr);
  }

  // A typical label: 1 at cyl 0, 2 at cyl 100, 3 whole disk, 4 at cyl 200.
  static SunLabel Typical() {
    return SunLabel(16, 63)
        .Entry(0, 2, 0, 1000)
        .Entry(1, 3, 100, 2000)
        .Entry(2, 5, 0, 400000)
        .Entry(3, 7, 200, 3000);
  }

  kelb_partition_map *map = nullptr;
};

TEST_F(SunTest, ModuleFileExportsOnlyEntryPointsAndImportsOnlyServices) {
  ExpectEntryPoints("sun");
}

TEST_F(SunTest, RecordRegisteredAndUnregisteredThroughExportedEntries) {
  EXPECT_STREQ(map->name, "sun_partition_map");
  EXPECT_EQ(map->next, nullptr);
  // The named entries do the work of kelb_mod_fini and kelb_mod_init.
  ExpectNamedEntriesReregister("sun", map, [] { return kelb_host::maps(); });
}

TEST_F(SunTest, ReportsEntriesInLabelOrderSkippingWholeDiskUnusedAndEmpty) {
  SunLabel label = Typical();
  label.Entry(4, 0, 300, 5000)    // type 0: unused whatever its size
      .Entry(5, 130, 50, 0)       // size 0: skipped
      .Entry(6, 130, 10, 77);     // placed before entry 1 on disk
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
  // One allocation per walk, and one read.
  EXPECT_EQ(MallocCalls(), 1u + 4u); // the walk's record, then the 4 names
  EXPECT_EQ(kelb_host::read_count(disk), 1u);
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
  std::vector<uint8_t> swapped = Typical().Bytes();
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
    std::vector<uint8_t> bad = Typical().Bytes();
    bad[510 + bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    w = DoWalk(map, Disk(bad));
    EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
    EXPECT_EQ(Message(), "invalid checksum");
    EXPECT_TRUE(w.calls.empty());
  }
  // A flipped bit in an entry is caught just the same.
  std::vector<uint8_t> bad = Typical().Bytes();
  bad[451] ^= 0x10;
  w = DoWalk(map, Disk(bad));
  EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
  EXPECT_TRUE(w.calls.empty());
}

TEST_F(SunTest, HookStoppingEarlyEndsWalkWithCurrentError) {
  kelb_disk *disk = Disk(Typical().Bytes());
  ExpectHookStopsWalk(map, disk);

  // The walk never clears the code: an old error comes back from a full walk.
  kelb_error(KELB_ERR_BAD_NUMBER, "old");
  Walk w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_BAD_NUMBER);
  EXPECT_EQ(w.calls.size(), 3u);
}

TEST_F(SunTest, HooksGetCallersPartitionHandleWhileReadsCountFromWholeDisk) {
  std::vector<uint8_t> bytes = Typical().Bytes(8);
  kelb_disk *disk = Disk(bytes);
  kelb_partition p{};
  p.start = 4; // sector 0 of this handle is sector 4 of the disk
  p.length = 4;
  p.index = 1;
  kelb_disk *part = nullptr;
  Walk w;
  ASSERT_NO_FATAL_FAILURE(WalkOnPartition(map, disk, p, 3, part, w));
  EXPECT_EQ(w.calls[1].part.start, 100800u);

  kelb_partition *found = map->find_partition(part, "4");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->index, 3);
  kelb_free(found);
}

TEST_F(SunTest, FindPartitionByName) {
  kelb_disk *disk = Disk(Typical().Bytes());
  kelb_partition *p = map->find_partition(disk, "1");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->index, 0);
  EXPECT_EQ(p->offset, 0u);
  EXPECT_EQ(p->length, 1000u);
  EXPECT_EQ(p->map, map);
  kelb_free(p);

  p = map->find_partition(disk, "4");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->index, 3);
  EXPECT_EQ(p->start, 201600u);
  kelb_free(p);

  // Characters after the number are not looked at.
  p = map->find_partition(disk, "2x");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->index, 1);
  kelb_free(p);

  // "0" wants index -1, "3" is the whole-disk entry, "9" lies beyond the
  // label, and a number beyond 32 bits does not wrap onto "1".
  ExpectNoPartition(map, disk, {"0", "3", "9", "4294967297"});

  ExpectInvalidName(map, disk, {"", "x", "-1", " 1", "99999999999999999999999"});
}

TEST_F(SunTest, FindPartitionClearsStaleErrorFirst) {
  kelb_disk *disk = Disk(Typical().Bytes());
  kelb_error(KELB_ERR_READ_ERROR, "left over");
  kelb_partition *p = map->find_partition(disk, "2");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->index, 1);
  EXPECT_EQ(kelb_errno, KELB_ERR_NONE);
  kelb_free(p);
}

TEST_F(SunTest, FindPartitionOnForeignDiskLeavesWalkError) {
  std::vector<uint8_t> blank(2048, 0);
  EXPECT_EQ(map->find_partition(Disk(blank), "1"), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_BAD_PART_TABLE);
  EXPECT_EQ(Message(), "not a sun partition table");
}

TEST_F(SunTest, EveryAllocationFailureIsReportedWithoutLeak) {
  kelb_disk *disk = Disk(Typical().Bytes());
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
  kelb_disk *disk = Disk(Typical().Bytes());
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
  p.index = INT32_MAX; // wraps, and still fits the 13-byte buffer
  EXPECT_EQ(Name(map, p), "-2147483648");
}

} // namespace
