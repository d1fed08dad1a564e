// SPDX-License-Identifier: MIT
// kelb-probe end to end on each scheme's sample disk of `make demo`, and on
// Amiga and Apple labels written by parted, an independent tool.

#include "tests/partmap/probe_run.h"

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

using namespace kelb_test;

namespace {

const std::vector<std::string> kMaps = {"sun_partition_map", "amiga_partition_map",
                                        "apple_partition_map", "Linux/ADFS partition map"};

class ProbeSchemesTest : public ProbeRunTest {
 protected:
  // Lists `img` and returns the rows of `map`, checking that no other map
  // accepts the disk.
  Rows ProbeOnly(const std::string &img, const std::string &map) {
    ProgramRun r = Probe({img});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    for (const std::string &other : kMaps) {
      bool found = false;
      Table(r.out, other, &found);
      EXPECT_EQ(found, other == map) << other << " in\n" << r.out;
    }
    return Table(r.out, map);
  }
};

// A sample disk of `make demo`: what kelb-probe lists, one partition looked
// up by name, and a name it refuses.
struct Sample {
  const char *writer, *map;
  Rows rows;
  size_t one;                   // the row of the partition looked up
  const char *missing, *error;  // a name it refuses, and a part of the reason
};

void PrintTo(const Sample &s, std::ostream *os) { *os << s.writer; }

class ProbeSampleTest : public ProbeSchemesTest, public ::testing::WithParamInterface<Sample> {};

TEST_P(ProbeSampleTest, ListedAndOnePartitionFoundByName) {
  const Sample &s = GetParam();
  const std::string img = dir_ + "/sample.img";
  ASSERT_EQ(RunProgram({s.writer, img}).status, 0);
  EXPECT_EQ(ProbeOnly(img, s.map), s.rows);
  ProgramRun r = Probe({img, s.rows[s.one][0]});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Table(r.out, s.map), Rows{s.rows[s.one]});
  r = Probe({img, s.missing});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(s.error), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Samples, ProbeSampleTest,
    ::testing::Values(
        // Entry 3 is the whole disk, no partition.
        Sample{KELB_SAMPLE_SUN,
               "sun_partition_map",
               {{"1", "0", "1024", "0"}, {"2", "1024", "512", "0"}, {"5", "1536", "2560", "0"}},
               1,
               "3",
               "no partition '3'"},
        // Chain order 1 -> 3 -> 2: offsets are the blocks' byte positions.
        Sample{KELB_SAMPLE_AMIGA,
               "amiga_partition_map",
               {{"1", "128", "896", "512"},
                {"2", "1024", "2048", "1536"},
                {"3", "3072", "1024", "1024"}},
               2,
               "4",
               "no partition '4'"},
        Sample{
            KELB_SAMPLE_APPLE,
            "apple_partition_map",
            {{"1", "1", "63", "512"}, {"2", "64", "1984", "1024"}, {"3", "2048", "2048", "1536"}},
            1,
            "4",
            "no partition '4'"},
        // The map lies at sector 256; every offset is the boot block's sector.
        Sample{KELB_SAMPLE_ACORN,
               "Linux/ADFS partition map",
               {{"1", "257", "2047", "6"}, {"2", "2304", "512", "6"}, {"3", "2816", "1280", "6"}},
               1,
               "43",
               "Linux/ADFS partition map: invalid partition"}),
    [](const ::testing::TestParamInfo<Sample> &param) {
      const std::string writer = param.param.writer;  // .../kelb-sample-SCHEME
      return writer.substr(writer.rfind('-') + 1);
    });

