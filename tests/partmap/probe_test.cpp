// SPDX-License-Identifier: MIT
// kelb-probe end to end: the built program on image files, one of them
// labelled by parted, an independent tool.

#include "testdata/disk_labels.h"
#include "tests/partmap/probe_run.h"
#include "tests/support/file_bytes.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <iterator>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using namespace kelb_test;

namespace {

class ProbeTest : public ProbeRunTest {
 protected:
  std::string WriteImage(const std::string &name, const std::vector<uint8_t> &bytes) {
    const std::string path = dir_ + "/" + name;
    WriteFileBytes(path, bytes);
    return path;
  }

  // A folder `name` of dir_ holding a link to each of `modules`, by the
  // file name given: {file name, module file}.
  std::string ModuleFolder(const std::string &name,
                           const std::vector<std::pair<std::string, std::string>> &modules) {
    const std::string dir = dir_ + "/" + name;
    EXPECT_EQ(mkdir(dir.c_str(), 0755), 0);
    for (const auto &m : modules)
      EXPECT_EQ(symlink(m.second.c_str(), (dir + "/" + m.first).c_str()), 0);
    return dir;
  }
};

const std::string kSunModule = std::string(KELB_MODULE_DIR) + "/sun.mod";
const std::string kFaulty = KELB_FAULTY_MODULE_DIR;

// A disk labelled by parted, an independent tool, with four partitions, and
// the partitions as parted reads them back (number, start, size).
class PartedSunTest : public ProbeTest {
 protected:
  void SetUp() override {
    img = Parted(
        "parted.img", 64,
        {"mklabel", "sun", "mkpart", "ext2", "0", "12MiB", "mkpart", "ext2", "12MiB", "30MiB",
         "mkpart", "linux-swap", "30MiB", "40MiB", "mkpart", "ext2", "48MiB", "100%"});
    expected = PartedPrint(img).partitions;
    ASSERT_GE(expected.size(), 4u);
  }

  std::string img;
  Rows expected;
};

TEST_F(PartedSunTest, ListsPartitionsAsPartedPlacedThem) {
  ProgramRun r = Probe({img});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::vector<std::string>> rows = Table(r.out, "sun_partition_map");
  ASSERT_EQ(rows.size(), expected.size()) << r.out;
  for (size_t i = 0; i < rows.size(); i++) {
    ASSERT_EQ(rows[i].size(), 4u) << r.out;
    EXPECT_EQ(rows[i][0], expected[i][0]) << r.out;
    EXPECT_EQ(rows[i][1], expected[i][1]) << r.out;
    EXPECT_EQ(rows[i][2], expected[i][2]) << r.out;
    EXPECT_EQ(rows[i][3], "0");
  }
}

TEST_F(PartedSunTest, FindsOnePartitionWherePartedPlacedIt) {
  ProgramRun r = Probe({img, expected[1][0]});
  ASSERT_EQ(r.status, 0) << r.err;
  const Rows rows = Table(r.out, "sun_partition_map");
  ASSERT_EQ(rows.size(), 1u) << r.out;
  EXPECT_EQ(rows[0],
            (std::vector<std::string>{expected[1][0], expected[1][1], expected[1][2], "0"}));
}

TEST_F(PartedSunTest, JsonPlacesPartitionsAsPartedDid) {
  ProgramRun r = Probe({"--json", img});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("{\"name\": \"sun_partition_map\", \"partitions\": ["), std::string::npos)
      << r.out;
  for (const std::vector<std::string> &want : expected)
    EXPECT_NE(r.out.find("{\"name\": \"" + want[0] + "\", \"index\": " +
                         std::to_string(std::stoi(want[0]) - 1) + ", \"start\": " + want[1] +
                         ", \"length\": " + want[2] + ", \"offset\": 0, \"end\": "),
              std::string::npos)
        << r.out;
}

