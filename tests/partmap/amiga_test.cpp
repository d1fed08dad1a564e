// The amiga module, loaded for real, on rigid disk blocks built here.

#include "kelb_fixture.h"

using namespace kelb_test;

namespace {

constexpr uint32_t kEnd = 0xFFFFFFFF;

// A disk image with a rigid disk block and partition blocks placed by hand.
class AmigaDisk {
public:
  explicit AmigaDisk(size_t sectors = 32) : b_(sectors * 512, 0) {}

  // A rigid disk block in `sector` whose partition list is `list`.
  AmigaDisk &Rdb(size_t sector, uint32_t list) {
    const size_t at = sector * 512;
    std::copy_n("RDSK", 4, b_.begin() + static_cast<long>(at));
    Put32BE(b_, at + 4, 64); // block size in words: byte 4 is 0
    Put32BE(b_, at + 28, list);
    Put32BE(b_, at + 32, kEnd);
    return *this;
  }

  AmigaDisk &Part(size_t block, uint32_t next, uint32_t surfaces, uint32_t per_track,
                  uint32_t low, uint32_t high) {
    const size_t at = block * 512;
    std::copy_n("PART", 4, b_.begin() + static_cast<long>(at));
    Put32BE(b_, at + 16, next);
    Put32BE(b_, at + 140, surfaces);
    Put32BE(b_, at + 148, per_track);
    Put32BE(b_, at + 164, low);
    Put32BE(b_, at + 168, high);
    return *this;
  }

  // A chain of `n` partition blocks from block `first` on, each one cylinder.
  AmigaDisk &Chain(size_t first, size_t n) {
    for (size_t i = 0; i < n; i++)
      Part(first + i, i + 1 < n ? static_cast<uint32_t>(first + i + 1) : kEnd, 1, 1,
           static_cast<uint32_t>(i), static_cast<uint32_t>(i));
    return *this;
  }

  std::vector<uint8_t> &Bytes() { return b_; }

private:
  std::vector<uint8_t> b_;
};

// Three partition blocks chained 3 -> 7 -> 5.
AmigaDisk Typical() {
  AmigaDisk d;
  d.Rdb(1, 3)
      .Part(3, 7, 4, 32, 2, 5)
      .Part(7, 5, 2, 16, 10, 19)
      .Part(5, kEnd, 1, 63, 100, 100);
  return d;
}

class AmigaTest : public KelbTest {
protected:
  void SetUp() override {
    KelbTest::SetUp();
    map = LoadMap("amiga", "amiga_partition_map");
    ASSERT_NE(map, nullptr);
  }

  void ExpectNotFound(const Walk &w) {
    EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
    EXPECT_EQ(kelb_errno, KELB_ERR_BAD_PART_TABLE);
    EXPECT_EQ(Message(), "Amiga partition map not found.");
    EXPECT_TRUE(w.calls.empty());
  }

  kelb_partition_map *map = nullptr;
};

TEST_F(AmigaTest, ModuleFileAndRegisteredRecord) {
  ExpectEntryPoints("amiga");
  EXPECT_STREQ(map->name, "amiga_partition_map");
  ExpectNamedEntriesReregister("amiga", map,
                               [] { return kelb_host::find_map("amiga_partition_map"); });
}

TEST_F(AmigaTest, FollowsChainInOrderWithGeometryProducts) {
  kelb_disk *disk = Disk(Typical().Bytes());
  Walk w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_NONE);
  ASSERT_EQ(w.calls.size(), 3u);
  const uint64_t start[] = {256, 320, 6300};
  const uint64_t length[] = {512, 320, 63};
  const uint64_t offset[] = {1536, 3584, 2560};
  for (size_t i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    const kelb_partition &p = w.calls[i].part;
    EXPECT_EQ(w.calls[i].disk, disk);
    EXPECT_EQ(p.index, static_cast<int32_t>(i));
    EXPECT_EQ(p.start, start[i]);
    EXPECT_EQ(p.length, length[i]);
    EXPECT_EQ(p.offset, offset[i]);
    EXPECT_EQ(p.data, nullptr);
    EXPECT_EQ(p.map, map);
    EXPECT_EQ(Name(map, p), std::to_string(i + 1));
  }
  // The walk allocates nothing: the only allocations were the three names.
  EXPECT_EQ(MallocCalls(), 3u);
}

TEST_F(AmigaTest, ProductsAreThirtyTwoBit) {
  AmigaDisk d;
  // High below low wraps: (3 - 5 + 1) * 1 * 1 = 2^32 - 1.
  d.Rdb(0, 2).Part(2, 3, 1, 1, 5, 3);
  // 0x10000 * 0x10001 * 3 = 0x300030000, kept modulo 2^32.
  d.Part(3, kEnd, 0x10001, 3, 0x10000, 0x10000);
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
  at14.Rdb(14, 20).Part(20, kEnd, 1, 1, 0, 9);
  Walk w = DoWalk(map, Disk(at14.Bytes()));
  EXPECT_EQ(w.result, KELB_ERR_NONE);
  ASSERT_EQ(w.calls.size(), 1u);
  EXPECT_EQ(w.calls[0].part.offset, 20u * 512);

  AmigaDisk at15;
  at15.Rdb(15, 20).Part(20, kEnd, 1, 1, 0, 9);
  ExpectNotFound(DoWalk(map, Disk(at15.Bytes())));

  // The first rigid disk block ends the search even when its list is empty.
  AmigaDisk first_empty;
  first_empty.Rdb(2, kEnd).Rdb(4, 20).Part(20, kEnd, 1, 1, 0, 9);
  kelb_host::clear_error();
  ExpectNotFound(DoWalk(map, Disk(first_empty.Bytes())));

  // An empty list, and a blank disk.
  AmigaDisk empty;
  empty.Rdb(0, kEnd);
  kelb_host::clear_error();
  ExpectNotFound(DoWalk(map, Disk(empty.Bytes())));
  kelb_host::clear_error();
  ExpectNotFound(DoWalk(map, Disk(AmigaDisk().Bytes())));
}

