// SPDX-License-Identifier: MIT
// End-to-end runs of the built lumvane binary with its options: --list and
// --list --json against what a run writes, the health column against
// pngcheck, JSON for names that are not UTF-8, and --help and --version.
// Standard input is a pipe that never ends, so a program that waited for a
// key would be ended by its time limit and fail.
#include "tests/support/file_bytes.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "tests/support/transcript.h"
#include "tests/tool/list_sample.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using list_sample::Row;

// Runs lumvane with args in cwd, standard input a pipe that never ends; a
// run, which reads its key from it, gets /dev/null instead.
ProgramRun Lumvane(const std::vector<std::string>& args, const fs::path& cwd,
                   bool keyPressed = false) {
  std::vector<std::string> argv{LUMVANE_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.cwd = cwd.string();
  options.timeout_seconds = 60;
  if (!keyPressed)
    options.child_setup = [] {
      int fds[2];
      // The write end stays open in the program itself: a read never ends.
      return pipe(fds) == 0 && dup2(fds[0], 0) == 0 && close(fds[0]) == 0;
    };
  return RunProgram(argv, options);
}

// Runs a shell command line with sh -c; its output and status.
ProgramRun Shell(const std::string& command, const fs::path& cwd) {
  RunOptions options;
  options.cwd = cwd.string();
  options.timeout_seconds = 60;
  return RunProgram({"/bin/sh", "-c", command}, options);
}

std::set<std::string> Names(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::string Slice(const pngdraw::Bytes& bytes, uint64_t offset, uint64_t length) {
  if (offset > bytes.size() || length > bytes.size() - offset) return "(outside the input)";
  return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                     bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

class LumvaneList : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = m_tmp.MakeDir("work");
    m_input = list_sample::MakeSample(m_expected);
    WriteFileBytes(m_dir / "dump.bin", m_input);
  }

  TempDir m_tmp;
  fs::path m_dir;
  std::vector<list_sample::Expected> m_expected;
  pngdraw::Bytes m_input;
};

TEST_F(LumvaneList, ListsWhatARunWritesAndTouchesNothing) {
  const std::set<std::string> before = Names(m_dir);
  const ProgramRun list = Lumvane({"--list", "dump.bin"}, m_dir);
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.err, "");
  EXPECT_EQ(Names(m_dir), before) << "a listing made or removed a file";
  std::vector<Row> rows;
  ASSERT_TRUE(list_sample::ParseListing(list.out, rows)) << list.out;
  ASSERT_EQ(rows.size(), m_expected.size()) << list.out;
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].offset, m_expected[i].range.start) << rows[i].name;
    EXPECT_EQ(rows[i].length, m_expected[i].range.end - m_expected[i].range.start) << rows[i].name;
    EXPECT_EQ(rows[i].end, m_expected[i].end) << rows[i].name;
    EXPECT_EQ(rows[i].health, m_expected[i].health) << rows[i].name;
  }
  EXPECT_EQ(list.out.find('\x1b'), std::string::npos) << "a raw escape byte reached the output";

  // The run writes exactly the files listed, each the listed bytes.
  const ProgramRun run = Lumvane({"dump.bin"}, m_dir, true);
  ASSERT_EQ(run.status, 0) << run.out;
  std::set<std::string> listed;
  for (const Row& row : rows) {
    listed.insert(row.name);
    EXPECT_TRUE(ReadFileBytes(m_dir / "dump" / row.name) == Slice(m_input, row.offset, row.length))
        << row.name;
  }
  EXPECT_EQ(Names(m_dir / "dump"), listed);

  // The JSON form says the same.
  const ProgramRun json = Lumvane({"--list", "--json", "--", "dump.bin"}, m_dir);
  EXPECT_EQ(json.status, 0) << json.err;
  const std::string check =
      "import json,sys\n"
      "d=json.load(sys.stdin)\n"
      "for i in d['images']:\n"
      "  h=i['health']\n"
      "  if 'chunk' in i: h+=' chunk=%d type=%s'%(i['chunk'],i['type'])\n"
      "  if 'at' in i: h+=' at=%d'%i['at']\n"
      "  print(i['name'],i['offset'],i['length'],i['end'],h)\n";
  WriteFileBytes(m_dir / "check.py", check);
  WriteFileBytes(m_dir / "listing.json", json.out);
  const ProgramRun parsed = Shell("python3 check.py < listing.json", m_dir);
  ASSERT_EQ(parsed.status, 0) << parsed.err << json.out;
  std::string fromText;
  for (const Row& row : rows)
    fromText += row.name + " " + std::to_string(row.offset) + " " + std::to_string(row.length) +
                " " + row.end + " " + row.health + "\n";
  EXPECT_EQ(parsed.out, fromText);
}