TEST_F(ProbeTest, PartitionArgumentGoesThroughFindPartition) {
  const std::string img = WriteImage("sample.img", SunSample());
  ProgramRun r = Probe({img, "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  auto rows = Table(r.out, "sun_partition_map");
  ASSERT_EQ(rows.size(), 1u) << r.out;
  EXPECT_EQ(rows[0], (std::vector<std::string>{"2", "32", "32", "0"}));

  r = Probe({"--json", "--map", "sun", img, "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"disk\": \"" + img +
                       "\", \"map\": \"sun_partition_map\", "
                       "\"partition\": {\"name\": \"1\", \"index\": 0, \"start\": 0, "
                       "\"length\": 32, \"offset\": 0, \"end\": 31, \"start_byte\": 0, "
                       "\"end_byte\": 16383, \"length_bytes\": 16384}}\n");

  r = Probe({img, "3"});  // the whole-disk entry is no partition
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no partition '3'"), std::string::npos) << r.err;
  // The same answer on every machine, whatever the width of long.
  r = Probe({img, "4294967296"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("sun_partition_map: no partition '4294967296'"), std::string::npos) << r.err;
  r = Probe({img, "two"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("sun_partition_map: invalid partition"), std::string::npos) << r.err;
}

// A disk past every 32-bit offset (a sparse 5 GiB image) opens and lists
// on every machine.
TEST_F(ProbeTest, ListsADiskPastFourGiB) {
  const std::string img = WriteImage("big.img", SunSample());
  ASSERT_EQ(truncate(img.c_str(), off_t{5} << 30), 0);
  ProgramRun r = Probe({img});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Table(r.out, "sun_partition_map"),
            (std::vector<std::vector<std::string>>{{"1", "0", "32", "0"}, {"2", "32", "32", "0"}}))
      << r.out;
}

TEST_F(ProbeTest, SaysWhenNoMapAcceptsTheDiskAndWhy) {
  std::vector<uint8_t> damaged = SunSample();
  damaged[300] ^= 1;
  ProgramRun r = Probe({WriteImage("damaged.img", damaged)});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("no partition map recognised"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("sun_partition_map: invalid checksum"), std::string::npos) << r.out;

  r = Probe({"--map", "sun_partition_map", WriteImage("blank.img", std::vector<uint8_t>(4096))});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("sun_partition_map: not a sun partition table"), std::string::npos) << r.out;

  r = Probe({"--json", dir_ + "/blank.img"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("\"maps\": []"), std::string::npos) << r.out;
}

TEST_F(ProbeTest, ErrorsGoToStandardErrorWithStatusOne) {
  ProgramRun r = Probe({dir_ + "/missing.img"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.empty());
  EXPECT_NE(r.err.find("cannot open '" + dir_ + "/missing.img'"), std::string::npos) << r.err;

  const std::string img = WriteImage("sample.img", SunSample());
  r = Probe({"--map", "nonesuch", img});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("nonesuch"), std::string::npos) << r.err;

  r = Probe({"--modules", dir_, img});  // a folder without modules
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no modules"), std::string::npos) << r.err;

  r = Probe({"--modules", KELB_MODULE_DIR, "--debug=all", img});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Table(r.out, "sun_partition_map").size(), 2u) << r.out;

  for (auto args :
       std::vector<std::vector<std::string>>{{}, {"--bogus", img}, {img, "1", "2"}, {"--map"}}) {
    r = Probe(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("kelb-probe --help"), std::string::npos) << r.err;
  }

  r = Probe({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: kelb-probe [--debug=COND] [--map NAME] [--json] [--bytes]", 0), 0u)
      << r.out;
  EXPECT_NE(r.out.find("looked up by its name (\"1\", ...)\n"
                       "                  in the first map that accepts the disk\n"),
            std::string::npos)
      << r.out;

  // A module whose map lacks an operation: refused, naming its file.
  r = Probe({"--modules", KELB_INCOMPLETE_MODULE_DIR, img});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string("kelb-probe: cannot load module '") + KELB_INCOMPLETE_MODULE_DIR +
                       "/lacks_empty_name.mod': a partition map with no name\n");
}

// Only a regular file or a block device is read; anything else is refused
// at once (a FIFO without a writer must not block the open) with the reason.
TEST_F(ProbeTest, RefusesWhatIsNotADiskWithTheRealReason) {
  const std::string fifo = dir_ + "/fifo", sock = dir_ + "/sock";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int s = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sock.size(), sizeof addr.sun_path);
  memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  close(s);

  for (const std::string &path : {fifo, sock, std::string("/dev/null")}) {
    ProgramRun r = Probe({path});
    EXPECT_EQ(r.status, 1) << path;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "kelb-probe: cannot open '" + path + "': not a regular file or block device\n");
  }
  ProgramRun r = Probe({dir_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kelb-probe: cannot open '" + dir_ + "': is a directory\n");
  r = Probe({dir_ + "/missing.img"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "kelb-probe: cannot open '" + dir_ + "/missing.img': " + strerror(ENOENT) + "\n");
}

// With PARTITION the status follows the look-up alone: a sun label whose
// disk also fools the apple map (every later sector carries its signature,
// so its walk lists entries and then reads past the end).
TEST_F(ProbeTest, PartitionStatusFollowsTheLookUpAlone) {
  std::vector<uint8_t> bytes = SunSample();
  for (size_t sector = 1; sector < bytes.size() / 512; sector++) {
    bytes[sector * 512] = 0x50;
    bytes[sector * 512 + 1] = 0x4D;
  }
  const std::string img = WriteImage("both.img", bytes);

  ProgramRun r = Probe({img});
  EXPECT_EQ(r.status, 1) << "a map failed while listing";
  EXPECT_EQ(Table(r.out, "sun_partition_map").size(), 2u) << r.out;
  EXPECT_NE(
      r.err.find("kelb-probe: " + img + ": apple_partition_map: attempt to read past the end"),
      std::string::npos)
      << r.err;

  r = Probe({img, "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  auto rows = Table(r.out, "sun_partition_map");
  ASSERT_EQ(rows.size(), 1u) << r.out;
  EXPECT_EQ(rows[0], (std::vector<std::string>{"2", "32", "32", "0"}));
  r = Probe({img, "4"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("kelb-probe: " + img + ": sun_partition_map: no partition '4'"),
            std::string::npos)
      << r.err;
  r = Probe({WriteImage("blank.img", std::vector<uint8_t>(4096)), "1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out.rfind(dir_ + "/blank.img: no partition map recognised\n", 0), 0u) << r.out;
}

// --json parses whatever bytes the disk's path holds: well-formed UTF-8 as
// it is, every other byte as \u00XX. Checked with python3's json module.
TEST_F(ProbeTest, JsonParsesWhateverBytesThePathHolds) {
  const std::string name =
      "a\xC3\xA9"
      "b\xE9\xC0\x80\xED\xA0\x80\xF4\x90\x80\x80"
      "\xF0\x9F\x98\x80\x01\"\\z\xE2\x82";
  // What a JSON reader gets back, in UTF-8: each stray byte as U+00XX.
  const std::string decoded =
      "a\xC3\xA9"
      "b\xC3\xA9\xC3\x80\xC2\x80\xC3\xAD\xC2\xA0\xC2\x80"
      "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80\xF0\x9F\x98\x80\x01\"\\z"
      "\xC3\xA2\xC2\x82";
  const std::string img = WriteImage(name, SunSample());
  const std::string blank = WriteImage(name + ".blank", std::vector<uint8_t>(4096));
  // Prints the "disk" member and the names of maps and partitions, UTF-8.
  const std::string script =
      "import json, sys\n"
      "d = json.loads(open(sys.argv[1], 'rb').read().decode('utf-8'))\n"
      "names = [m['name'] for m in d.get('maps', [])]\n"
      "names += [p['name'] for m in d.get('maps', []) for p in m['partitions']]\n"
      "if 'partition' in d: names += [d['map'], d['partition']['name']]\n"
      "sys.stdout.buffer.write((d['disk'] + '|' + ','.join(names)).encode('utf-8'))\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string names;
  };
  for (const Case &c : std::vector<Case>{{{"--json", img}, 0, "sun_partition_map,1,2"},
                                         {{"--json", img, "2"}, 0, "sun_partition_map,2"},
                                         {{"--json", blank}, 2, ""}}) {
    SCOPED_TRACE(c.args.back());
    ProgramRun r = Probe(c.args);
    ASSERT_EQ(r.status, c.status) << r.err;
    const std::string out = dir_ + "/out.json";
    ASSERT_TRUE(WriteFileBytes(out, r.out));
    ProgramRun parsed = RunProgram({"/usr/bin/python3", "-c", script, out});
    ASSERT_EQ(parsed.status, 0) << parsed.err << r.out;
    const std::string disk =
        c.args[1] == blank ? dir_ + "/" + decoded + ".blank" : dir_ + "/" + decoded;
    EXPECT_EQ(parsed.out, disk + "|" + c.names);
  }
}

// Where the modules come from: --modules, else KELB_MODULE_DIR, else the
// program's own location: the installed folder at its path from bin/. A copy
// outside the build tree never falls back to the build tree's modules.
TEST_F(ProbeTest, FindsModulesByOptionEnvironmentAndOwnLocation) {
  const std::string img = WriteImage("sample.img", SunSample());
  const std::string empty = dir_ + "/empty";
  ASSERT_EQ(mkdir(empty.c_str(), 0755), 0);

  RunOptions from_env;
  from_env.env = {{"KELB_MODULE_DIR", empty}};
  ProgramRun r = Probe({img}, from_env);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no modules (*.mod) in '" + empty + "' (from KELB_MODULE_DIR)"),
            std::string::npos)
      << r.err;
  r = Probe({"--modules", KELB_MODULE_DIR, img}, from_env);  // the option wins
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Table(r.out, "sun_partition_map").size(), 2u) << r.out;
  from_env.env = {{"KELB_MODULE_DIR", ""}};  // empty: as if unset
  r = Probe({img}, from_env);
  EXPECT_EQ(r.status, 0) << r.err;

  // An installed tree under a prefix of our own: bin/kelb-probe alone finds
  // nothing; with the modules at their installed path it lists the disk.
  from_env.env = {{"KELB_MODULE_DIR", std::nullopt}};
  const std::string bin = dir_ + "/prefix/bin";
  const std::string mods = bin + "/" + KELB_INSTALLED_MODULE_RELDIR;
  ASSERT_EQ(RunProgram({"/bin/mkdir", "-p", bin, mods}).status, 0);
  ASSERT_EQ(RunProgram({"/bin/cp", KELB_PROBE, bin + "/kelb-probe"}).status, 0);
  r = RunProgram({bin + "/kelb-probe", img}, from_env);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no modules found"), std::string::npos) << r.err;
  for (const char *m : {"sun", "amiga", "apple", "acorn"})
    ASSERT_EQ(RunProgram({"/bin/cp", std::string(KELB_MODULE_DIR) + "/" + m + ".mod", mods}).status,
              0);
  r = RunProgram({bin + "/kelb-probe", img}, from_env);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Table(r.out, "sun_partition_map").size(), 2u) << r.out;
}

// Standard output is checked when the program ends: a write that failed,
// at the end or while a long table was printed, is a failure of its own.
TEST_F(ProbeTest, AFailedWriteToStandardOutputIsAFailure) {
  const std::string img = WriteImage("sample.img", SunSample());
  const std::string blank = WriteImage("blank.img", std::vector<uint8_t>(4096));
  // 300 Apple map entries: a table larger than the output buffer.
  kelb_label::AppleDisk apple(302);
  for (uint32_t sector = 1; sector <= 300; sector++) apple.Entry(sector, sector, 1);
  const std::string many = WriteImage("many.img", apple.Bytes());
  RunOptions full;
  full.child_setup = [] {
    const int fd = open("/dev/full", O_WRONLY);
    return fd >= 0 && dup2(fd, 1) == 1;
  };
  for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
           {img}, {"--json", img}, {"--help"}, {"--version"}, {many}, {blank}, {img, "2"}}) {
    SCOPED_TRACE(args[0]);
    ProgramRun r = Probe(args, full);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("kelb-probe: write error: ") + strerror(ENOSPC) + "\n");
  }
  RunOptions closed;
  closed.child_setup = [] { return close(1) == 0; };
  ProgramRun r = Probe({img}, closed);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string("kelb-probe: write error: ") + strerror(EBADF) + "\n");
  r = Probe({dir_ + "/missing.img"}, closed);  // nothing written: only the error
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "kelb-probe: cannot open '" + dir_ + "/missing.img': " + strerror(ENOENT) + "\n");
}

// An empty --map or --modules is an error, not every map or the default
// folder.
TEST_F(ProbeTest, AnEmptyMapOrModulesNameIsAnError) {
  const std::string img = WriteImage("sample.img", SunSample());
  const std::vector<std::pair<std::vector<std::string>, std::string>> errors = {
      {{"--map", "", img}, "option --map needs a map or module name"},
      {{"--map=", img}, "option --map needs a map or module name"},
      {{"--map", "sun,", img}, "option --map: an empty name in 'sun,'"},
      {{"--map=,sun", img}, "option --map: an empty name in ',sun'"},
      {{"--modules", "", img}, "option --modules needs a folder name"},
      {{"--modules=", img}, "option --modules needs a folder name"}};
  for (const auto &e : errors) {
    SCOPED_TRACE(e.second);
    ProgramRun r = Probe(e.first);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kelb-probe: " + e.second + "\nTry 'kelb-probe --help'.\n");
  }
}

// --map takes a comma list and may be repeated, and selects every map any
// name selects (a module's name or a map's), as --help says.
TEST_F(ProbeTest, MapNamesSelectEveryMapAnyNameSelects) {
  const std::string img = WriteImage("sample.img", SunSample());
  const std::string blank = WriteImage("blank.img", std::vector<uint8_t>(4096));
  ProgramRun r = Probe({"--map", "sun", "--map=apple,Linux/ADFS partition map", blank});
  EXPECT_EQ(r.status, 2) << r.err;
  std::vector<std::string> lines = Split(r.out, '\n');
  ASSERT_EQ(lines.size(), 4u) << r.out;
  EXPECT_EQ(lines[0], blank + ": no partition map recognised");
  // In the order the maps were registered (module files by name), not amiga.
  EXPECT_EQ(lines[1].rfind("  Linux/ADFS partition map: ", 0), 0u) << r.out;
  EXPECT_EQ(lines[2].rfind("  apple_partition_map: ", 0), 0u) << r.out;
  EXPECT_EQ(lines[3].rfind("  sun_partition_map: ", 0), 0u) << r.out;

  r = Probe({"--map", "amiga,sun_partition_map", img, "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Table(r.out, "sun_partition_map").size(), 1u) << r.out;

  r = Probe({"--help"});
  EXPECT_NE(r.out.find("of module NAME (\"sun\"); a comma list, or the option given\n"
                       "                  again, uses every map any of the names selects\n"),
            std::string::npos)
      << r.out;
}

// Each name given to --map has to select a map.
TEST_F(ProbeTest, AMapNameThatSelectsNothingIsAnError) {
  const ProgramRun r = Probe({"--map", "sun,nonesuch", WriteImage("sample.img", SunSample())});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "kelb-probe: no partition map or module named 'nonesuch'\n");
}

// Each failure says what happened, once, naming the file or folder.
TEST_F(ProbeTest, MessagesSayWhatHappened) {
  const std::string img = WriteImage("sample.img", SunSample());
  const std::string missing = dir_ + "/missing";
  ProgramRun r = Probe({"--modules", missing, img});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "kelb-probe: cannot read module folder '" + missing + "': " + strerror(ENOENT) + "\n");
  RunOptions from_env;
  from_env.env = {{"KELB_MODULE_DIR", missing}};
  r = Probe({img}, from_env);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kelb-probe: cannot read module folder '" + missing + "': " + strerror(ENOENT) +
                       " (from KELB_MODULE_DIR)\n");

  // The sun module marked as built for another machine.
  std::string foreign = ReadFileBytes(kSunModule);
  ASSERT_GT(foreign.size(), sizeof(Elf64_Ehdr));
#if defined(__aarch64__)
  const uint16_t machine = EM_RISCV;
  const std::string machine_name = "RISC-V";
#else
  const uint16_t machine = EM_AARCH64;
  const std::string machine_name = "AArch64";
#endif
  memcpy(foreign.data() + offsetof(Elf64_Ehdr, e_machine), &machine, sizeof machine);
  const std::string arm = dir_ + "/arm";
  ASSERT_EQ(mkdir(arm.c_str(), 0755), 0);
  ASSERT_TRUE(WriteFileBytes(arm + "/sun.mod", foreign));
  r = Probe({"--modules", arm, img});
  EXPECT_EQ(r.status, 1);
  const std::string built_for =
      "kelb-probe: cannot load module '" + arm + "/sun.mod': built for " + machine_name;
  const std::string build =
      std::string(sizeof(void *) == 8 ? "64-bit" : "32-bit") + ", " +
      (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? "big-endian" : "little-endian");
  EXPECT_EQ(r.err.rfind(built_for + " (" + build + "); this host loads ", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;

  const std::vector<std::pair<std::string, std::string>> refused = {
      {"no_map", "it registers no partition map"},
      {"data_entries", "kelb_mod_init is a data object, not a function"}};
  for (const auto &m : refused) {
    SCOPED_TRACE(m.first);
    const std::string dir = ModuleFolder(
        m.first, {{"sun.mod", kSunModule}, {m.first + ".mod", kFaulty + "/" + m.first + ".mod"}});
    r = Probe({"--modules", dir, img});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kelb-probe: cannot load module '" + dir + "/" + m.first +
                         ".mod': " + m.second + "\n");
  }

  // A map that fails without a message: its code stands in for one.
  const std::string silent = ModuleFolder(
      "silent", {{"sun.mod", kSunModule}, {"silent.mod", kFaulty + "/silent_failure.mod"}});
  r = Probe({"--modules", silent, img});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Table(r.out, "sun_partition_map").size(), 2u) << r.out;
  EXPECT_EQ(r.err, "kelb-probe: " + img + ": silent_map: error code 4\n");
}

