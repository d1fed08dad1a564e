// SPDX-License-Identifier: MIT
// ProbeRunTest: the base fixture of the kelb-probe end-to-end tests. Each test
// gets a fresh temporary folder dir_ (removed afterwards) and runs programs
// with RunProgram (support/run_program.h), or kelb-probe (KELB_PROBE) with
// Probe; Parted labels a blank image with parted, PartedPrint reads it back.
// Text helpers Split and Words, and the parsers of kelb-probe's table and of
// `parted -m`, come with it.
#ifndef KELB_PROBE_RUN_H
#define KELB_PROBE_RUN_H

#include "testdata/disk_labels.h"
#include "tests/support/file_bytes.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#if !defined(KELB_PROBE) || !defined(PARTED)
#error "KELB_PROBE and PARTED must name the built kelb-probe and parted"
#endif

namespace kelb_test {

// The Sun sample disk of the probe tests: entries 1 (cylinder 0) and 2
// (cylinder 1) of 32 sectors each, 3 the whole disk; 2 tracks of 16 sectors
// a cylinder.
inline std::vector<uint8_t> SunSample() {
  return kelb_label::SunLabel(2, 16)
      .Entry(0, 2, 0, 32)
      .Entry(1, 3, 1, 32)
      .Entry(2, 5, 0, 64)
      .Bytes(64);
}

inline std::vector<std::string> Split(const std::string &s, char sep) {
  std::vector<std::string> parts;
  std::string cur;
  std::istringstream in(s);
  while (std::getline(in, cur, sep)) parts.push_back(cur);
  return parts;
}

inline std::vector<std::string> Words(const std::string &line) {
  std::vector<std::string> w;
  std::istringstream in(line);
  std::string x;
  while (in >> x) w.push_back(x);
  return w;
}

using Rows = std::vector<std::vector<std::string>>;

// The table kelb-probe prints for `map` (name, start, length, offset per
// row, whatever other columns it has), and whether it printed one at all.
// `columns` picks other columns, by their headings.
inline Rows Table(const std::string &out, const std::string &map, bool *found = nullptr,
                  const std::vector<std::string> &columns = {"NAME", "START", "LENGTH", "OFFSET"}) {
  Rows rows;
  bool in = false;
  std::vector<size_t> picked;
  if (found) *found = false;
  for (const std::string &line : Split(out, '\n')) {
    if (!in) {
      // "IMAGE: MAP (what the numbers are)"
      const size_t at = line.find(": " + map + " (");
      in = at != std::string::npos && line.back() == ')';
      if (in && found) *found = true;
      continue;
    }
    if (line.empty()) break;
    const std::vector<std::string> words = Words(line);
    if (line.rfind("NAME", 0) == 0) {
      picked.clear();
      for (const std::string &c : columns)
        picked.push_back(std::find(words.begin(), words.end(), c) - words.begin());
      continue;
    }
    std::vector<std::string> row;
    for (size_t i : picked) row.push_back(i < words.size() ? words[i] : "(no such column)");
    rows.push_back(row);
  }
  return rows;
}

// parted -m lines: "number:start s:end s:size s:fs:name:flags;". Partitions
// and free space come apart; both as {number, start, size}.
struct PartedTable {
  Rows partitions, free;
};

inline PartedTable ParsePartedM(const std::string &out) {
  PartedTable t;
  auto sectors = [](const std::string &s) { return s.substr(0, s.size() - 1); };
  for (const std::string &line : Split(out, '\n')) {
    std::vector<std::string> f = Split(line, ':');
    if (f.size() < 5 || f[0].empty() || f[0].find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::vector<std::string> row = {f[0], sectors(f[1]), sectors(f[3])};
    (f[4].rfind("free", 0) == 0 ? t.free : t.partitions).push_back(row);
  }
  return t;
}

class ProbeRunTest : public ::testing::Test {
 protected:
  // Runs kelb-probe with `args`.
  static ProgramRun Probe(std::vector<std::string> args, const RunOptions &options = {}) {
    args.insert(args.begin(), KELB_PROBE);
    return RunProgram(args, options);
  }

  // A blank image of `mib` MiB labelled by parted with `args` after -s IMG.
  std::string Parted(const std::string &name, int mib, const std::vector<std::string> &args) {
    const std::string img = dir_ + "/" + name;
    if (access(PARTED, X_OK) != 0) {
      ADD_FAILURE() << PARTED << ": parted is needed (apt-get install parted)";
      return img;
    }
    WriteFileBytes(img, "");
    EXPECT_EQ(truncate(img.c_str(), off_t(mib) << 20), 0);
    std::vector<std::string> cmd = {PARTED, "-s", img};
    cmd.insert(cmd.end(), args.begin(), args.end());
    ProgramRun made = RunProgram(cmd);
    EXPECT_EQ(made.status, 0) << made.err;
    return img;
  }

  PartedTable PartedPrint(const std::string &img) {
    ProgramRun printed = RunProgram({PARTED, "-m", "-s", img, "unit", "s", "print", "free"});
    EXPECT_EQ(printed.status, 0) << printed.err;
    return ParsePartedM(printed.out);
  }

  TempDir temp_;
  const std::string dir_ = temp_.str();
};

}  // namespace kelb_test

#endif  // KELB_PROBE_RUN_H