TEST_F(LumvaneList, HealthAgreesWithPngcheck) {
  const ProgramRun list = Lumvane({"--list", "dump.bin"}, m_dir);
  std::vector<Row> rows;
  ASSERT_TRUE(list_sample::ParseListing(list.out, rows)) << list.out;
  ASSERT_EQ(rows.size(), m_expected.size());
  for (const Row& row : rows) {
    WriteFileBytes(m_dir / row.name, Slice(m_input, row.offset, row.length));
    const ProgramRun check = Shell("pngcheck " + row.name, m_dir);
    ASSERT_NE(check.status, 127) << "pngcheck is missing";
    const bool ok = row.health == "ok";
    EXPECT_EQ(check.status == 0, ok) << row.name << ": " << row.health << " / " << check.out;
    // A bad CRC in a chunk whose type is letters: pngcheck names that chunk.
    if (row.health.rfind("bad-CRC chunk=", 0) == 0 && row.health.find("\\x") == std::string::npos) {
      const std::string type = row.health.substr(row.health.find("type=") + 5, 4);
      EXPECT_NE(check.out.find("CRC error in chunk " + type), std::string::npos)
          << row.name << ": " << check.out;
    }
  }
}

TEST_F(LumvaneList, JsonParsesForNamesThatAreNotUtf8) {
  // Latin-1 bytes, a control byte, a quote and a backslash in the name.
  const std::string name = std::string("d\xe9j\xe0 \x01\"\\x\xff") + ".bin";
  WriteFileBytes(m_dir / name, m_input);
  const ProgramRun json = Lumvane({"--list", "--json", name}, m_dir);
  ASSERT_EQ(json.status, 0) << json.err;
  WriteFileBytes(m_dir / "listing.json", json.out);
  // Every escape \u0080 to \u00ff stands for the raw byte: the name comes back.
  WriteFileBytes(m_dir / "check.py",
                 "import json,os,sys\n"
                 "d=json.load(open('listing.json'))\n"
                 "raw=lambda s: b''.join(bytes([ord(c)]) if 0x80<=ord(c)<=0xff else c.encode()"
                 " for c in s)\n"
                 "sys.stdout.buffer.write(raw(d['input'])+b'|'+raw(d['folder'])+b'|%d'%"
                 "len(d['images']))\n");
  const ProgramRun parsed = Shell("python3 check.py", m_dir);
  ASSERT_EQ(parsed.status, 0) << parsed.err << json.out;
  const std::string full = (m_dir / name).string();
  EXPECT_EQ(parsed.out,
            full + "|" + full.substr(0, full.size() - 4) + "|" + std::to_string(m_expected.size()));
}

TEST_F(LumvaneList, FailuresAndUsageWaitForNoKey) {
  ProgramRun r = Lumvane({"--list", "missing.bin"}, m_dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "") << "standard output holds the listing or nothing";
  EXPECT_EQ(r.err, "\n File Open Failed!\n\n");
  EXPECT_FALSE(fs::exists(m_dir / "missing"));

  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--list"}, {"--list", "--json"}, {"--list", "--", "dump.bin", "dump.bin"}}) {
    r = Lumvane(args, m_dir);
    EXPECT_EQ(r.status, 1) << args.size();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\n Usage:\n\n      Lumvane.exe --list [--json] FILE\n\n");
  }

  r = Lumvane({"--help"}, m_dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind("\n Usage:\n\n      Lumvane.exe FILE\n      Lumvane.exe --list", 0), 0u)
      << r.out;

  r = Lumvane({"--version"}, m_dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Lumvane Version 2.01-bld-060413\n");
  EXPECT_EQ(r.err, "");

  // A listing or a text that could not be shown did not succeed.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--list", "dump.bin"}, {"--list", "--json", "dump.bin"}, {"--help"}, {"--version"}}) {
    RunOptions options;
    options.cwd = m_dir.string();
    options.timeout_seconds = 60;
    options.child_setup = [] {
      const int full = open("/dev/full", O_WRONLY);
      return full >= 0 && dup2(full, 1) == 1;
    };
    std::vector<std::string> argv{LUMVANE_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    r = RunProgram(argv, options);
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_EQ(r.err, "\n Console Write Failed!\n\n") << args[0];
  }
}

TEST_F(LumvaneList, AnyOtherFirstArgumentIsAFileAsBefore) {
  // Names that look like options but are not these exact ones, and "--"
  // before a name that is one: each is a run over that file.
  for (const std::string name : {"--json", "-x", "--lists", "--help"}) {
    WriteFileBytes(m_dir / (name + ".bin"), m_input);
    const std::vector<std::string> args = name == "--help"
                                              ? std::vector<std::string>{"--", name + ".bin"}
                                              : std::vector<std::string>{name + ".bin"};
    const ProgramRun r = Lumvane(args, m_dir, true);
    EXPECT_EQ(r.status, 0) << name << r.out;
    EXPECT_EQ(r.out.rfind(transcript::Analyse((m_dir / (name + ".bin")).string()), 0), 0u) << r.out;
    EXPECT_EQ(Names(m_dir / name).size(), m_expected.size()) << name;
  }
}

}  // namespace