// A second module of one name, or one registering a map of a registered
// map's name, is left out naming both files, and the run goes on with the
// first; another link to a loaded file is that module, silently.
TEST_F(ProbeTest, OneModuleAndOneMapOfEachName) {
  const std::string img = WriteImage("sample.img", SunSample());
  const std::string dir = ModuleFolder("mods", {{"sun-again.mod", kSunModule},
                                                {"sun.mod", kSunModule},
                                                {"twin.mod", kFaulty + "/sun_twin.mod"}});
  ASSERT_TRUE(WriteFileBytes(dir + "/sun-copy.mod", ReadFileBytes(kSunModule)));
  for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
           {"--modules", dir, img}, {"--modules", dir, img, "2"}}) {
    SCOPED_TRACE(args.size());
    ProgramRun r = Probe(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find(": sun_partition_map ("), r.out.rfind(": sun_partition_map (")) << r.out;
    EXPECT_EQ(Table(r.out, "sun_partition_map").size(), args.size() == 3 ? 2u : 1u) << r.out;
    ProgramRun debug = Probe({"--debug=modules", args[0], args[1], args[2]});
    const std::string loaded =
        ": module 'sun' loaded from '" + dir + "/sun-again.mod' through a sealed in-memory copy\n";
    EXPECT_NE(debug.err.find(loaded), std::string::npos) << debug.err;
    EXPECT_EQ(debug.err.find("loaded from"), debug.err.rfind("loaded from")) << debug.err;
    EXPECT_EQ(r.err, "kelb-probe: cannot load module '" + dir +
                         "/sun-copy.mod': module 'sun' is loaded already from '" + dir +
                         "/sun-again.mod'\n"
                         "kelb-probe: cannot load module '" +
                         dir +
                         "/twin.mod': partition map 'sun_partition_map' is registered already "
                         "by '" +
                         dir + "/sun-again.mod'\n");
  }
}

