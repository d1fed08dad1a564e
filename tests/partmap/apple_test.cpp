// SPDX-License-Identifier: MIT
// The apple module, loaded for real, on Apple partition maps built here;
// what every module does alike is in every_map_test.cpp.

#include "tests/partmap/kelb_fixture.h"
#include "tests/partmap/typical_disks.h"

#include <fstream>

using namespace kelb_test;

namespace {

// The line of apple.cpp on which the debug call printing `format` starts.
int SourceLineOf(const std::string &format) {
  std::ifstream in(std::string(KELB_SOURCE_DIR) + "/partmap/apple.cpp");
  std::string line;
  int n = 0, call = 0;
  while (std::getline(in, line)) {
    n++;
    if (line.find("kelb_real_dprintf(") != std::string::npos) call = n;
    if (line.find(format) != std::string::npos) return call;
  }
  return -1;
}

std::string BadMagicLine(int entry, const std::string &found) {
  static const int line = SourceLineOf("bad magic (found");
  return "partmap/apple:" + std::to_string(line) + ": partition " + std::to_string(entry) +
         ": bad magic (found " + found + "; wanted 0x504d\n";
}

std::string EntryLine(int entry, const std::string &rest) {
  static const int line = SourceLineOf(": name %s, type %s");
  return "partmap/apple:" + std::to_string(line) + ": partition " + std::to_string(entry) + ": " +
         rest + "\n";
}

class AppleTest : public MapTest {
 protected:
  AppleTest() : MapTest("apple", "apple_partition_map") {}
};

// A line for each entry, and one for the sector that ends the map.
TEST_F(AppleTest, WalkWritesALineForEachEntry) {
  EnableDebug("partition");
  EXPECT_EQ(DoWalk(map, Disk(TypicalApple().Bytes())).calls.size(), 3u);
  const std::vector<std::string> expected = {
      EntryLine(0, "name Apple, type Apple_partition_map, start 0x1, len 0x3f"),
      EntryLine(1, "name boot, type Apple_HFS, start 0x40, len 0x3e8"),
      EntryLine(2, "name root, type Apple_UNIX_SVR2, start 0x800, len 0x1000"),
      BadMagicLine(3, "0x0"),
  };
  EXPECT_EQ(DebugLines(), expected);
}

TEST_F(AppleTest, DebugLinesOnlyWhenEnabled) {
  kelb_disk *disk = Disk(TypicalApple().Bytes());
  EXPECT_EQ(DoWalk(map, disk).calls.size(), 3u);
  EXPECT_TRUE(DebugLines().empty());
  EnableDebug("all");
  EXPECT_EQ(DoWalk(map, disk).calls.size(), 3u);
  EXPECT_EQ(DebugLines().size(), 4u);
}

TEST_F(AppleTest, NoSignatureInSectorOneIsNotAnAppleMap) {
  EnableDebug("partition");
  AppleDisk d = TypicalApple();
  d.Bytes()[512] = 0x4D;  // bytes swapped
  d.Bytes()[513] = 0x50;
  Walk w = DoWalk(map, Disk(d.Bytes()));
  EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
  EXPECT_EQ(kelb_errno, KELB_ERR_BAD_PART_TABLE);
  EXPECT_EQ(Message(), "Apple partition map not found.");
  EXPECT_TRUE(w.calls.empty());
  EXPECT_EQ(DebugLines(), std::vector<std::string>{BadMagicLine(0, "0x4d50")});

  // Only sector 1 counts: a map that starts in sector 0 or 2 is not one.
  AppleDisk late;
  late.Entry(0, 1, 1).Entry(2, 1, 1);
  kelb_host::clear_error();
  w = DoWalk(map, Disk(late.Bytes()));
  EXPECT_EQ(w.result, KELB_ERR_BAD_PART_TABLE);
  EXPECT_TRUE(w.calls.empty());
}

TEST_F(AppleTest, EntryStartingAtBlock1024IsTheLast) {
  AppleDisk d = TypicalApple();
  Put32BE(d.Bytes(), 2 * 512 + 8, 1024);
  d.Entry(4, 5000, 1).Entry(5, 6000, 1);
  kelb_disk *disk = Disk(d.Bytes());
  FailReadsAt(disk, 3);  // never read
  Walk w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_NONE);
  ASSERT_EQ(w.calls.size(), 2u);
  EXPECT_EQ(w.calls[1].part.start, 1024u);
  EXPECT_EQ(kelb_host::read_count(disk), 2u);

