// SPDX-License-Identifier: MIT
// RunProgram, which every end-to-end test runs its programs through: what a
// run is given and what comes back, through /bin/sh.
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace {

ProgramRun Sh(const std::string &script, const RunOptions &options = {}) {
  return RunProgram({"/bin/sh", "-c", script}, options);
}

TEST(RunProgram, OutputStatusAndSignalComeBackApart) {
  const ProgramRun r = Sh("printf 'to out\\0'; echo to err >&2; exit 3");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.out, std::string("to out\0", 7));
  EXPECT_EQ(r.err, "to err\n");

  const ProgramRun killed = Sh("echo before; kill -TERM $$");
  EXPECT_EQ(killed.status, -1);
  EXPECT_EQ(killed.signal, SIGTERM);
  EXPECT_EQ(killed.out, "before\n");

  EXPECT_EQ(RunProgram({"/nonexistent/program"}).status, 127);
  EXPECT_EQ(RunProgram({}).status, -1);
}

TEST(RunProgram, InputFolderAndEnvironmentAreTheRunsOwn) {
  TempDir dir;
  setenv("RUN_PROGRAM_TEST_GONE", "x", 1);
  RunOptions o;
  o.cwd = dir.str();
  o.stdin_path = dir.WriteFile("input.txt", "fed in");
  o.env = {{"RUN_PROGRAM_TEST_SET", "set"}, {"RUN_PROGRAM_TEST_GONE", std::nullopt}};
  const ProgramRun r =
      Sh("pwd; cat; echo; echo \"$RUN_PROGRAM_TEST_SET ${RUN_PROGRAM_TEST_GONE-unset}\"", o);
  unsetenv("RUN_PROGRAM_TEST_GONE");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dir.str() + "\nfed in\nset unset\n");
  EXPECT_EQ(getenv("RUN_PROGRAM_TEST_SET"), nullptr) << "set in the test's own environment";

  RunOptions closed;
  closed.close_stdin = true;
  EXPECT_EQ(Sh("cat", closed).status, 1);
  EXPECT_EQ(Sh("cat").out, "");  // /dev/null by default
}

TEST(RunProgram, ChildSetUpRunsBeforeTheProgramAndMayRefuse) {
  RunOptions limited;
  limited.child_setup = [] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit mib{1 << 20, 1 << 20};
    return setrlimit(RLIMIT_FSIZE, &mib) == 0;
  };
  const ProgramRun r = Sh("ulimit -f", limited);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "2048\n");  // in blocks of 512 bytes

  RunOptions refused;
  refused.child_setup = [] { return false; };
  EXPECT_EQ(Sh("echo ran", refused).status, 126);
  EXPECT_EQ(Sh("echo ran", refused).out, "");

  RunOptions timed;
  timed.timeout_seconds = 1;
  EXPECT_EQ(Sh("exec sleep 30", timed).signal, SIGALRM);
}

}  // namespace