// Paths, names and messages reach the table and standard error with their
// control bytes and backslashes escaped; the JSON form escapes as JSON does.
TEST_F(ProbeTest, ControlBytesNeverReachTheTerminal) {
  const std::string name = "e\x1b[31mRED\x07\\";
  const std::string shown = "e\\x1b[31mRED\\x07\\\\";
  const std::string img = WriteImage(name + ".img", SunSample());
  ProgramRun r = Probe({img});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind(dir_ + "/" + shown + ".img: sun_partition_map (", 0), 0u) << r.out;
  r = Probe({"--json", img});
  EXPECT_NE(r.out.find("e\\u001b[31mRED\\u0007\\\\.img"), std::string::npos) << r.out;
  r = Probe({dir_ + "/" + name + ".missing"});
  EXPECT_EQ(r.err, "kelb-probe: cannot open '" + dir_ + "/" + shown +
                       ".missing': " + strerror(ENOENT) + "\n");

  // Apple entry names and types in the debug lines come from the disk.
  kelb_label::AppleDisk apple(4);
  apple.Entry(1, 1, 3, "\x1b[31mRED\x07", "Apple_\xC2\x9B").Entry(2, 1024, 1, "Last", "x\ty");
  r = Probe({"--debug=partition", "--map", "apple", WriteImage("apple.img", apple.Bytes())});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("name \\x1b[31mRED\\x07, type Apple_\\xc2\\x9b, start 0x1, len 0x3\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("name Last, type x\\x09y, start 0x400, len 0x1\n"), std::string::npos)
      << r.err;
  for (char c : r.err + r.out)
    EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
}