TEST_F(AmigaTest, IdentifierNeedsNulAfterRdsk) {
  AmigaDisk d;
  d.Rdb(1, 3).Part(3, kEnd, 1, 1, 0, 0);
  d.Bytes()[512 + 4] = 0x01; // a size field whose top byte is not 0
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
  d.Rdb(5, 6).Part(6, kEnd, 1, 1, 0, 0);
  kelb_disk *disk = Disk(d.Bytes());
  FailReadsAt(disk, 3);
  Walk w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_READ_ERROR);
  EXPECT_EQ(kelb_errno, KELB_ERR_READ_ERROR);
  EXPECT_NE(Message().find("sector 3"), std::string::npos) << Message();
  EXPECT_TRUE(w.calls.empty());

  // A partition block in the middle of the chain: those before it stay handed.
  kelb_host::clear_error();
  disk = Disk(Typical().Bytes());
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
  AmigaDisk d = Typical();
  Put32BE(d.Bytes(), 7 * 512 + 16, 0x80000000); // second block's next link
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
  AmigaDisk d = Typical();
  Put32BE(d.Bytes(), 5 * 512 + 16, 7); // 3 -> 7 -> 5 -> 7
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

  // A block that links to itself, and a list that points at the rigid disk
  // block, which is then taken as a partition block that links to itself.
  kelb_host::clear_error();
  AmigaDisk self;
  self.Rdb(0, 2).Part(2, 2, 1, 1, 0, 0);
  w = DoWalk(map, Disk(self.Bytes()));
  EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
  EXPECT_EQ(w.calls.size(), 1u);

  kelb_host::clear_error();
  AmigaDisk rdb_loop;
  rdb_loop.Rdb(1, 1);
  Put32BE(rdb_loop.Bytes(), 512 + 16, 1);
  w = DoWalk(map, Disk(rdb_loop.Bytes()));
  EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
  EXPECT_EQ(w.calls.size(), 1u);
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
  EXPECT_EQ(Message(),
            "Amiga partition map: the partition block chain is longer than 128 blocks.");
  EXPECT_EQ(w.calls.size(), 128u);
  EXPECT_EQ(kelb_host::read_count(disk), 1u + 128u) << "block 138 was read";
}

TEST_F(AmigaTest, HookStoppingEarlyReturnsCurrentError) {
  kelb_disk *disk = Disk(Typical().Bytes());
  ExpectHookStopsWalk(map, disk);

  // A walk that runs to the end returns 0 even with an old error set.
  Walk w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_NONE);
  EXPECT_EQ(w.calls.size(), 3u);
}

TEST_F(AmigaTest, HooksGetCallersPartitionHandleWhileReadsCountFromWholeDisk) {
  kelb_disk *disk = Disk(Typical().Bytes());
  kelb_partition on{};
  on.start = 16;
  on.length = 16;
  kelb_disk *part = nullptr;
  Walk w;
  ASSERT_NO_FATAL_FAILURE(WalkOnPartition(map, disk, on, 3, part, w));
  kelb_partition *p = map->find_partition(part, "2");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->offset, 3584u);
  kelb_free(p);
}

TEST_F(AmigaTest, FindPartitionByName) {
  kelb_disk *disk = Disk(Typical().Bytes());
  kelb_partition *p = map->find_partition(disk, "2");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->index, 1);
  EXPECT_EQ(p->start, 320u);
  EXPECT_EQ(p->length, 320u);
  EXPECT_EQ(p->offset, 3584u);
  EXPECT_EQ(p->data, nullptr);
  EXPECT_EQ(p->map, map);
  kelb_free(p);

  p = map->find_partition(disk, "3rd"); // what follows the number is ignored
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->index, 2);
  kelb_free(p);

  ExpectNoPartition(map, disk, {"0", "4", "4294967297"});

  ExpectInvalidName(map, disk, {"", "x", "99999999999999999999999"});

  // The error code is not cleared before the parse: an old one refuses too.
  kelb_error(KELB_ERR_READ_ERROR, "left over");
  const uint64_t reads = kelb_host::read_count(disk);
  EXPECT_EQ(map->find_partition(disk, "1"), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_BAD_PARTITION);
  EXPECT_EQ(kelb_host::read_count(disk), reads);

  // On a disk without the map the walk's error stays.
  kelb_host::clear_error();
  EXPECT_EQ(map->find_partition(Disk(AmigaDisk().Bytes()), "1"), nullptr);
  EXPECT_EQ(Message(), "Amiga partition map not found.");
}

TEST_F(AmigaTest, AllocationFailuresReturnNullWithoutLeak) {
  kelb_disk *disk = Disk(Typical().Bytes());
  FailNthMalloc(1); // the copy of the wanted partition
  EXPECT_EQ(map->find_partition(disk, "3"), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_OUT_OF_MEMORY);

  ExpectNameAllocationFailure(map, 41, "42");
}

} // namespace
