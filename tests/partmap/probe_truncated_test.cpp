// SPDX-License-Identifier: MIT
// kelb-probe, the real program with every module loaded, on the sample disk
// of each scheme cut short at every sector that holds any of its tables,
// around each of their ends, and inside a sector. Each class of cut has its
// exact status and first line: before the label, nothing is listed and no
// map is recognised (2); with the label but before its first entry, the
// map finds the disk too small and says so (2); inside the table, after
// entries were read, the read past the end is an error (1); after the
// table, the disk is listed as the whole sample is (0).

#include "tests/support/file_bytes.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#ifndef KELB_PROBE
#error "KELB_PROBE must name the built kelb-probe"
#endif

namespace fs = std::filesystem;

namespace {

// Runs a program with standard input from /dev/null; one that hangs is ended
// by SIGALRM.
ProgramRun RunWithTimeout(const std::vector<std::string>& args) {
  RunOptions options;
  options.timeout_seconds = 120;
  return RunProgram(args, options);
}

// Where each sample's tables lie, in whole sectors a cut keeps: fewer than
// `label` and the label (or the first block a scheme looks for) is gone;
// from `label` to below `entries` the label is there but not the first
// partition entry, which lies in sector `entries` - 1; from `entries` to
// below `whole` part of the table is there; from `whole` on all of it.
struct Layout {
  const char* scheme;
  const char* map;
  size_t label, entries, whole;
};

void PrintTo(const Layout& layout, std::ostream* os) { *os << layout.scheme; }

class ProbeTruncatedTest : public ::testing::TestWithParam<Layout> {
 protected:
  TempDir temp;
  const fs::path dir = temp.path();
};

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TEST_P(ProbeTruncatedTest, EachClassOfCutHasItsOwnOutcome) {
  const Layout layout = GetParam();
  const std::string scheme = layout.scheme, map = layout.map;
  const fs::path full = dir / "full.img";
  const std::string sampler = fs::path(KELB_SAMPLES) / ("kelb-sample-" + scheme);
  ASSERT_EQ(RunWithTimeout({sampler, full.string()}).status, 0);
  const std::string bytes = ReadFileBytes(full);
  const ProgramRun whole = RunWithTimeout({KELB_PROBE, full.string()});
  ASSERT_EQ(whole.status, 0) << "the sample itself is listed";
  ASSERT_EQ(FirstLine(whole.out).rfind(full.string() + ": " + map + " (", 0), 0u) << whole.out;

  // Every sector up to the last one holding anything (the first 80 at
  // most), both sides of each boundary, and a few cuts inside a sector.
  size_t last = bytes.find_last_not_of('\0');
  ASSERT_NE(last, std::string::npos);
  std::vector<size_t> cuts{1, 511, 513, last, last + 1};
  for (size_t s = 0; s * 512 <= last + 512 && s < 80; ++s) cuts.push_back(s * 512);
  for (size_t boundary : {layout.label, layout.entries, layout.whole})
    for (size_t s : {boundary - 1, boundary, boundary + 1}) cuts.push_back(s * 512);

  const fs::path cut = dir / "cut.img";
  const std::string img = cut.string();
  const std::string pastEnd = "attempt to read past the end of '" + img + "' (sector ";
  for (size_t n : cuts) {
    n = std::min(n, bytes.size());
    const size_t sectors = n / 512;
    const std::string disk = "; the disk has " + std::to_string(sectors) + " sectors)";
    SCOPED_TRACE(scheme + " cut to " + std::to_string(n) + " bytes");
    ASSERT_TRUE(WriteFileBytes(cut, bytes.data(), n));
    const ProgramRun r = RunWithTimeout({KELB_PROBE, img});
    if (sectors < layout.entries) {
      // Before the label, or the label alone: no map is recognised and
      // nothing is listed.
      EXPECT_EQ(r.status, 2) << r.err;
      EXPECT_EQ(FirstLine(r.out), img + ": no partition map recognised");
      EXPECT_EQ(r.out.find("NAME"), std::string::npos) << r.out;
      EXPECT_EQ(r.err, "");
      if (sectors >= layout.label) {
        const std::string reason =
            "  " + map + ": " + pastEnd + std::to_string(layout.entries - 1) + disk + "\n";
        EXPECT_NE(r.out.find(reason), std::string::npos) << r.out;
      }
    } else if (sectors < layout.whole) {
      // Entries read, then the table runs off the disk: an error.
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      const std::string line = FirstLine(r.err);
      EXPECT_TRUE(StartsWith(line, "kelb-probe: " + img + ": " + map + ": " + pastEnd) &&
                  EndsWith(line, disk))
          << line;
    } else {
      // The whole table: listed as the whole sample is, partitions that
      // reach past the cut included.
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(FirstLine(r.out).rfind(img + ": " + map + " (", 0), 0u) << r.out;
      EXPECT_EQ(r.out.substr(r.out.find('\n')), whole.out.substr(whole.out.find('\n')));
      EXPECT_EQ(r.err, "");
    }
  }
}

// sun: the label in sector 0. amiga: the rigid disk block in sector 0, its
// chain of partition blocks 1, 3, 2. apple: entries in sectors 1 to 3, the
// zeroed sector 4 ends them. acorn: the boot block in sector 6, the map in
// sector 256.
INSTANTIATE_TEST_SUITE_P(
    Samples, ProbeTruncatedTest,
    ::testing::Values(Layout{"sun", "sun_partition_map", 1, 1, 1},
                      Layout{"amiga", "amiga_partition_map", 1, 2, 4},
                      Layout{"apple", "apple_partition_map", 2, 2, 5},
                      Layout{"acorn", "Linux/ADFS partition map", 7, 257, 257}),
    [](const ::testing::TestParamInfo<Layout>& param) { return std::string(param.param.scheme); });

}  // namespace