// A column is as wide as its widest cell when that passes its least width
// (12 for START, END and LENGTH): a start of 20 digits, and an end and byte
// values past 64 bits, exact.
TEST_F(ProbeTest, ColumnsWidenToFit) {
  const std::string img = WriteImage("wide.img", kelb_label::SunLabel(0xFFFF, 0xFFFF)
                                                     .Entry(0, 2, 0xFFFFFFFF, 0xFFFFFFFF)
                                                     .Entry(1, 3, 0, 1)
                                                     .Bytes());
  ProgramRun r = Probe({img});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, img +
                       ": sun_partition_map (sectors of 512 bytes; OFFSET: the label's sector)\n"
                       "NAME                  START                  END       LENGTH   SIZE"
                       "       OFFSET\n"
                       "1      18446181123756261375 18446181128051228669   4294967295     2T"
                       "            0\n"
                       "2                         0                    0            1   512B"
                       "            0\n");
  r = Probe({"--bytes", img});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, img +
                       ": sun_partition_map (START, END and LENGTH in bytes; OFFSET: the label's "
                       "sector)\n"
                       "NAME                    START                    END        LENGTH   SIZE"
                       "       OFFSET\n"
                       "1      9444444735363205824000 9444444737562229079039 2199023255040     2T"
                       "            0\n"
                       "2                           0                    511           512   512B"
                       "            0\n");
  r = Probe({"--json", img});
  EXPECT_NE(r.out.find("\"end\": 18446181128051228669, \"start_byte\": 9444444735363205824000, "
                       "\"end_byte\": 9444444737562229079039, \"length_bytes\": 2199023255040}"),
            std::string::npos)
      << r.out;
}

TEST_F(ProbeTest, VersionPrintsTheNameAndVersionAlone) {
  ProgramRun r = Probe({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("kelb-probe ") + KELB_PROBE_VERSION + "\n");
  EXPECT_TRUE(r.err.empty()) << r.err;
}

}  // namespace