TEST_F(ProbeSchemesTest, AppleSampleWithDebugLines) {
  const std::string img = dir_ + "/apple.img";
  ASSERT_EQ(RunProgram({KELB_SAMPLE_APPLE, img}).status, 0);
  ProgramRun r = Probe({"--debug=partition", "--map", "apple", img, "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Table(r.out, "apple_partition_map"), (Rows{{"2", "64", "1984", "1024"}}));
  // The walk that finds the map accepts the disk (four lines, the last for
  // the blank sector 4), then find_partition's own walk up to entry 1.
  std::vector<std::string> lines = Split(r.err, '\n');
  ASSERT_EQ(lines.size(), 6u) << r.err;
  for (const std::string &line : lines) EXPECT_EQ(line.rfind("partmap/apple:", 0), 0u) << r.err;
  EXPECT_NE(lines[3].find(": partition 3: bad magic (found 0x0; wanted 0x504d"), std::string::npos)
      << r.err;
  EXPECT_NE(
      lines[4].find(": partition 0: name Apple, type Apple_partition_map, start 0x1, len 0x3f"),
      std::string::npos)
      << r.err;
  EXPECT_NE(lines[5].find(": partition 1: name MacOS, type Apple_HFS, start 0x40, len 0x7c0"),
            std::string::npos)
      << r.err;
}

// Without --debug the KELB_DEBUG environment variable chooses the
// conditions, a comma list of whole words.
TEST_F(ProbeSchemesTest, DebugLinesFromTheEnvironment) {
  const std::string img = dir_ + "/apple.img";
  ASSERT_EQ(RunProgram({KELB_SAMPLE_APPLE, img}).status, 0);
  RunOptions chosen;
  chosen.env = {{"KELB_DEBUG", "foo,partition"}};
  ProgramRun r = Probe({"--map", "apple", img}, chosen);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Split(r.err, '\n').size(), 4u) << r.err;
  EXPECT_EQ(r.err.rfind("partmap/apple:", 0), 0u) << r.err;
  RunOptions other;
  other.env = {{"KELB_DEBUG", "partitions"}};
  r = Probe({"--map", "apple", img}, other);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

TEST_F(ProbeSchemesTest, AmigaLabelWrittenByParted) {
  const std::string img =
      Parted("amiga.img", 16,
             {"mklabel", "amiga", "mkpart", "p1", "ext2", "1MiB", "3MiB", "mkpart", "p2", "ext2",
              "3MiB", "9MiB", "mkpart", "p3", "ext2", "10MiB", "100%"});
  PartedTable expected = PartedPrint(img);
  ASSERT_EQ(expected.partitions.size(), 3u);
  Rows rows = ProbeOnly(img, "amiga_partition_map");
  ASSERT_EQ(rows.size(), 3u);
  std::set<std::string> offsets;
  for (size_t i = 0; i < rows.size(); i++) {
    SCOPED_TRACE(i);
    ASSERT_EQ(rows[i].size(), 4u);
    EXPECT_EQ(rows[i][0], expected.partitions[i][0]);
    EXPECT_EQ(rows[i][1], expected.partitions[i][1]);
    EXPECT_EQ(rows[i][2], expected.partitions[i][2]);
    // Each partition block is a distinct block among the first sectors.
    const unsigned long offset = std::stoul(rows[i][3]);
    EXPECT_EQ(offset % 512, 0u);
    EXPECT_GT(offset, 0u);
    EXPECT_LT(offset, 2048u * 512);
    offsets.insert(rows[i][3]);
  }
  EXPECT_EQ(offsets.size(), 3u);

  ProgramRun r = Probe({img, "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  Rows one = Table(r.out, "amiga_partition_map");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0], rows[1]);
}

TEST_F(ProbeSchemesTest, AppleMapWrittenByParted) {
  const std::string img = Parted("mac.img", 16,
                                 {"mklabel", "mac", "mkpart", "p1", "ext2", "1MiB", "3MiB",
                                  "mkpart", "p2", "ext2", "3MiB", "9MiB"});
  PartedTable expected = PartedPrint(img);
  // parted's map: its own entry and the two partitions, numbered by their
  // entries, then free-space entries, which the walk lists too.
  ASSERT_EQ(expected.partitions.size(), 3u);
  ASSERT_FALSE(expected.free.empty());
  Rows rows = ProbeOnly(img, "apple_partition_map");
  ASSERT_EQ(rows.size(), expected.partitions.size() + expected.free.size());
  for (size_t i = 0; i < rows.size(); i++) {
    SCOPED_TRACE(i);
    ASSERT_EQ(rows[i].size(), 4u);
    EXPECT_EQ(rows[i][0], std::to_string(i + 1));
    EXPECT_EQ(rows[i][3], std::to_string(512 * (i + 1)));
  }
  for (size_t i = 0; i < expected.partitions.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rows[i][0], expected.partitions[i][0]);
    EXPECT_EQ(rows[i][1], expected.partitions[i][1]);
    EXPECT_EQ(rows[i][2], expected.partitions[i][2]);
  }
  std::multiset<std::pair<std::string, std::string>> free_space, listed_free;
  for (const auto &f : expected.free) free_space.insert({f[1], f[2]});
  for (size_t i = expected.partitions.size(); i < rows.size(); i++)
    listed_free.insert({rows[i][1], rows[i][2]});
  EXPECT_EQ(listed_free, free_space);
}

// The byte columns of --bytes and of the JSON form against parted's own
// figures, and END and SIZE against partx's, on the Amiga and Apple labels
// parted writes (partx reads Apple maps, not Amiga ones).
TEST_F(ProbeSchemesTest, ByteColumnsAgreeWithPartedAndSizesWithPartx) {
  struct Label {
    std::vector<std::string> parted;
    const char *map;
  };
  const Label labels[] = {{{"mklabel", "amiga", "mkpart", "p1", "ext2", "1MiB", "3MiB", "mkpart",
                            "p2", "ext2", "3MiB", "9MiB", "mkpart", "p3", "ext2", "10MiB", "100%"},
                           "amiga_partition_map"},
                          {{"mklabel", "mac", "mkpart", "p1", "ext2", "1MiB", "3MiB", "mkpart",
                            "p2", "ext2", "3MiB", "9000KiB"},
                           "apple_partition_map"}};
  for (const Label &label : labels) {
    SCOPED_TRACE(label.map);
    const std::string img = Parted(std::string(label.map) + ".img", 16, label.parted);
    // "number:startB:endB:sizeB:..." per partition.
    ProgramRun printed = RunProgram({PARTED, "-m", "-s", img, "unit", "B", "print"});
    ASSERT_EQ(printed.status, 0) << printed.err;
    std::vector<std::vector<std::string>> parted;
    for (const std::string &line : Split(printed.out, '\n')) {
      std::vector<std::string> f = Split(line, ':');
      if (f.size() < 4 || f[0].empty() || f[0].find_first_not_of("0123456789") != std::string::npos)
        continue;
      for (size_t i = 1; i < 4; i++) f[i].pop_back();  // the unit, "B"
      parted.push_back({f[0], f[1], f[2], f[3]});
    }
    ASSERT_FALSE(parted.empty()) << printed.out;
    ProgramRun r = Probe({"--bytes", img});
    ASSERT_EQ(r.status, 0) << r.err;
    const Rows rows = Table(r.out, label.map, nullptr, {"NAME", "START", "END", "LENGTH"});
    ProgramRun json = Probe({"--json", img});
    ASSERT_EQ(json.status, 0) << json.err;
    for (const auto &p : parted) {
      SCOPED_TRACE(p[0]);
      EXPECT_NE(std::find(rows.begin(), rows.end(), p), rows.end()) << r.out;
      EXPECT_NE(json.out.find("\"start_byte\": " + p[1] + ", \"end_byte\": " + p[2] +
                              ", \"length_bytes\": " + p[3] + "}"),
                std::string::npos)
          << json.out;
    }
    if (std::string(label.map) != "apple_partition_map") continue;
    // partx lists every entry of the map, as the walk does.
    ProgramRun partx = RunProgram({"/usr/bin/partx", "-g", "-o", "START,END,SIZE", img});
    ASSERT_EQ(partx.status, 0) << partx.err;
    Rows sizes;
    for (const std::string &line : Split(partx.out, '\n'))
      if (!line.empty()) sizes.push_back(Words(line));
    Rows ours = Table(Probe({img}).out, label.map, nullptr, {"START", "END", "SIZE"});
    std::sort(sizes.begin(), sizes.end());
    std::sort(ours.begin(), ours.end());
    EXPECT_EQ(ours, sizes) << partx.out;
  }
}

}  // namespace