  // The count of map entries is not what ends the walk.
  AppleDisk counted = TypicalApple();
  Put32BE(counted.Bytes(), 512 + 4, 1);
  EXPECT_EQ(DoWalk(map, Disk(counted.Bytes())).calls.size(), 3u);
}

TEST_F(AppleTest, WalkThatRunsOffTheDiskReturnsTheReadError) {
  AppleDisk d(6);
  for (size_t s = 1; s < 6; s++) d.Entry(s, uint32_t(s * 100), 10);
  Walk w = DoWalk(map, Disk(d.Bytes()));
  EXPECT_EQ(w.result, KELB_ERR_OUT_OF_RANGE);
  EXPECT_EQ(kelb_errno, KELB_ERR_OUT_OF_RANGE);
  EXPECT_NE(Message().find("sector 6"), std::string::npos) << Message();
  ASSERT_EQ(w.calls.size(), 5u);
  EXPECT_EQ(w.calls[4].part.offset, 5u * 512);

  // A read failure inside the map: the entries before it stay handed.
  kelb_host::clear_error();
  kelb_disk *disk = Disk(TypicalApple().Bytes());
  FailReadsAt(disk, 3);
  w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_READ_ERROR);
  EXPECT_EQ(w.calls.size(), 2u);

  // A disk of one sector has no sector 1.
  kelb_host::clear_error();
  std::vector<uint8_t> tiny(512, 0);
  w = DoWalk(map, Disk(tiny));
  EXPECT_EQ(w.result, KELB_ERR_OUT_OF_RANGE);
  EXPECT_TRUE(w.calls.empty());
}

TEST_F(AppleTest, NameAndTypeStopAtNulAndNeverPass32Bytes) {
  EnableDebug("partition");
  AppleDisk d;
  const std::string name32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
  const std::string type32 = "abcdefghijklmnopqrstuvwxyz678901";
  d.Entry(1, 1024, 7, name32, type32);
  // What follows each field is not NUL, and a NUL inside cuts the text.
  d.Bytes()[512 + 80] = 'Z';
  d.Entry(2, 9, 9, std::string("ab\0cd", 5), "");
  Walk w;
  w = DoWalk(map, Disk(d.Bytes()));
  EXPECT_EQ(w.result, KELB_ERR_NONE);
  ASSERT_EQ(DebugLines().size(), 1u);
  EXPECT_EQ(DebugLines()[0],
            EntryLine(0, "name " + name32 + ", type " + type32 + ", start 0x400, len 0x7"));

  Put32BE(d.Bytes(), 512 + 8, 1);
  EXPECT_EQ(DoWalk(map, Disk(d.Bytes())).calls.size(), 2u);
  ASSERT_EQ(DebugLines().size(), 1u + 3u);
  EXPECT_EQ(DebugLines()[2], EntryLine(1, "name ab, type , start 0x9, len 0x9"));
}

// The walk inside find_partition writes the lines of the entries up to the
// wanted one.
TEST_F(AppleTest, FindPartitionWritesDebugLinesUpToTheWantedEntry) {
  EnableDebug("partition");
  kelb_partition *p = map->find_partition(Disk(TypicalApple().Bytes()), "2");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->index, 1);
  kelb_free(p);
  EXPECT_EQ(DebugLines().size(), 2u);
}

TEST_F(AppleTest, AllocationAndReadFailuresReturnNullWithoutLeak) {
  kelb_disk *disk = Disk(TypicalApple().Bytes());
  FailNthMalloc(1);  // the copy of the wanted partition
  EXPECT_EQ(map->find_partition(disk, "3"), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_OUT_OF_MEMORY);

  kelb_host::clear_error();
  FailReadsAt(disk, 2);
  EXPECT_EQ(map->find_partition(disk, "3"), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_READ_ERROR);

  ExpectNameAllocationFailure(map, 99, "100");
}

}  // namespace
