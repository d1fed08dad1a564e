// SPDX-License-Identifier: MIT
// ProbeRunTest: the base fixture of the kelb-probe end-to-end tests. Each test
// gets a fresh temporary folder dir_ (removed afterwards) and runs programs
// with RunProgram (support/run_program.h), or kelb-probe (KELB_PROBE) with
// Probe. Text helpers Split and Words come with it.
#ifndef KELB_PROBE_RUN_H
#define KELB_PROBE_RUN_H

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#ifndef KELB_PROBE
#error "KELB_PROBE must name the built kelb-probe"
#endif

namespace kelb_test {

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

class ProbeRunTest : public ::testing::Test {
 protected:
  // Runs kelb-probe with `args`.
  static ProgramRun Probe(std::vector<std::string> args, const RunOptions &options = {}) {
    args.insert(args.begin(), KELB_PROBE);
    return RunProgram(args, options);
  }

  TempDir temp_;
  const std::string dir_ = temp_.str();
};

}  // namespace kelb_test

#endif  // KELB_PROBE_RUN_H
