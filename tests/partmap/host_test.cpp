// SPDX-License-Identifier: MIT
// The stand-in host's services, as the modules see them.

#include "tests/partmap/kelb_fixture.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"

#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <elf.h>
#include <fstream>
#include <type_traits>
#include <iterator>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kelb_test;

namespace {

std::vector<uint8_t> Numbered(size_t sectors) {
  std::vector<uint8_t> b(sectors * 512);
  for (size_t i = 0; i < b.size(); i++) b[i] = static_cast<uint8_t>(i / 512 * 16 + i % 7);
  return b;
}

class HostTest : public KelbTest {};

// Whether the in-memory copy load_module made of the file called `name` is
// mapped into this process.
bool Mapped(const std::string &name) {
  std::ifstream maps("/proc/self/maps");
  const std::string wanted = "/memfd:" + name + " (deleted)";
  for (std::string line; std::getline(maps, line);)
    if (line.size() >= wanted.size() &&
        line.compare(line.size() - wanted.size(), wanted.size(), wanted) == 0)
      return true;
  return false;
}

// Descriptors this process holds open.
size_t OpenDescriptors() {
  size_t n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (readdir(d)) n++;
    closedir(d);
  }
  return n;
}

// The machine this test runs on, as load_module names it, and another one.
#if defined(__aarch64__)
constexpr uint16_t kOtherMachine = EM_X86_64;
const char kOtherMachineName[] = "x86-64", kHostMachineName[] = "AArch64";
#else
constexpr uint16_t kOtherMachine = EM_AARCH64;
const char kOtherMachineName[] = "AArch64";
#if defined(__x86_64__)
const char kHostMachineName[] = "x86-64";
#elif defined(__i386__)
const char kHostMachineName[] = "i386";
#elif defined(__s390x__)
const char kHostMachineName[] = "S/390";
#elif defined(__powerpc64__)
const char kHostMachineName[] = "PowerPC64";
#elif defined(__powerpc__)
const char kHostMachineName[] = "PowerPC";
#elif defined(__m68k__)
const char kHostMachineName[] = "m68k";
#elif defined(__sparc__) && defined(__arch64__)
const char kHostMachineName[] = "SPARC V9";
#elif defined(__arm__)
const char kHostMachineName[] = "ARM";
#else
#error "name this machine as the host names it"
#endif
#endif
// The host's class and byte order, as refusals name them.
const std::string kHostBuild =
    std::string(sizeof(void *) == 8 ? "64-bit" : "32-bit") + ", " +
    (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? "big-endian" : "little-endian");

TEST_F(HostTest, ReadsMayStartInsideASectorAndRunAcrossSectors) {
  std::vector<uint8_t> bytes = Numbered(4);
  kelb_disk *disk = Disk(bytes);
  EXPECT_EQ(disk->total_sectors, 4u);
  uint8_t buf[600];
  ASSERT_EQ(kelb_disk_read(disk, 1, 500, 600, buf), KELB_ERR_NONE);
  EXPECT_TRUE(std::equal(buf, buf + 600, bytes.begin() + 1012));
  // The byte offset may run past its sector.
  ASSERT_EQ(kelb_disk_read(disk, 0, 1536, 512, buf), KELB_ERR_NONE);
  EXPECT_TRUE(std::equal(buf, buf + 512, bytes.begin() + 1536));
  EXPECT_EQ(kelb_errno, KELB_ERR_NONE);
}

TEST_F(HostTest, ReadPastEndFailsWithItsOwnCodeNamingTheSector) {
  kelb_disk *disk = Disk(Numbered(4), "four.img");
  uint8_t buf[512];
  EXPECT_EQ(kelb_disk_read(disk, 3, 1, 512, buf), KELB_ERR_OUT_OF_RANGE);
  EXPECT_EQ(kelb_errno, KELB_ERR_OUT_OF_RANGE);
  EXPECT_NE(Message().find("past the end of 'four.img'"), std::string::npos) << Message();
  EXPECT_NE(Message().find("sector 4"), std::string::npos) << Message();

  EXPECT_EQ(kelb_disk_read(disk, 9, 0, 16, buf), KELB_ERR_OUT_OF_RANGE);
  EXPECT_NE(Message().find("sector 9"), std::string::npos) << Message();
  // Sector numbers whose byte position overflows 64 bits.
  EXPECT_EQ(kelb_disk_read(disk, 0xFFFFFFFF80000000ull, 0, 176, buf), KELB_ERR_OUT_OF_RANGE);
  EXPECT_EQ(kelb_disk_read(disk, 0, UINT64_MAX, 1, buf), KELB_ERR_OUT_OF_RANGE);
  EXPECT_EQ(kelb_disk_read(disk, 3, 511, 1, buf), KELB_ERR_NONE);

  // A trailing partial sector is not part of the disk.
  std::vector<uint8_t> odd(1000, 1);
  kelb_disk *short_disk = Disk(odd);
  EXPECT_EQ(short_disk->total_sectors, 1u);
  EXPECT_EQ(kelb_disk_read(short_disk, 1, 0, 1, buf), KELB_ERR_OUT_OF_RANGE);
}

TEST_F(HostTest, PartitionHandleReadsRelativeAndStaysInside) {
  std::vector<uint8_t> bytes = Numbered(8);
  kelb_disk *disk = Disk(bytes, "eight.img");
  kelb_partition p{};
  p.start = 2;
  p.length = 3;
  p.index = 1;
  kelb_disk *part = OnPartition(disk, p);
  ASSERT_NE(part->partition, nullptr);
  EXPECT_EQ(part->partition->start, 2u);
  uint8_t buf[512];
  ASSERT_EQ(kelb_disk_read(part, 1, 10, 100, buf), KELB_ERR_NONE);
  EXPECT_TRUE(std::equal(buf, buf + 100, bytes.begin() + 3 * 512 + 10));
  ASSERT_EQ(kelb_disk_read(part, 2, 0, 512, buf), KELB_ERR_NONE);
  // Sector 3 of the partition is sector 5 of the disk, which exists, but the
  // partition ends before it.
  EXPECT_EQ(kelb_disk_read(part, 2, 1, 512, buf), KELB_ERR_OUT_OF_RANGE);
  EXPECT_NE(Message().find("partition 2"), std::string::npos) << Message();

  // A partition reaching beyond the disk is still bounded by the disk.
  p.start = 6;
  p.length = 100;
  kelb_disk *beyond = OnPartition(disk, p);
  EXPECT_EQ(kelb_disk_read(beyond, 1, 0, 512, buf), KELB_ERR_NONE);
  EXPECT_EQ(kelb_disk_read(beyond, 2, 0, 512, buf), KELB_ERR_OUT_OF_RANGE);
  p.start = UINT64_MAX / 2;
  kelb_disk *far = OnPartition(disk, p);
  EXPECT_EQ(kelb_disk_read(far, 0, 0, 1, buf), KELB_ERR_OUT_OF_RANGE);
}

TEST_F(HostTest, ChosenSectorFailsOnEveryHandleOfTheDisk) {
  kelb_disk *disk = Disk(Numbered(8), "flaky.img");
  kelb_partition p{};
  p.start = 4;
  p.length = 4;
  kelb_disk *part = OnPartition(disk, p);
  FailReadsAt(disk, 5);
  uint8_t buf[1024];
  EXPECT_EQ(kelb_disk_read(disk, 4, 0, 512, buf), KELB_ERR_NONE);
  EXPECT_EQ(kelb_disk_read(disk, 4, 500, 20, buf), KELB_ERR_READ_ERROR);
  EXPECT_EQ(Message(), "read error at sector 5 of 'flaky.img': injected failure");
  EXPECT_EQ(kelb_disk_read(part, 1, 0, 1, buf), KELB_ERR_READ_ERROR);
  kelb_host::clear_read_failures(disk);
  EXPECT_EQ(kelb_disk_read(part, 1, 0, 1, buf), KELB_ERR_NONE);
}

TEST_F(HostTest, ImageFilesOpenReadOnlyAndNameThePathOnFailure) {
  TempDir temp;
  const std::string dir = temp.str();
  const std::string path = temp / "disk.img";
  std::vector<uint8_t> bytes = Numbered(3);
  bytes.resize(bytes.size() + 100, 0xEE);  // partial sector at the end
  ASSERT_TRUE(WriteFileBytes(path, bytes));
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  kelb_disk *disk = kelb_host::open_image(path);
  ASSERT_NE(disk, nullptr) << Message();
  EXPECT_EQ(disk->total_sectors, 3u);
  uint8_t buf[700];
  ASSERT_EQ(kelb_disk_read(disk, 0, 1000, 536, buf), KELB_ERR_NONE);
  EXPECT_TRUE(std::equal(buf, buf + 536, bytes.begin() + 1000));
  EXPECT_EQ(kelb_disk_read(disk, 3, 0, 1, buf), KELB_ERR_OUT_OF_RANGE);
  kelb_host::close_disk(disk);

  EXPECT_EQ(kelb_host::open_image(dir + "/missing.img"), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_FILE_NOT_FOUND);
  EXPECT_NE(Message().find(dir + "/missing.img"), std::string::npos) << Message();
  EXPECT_EQ(kelb_host::open_image(dir), nullptr);
  EXPECT_NE(Message().find("is a directory"), std::string::npos) << Message();
}

TEST_F(HostTest, ErrorTakesAPrintfFormatAndReturnsTheCode) {
  EXPECT_EQ(kelb_error(KELB_ERR_BAD_PART_TABLE, "bad %s at %d", "label", 42),
            KELB_ERR_BAD_PART_TABLE);
  EXPECT_EQ(kelb_errno, KELB_ERR_BAD_PART_TABLE);
  EXPECT_EQ(Message(), "bad label at 42");
  kelb_host::clear_error();
  EXPECT_EQ(kelb_errno, KELB_ERR_NONE);
  EXPECT_EQ(Message(), "");
}

TEST_F(HostTest, StrtoulRejectsNonNumbersAndOverflow) {
  char *end = nullptr;
  EXPECT_EQ(kelb_strtoul("123abc", &end, 10), 123u);
  EXPECT_STREQ(end, "abc");
  EXPECT_EQ(kelb_errno, KELB_ERR_NONE);
  EXPECT_EQ(kelb_strtoul("0x1f", nullptr, 16), 31u);
  EXPECT_EQ(kelb_strtoul("0x1f", nullptr, 0), 31u);
  EXPECT_EQ(kelb_strtoul("017", nullptr, 0), 15u);
  EXPECT_EQ(kelb_strtoul("18446744073709551615", nullptr, 10), ULONG_MAX);
  EXPECT_EQ(kelb_errno, KELB_ERR_NONE);
  // Past 32 bits: the number where a long holds it, else the largest long;
  // no error on any machine.
  EXPECT_EQ(kelb_strtoul("4294967296", nullptr, 10),
            ULONG_MAX > 0xFFFFFFFFul ? static_cast<unsigned long>(0xFFFFFFFFul + 1ull) : ULONG_MAX);
  EXPECT_EQ(kelb_errno, KELB_ERR_NONE);

  for (const char *bad : {"", "x1", "-1", "+1", " 1"}) {
    SCOPED_TRACE(bad);
    kelb_host::clear_error();
    end = nullptr;
    EXPECT_EQ(kelb_strtoul(bad, &end, 10), 0u);
    EXPECT_EQ(kelb_errno, KELB_ERR_BAD_NUMBER);
    EXPECT_EQ(end, bad);
  }
  kelb_host::clear_error();
  EXPECT_EQ(kelb_strtoul("18446744073709551616", &end, 10), ULONG_MAX);
  EXPECT_EQ(kelb_errno, KELB_ERR_BAD_NUMBER);
  EXPECT_EQ(*end, '\0');
  // A success leaves an earlier error alone.
  EXPECT_EQ(kelb_strtoul("5", nullptr, 10), 5u);
  EXPECT_EQ(kelb_errno, KELB_ERR_BAD_NUMBER);
}

TEST_F(HostTest, SprintfFormatsAndCountsWhatItWrote) {
  char buf[32];
  EXPECT_EQ(kelb_sprintf(buf, "%d-%s", -7, "x"), 4);
  EXPECT_STREQ(buf, "-7-x");
}

TEST_F(HostTest, StrcmpOrdersByTheFirstDifference) {
  EXPECT_EQ(kelb_strcmp("RDSK", "RDSK"), 0);
  EXPECT_LT(kelb_strcmp("RDSJ", "RDSK"), 0);
}

TEST_F(HostTest, MemmoveCopiesOverlappingBytes) {
  char over[] = "abcdef";
  kelb_memmove(over + 1, over, 4);
  EXPECT_STREQ(over, "aabcdf");
}

TEST_F(HostTest, DebugLinesOnlyForEnabledConditions) {
  kelb_real_dprintf("partmap/x", 12, "partition", "a %d\n", 1);
  EXPECT_TRUE(DebugLines().empty());
  EnableDebug("disk, partition");
  kelb_real_dprintf("partmap/x", 12, "partition", "a %d\n", 1);
  kelb_real_dprintf("partmap/x", 13, "part", "not this\n");
  EnableDebug("all");
  kelb_real_dprintf("partmap/y", 14, "anything", "b\n");
  ASSERT_EQ(DebugLines().size(), 2u);
  EXPECT_EQ(DebugLines()[0], "partmap/x:12: a 1\n");
  EXPECT_EQ(DebugLines()[1], "partmap/y:14: b\n");
}

TEST_F(HostTest, NthMallocFailsOnceAndLiveBlocksAreCounted) {
  const long live = kelb_host::live_allocations();
  FailNthMalloc(2);
  void *a = kelb_malloc(8);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(kelb_malloc(8), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_OUT_OF_MEMORY);
  void *b = kelb_malloc(0);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(MallocCalls(), 3u);
  EXPECT_EQ(kelb_host::live_allocations(), live + 2);
  kelb_free(a);
  kelb_free(b);
  kelb_free(nullptr);
  EXPECT_EQ(kelb_host::live_allocations(), live);
}

TEST_F(HostTest, MapsFormAListThroughNext) {
  kelb_partition_map a{"a", nullptr, nullptr, nullptr, nullptr};
  kelb_partition_map b{"b", nullptr, nullptr, nullptr, nullptr};
  kelb_partition_map c{"c", nullptr, nullptr, nullptr, nullptr};
  kelb_partition_map_register(&a);
  kelb_partition_map_register(&b);
  kelb_partition_map_register(&c);
  kelb_partition_map_register(&b);  // twice: no loop
  EXPECT_EQ(kelb_host::maps(), &a);
  EXPECT_EQ(a.next, &b);
  EXPECT_EQ(b.next, &c);
  EXPECT_EQ(c.next, nullptr);
  kelb_partition_map_unregister(&b);
  EXPECT_EQ(a.next, &c);
  EXPECT_EQ(b.next, nullptr);
  EXPECT_EQ(kelb_host::find_map("c"), &c);
  EXPECT_EQ(kelb_host::find_map("b"), nullptr);
  kelb_partition_map_unregister(&a);
  kelb_partition_map_unregister(&c);
  EXPECT_EQ(kelb_host::maps(), nullptr);
}

TEST_F(HostTest, ModuleLoadingFailsClearly) {
  EXPECT_EQ(kelb_host::load_module(ModulePath("no-such-module")), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_FILE_NOT_FOUND);
  EXPECT_NE(Message().find("no-such-module.mod"), std::string::npos) << Message();

  // This program is no module: a position-independent executable is an ELF
  // shared object without a .modname section, any other not a shared object.
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  const std::string image = ReadFileBytes(self);
  uint16_t type = 0;  // e_type, in this machine's byte order as the program is
  ASSERT_GT(image.size(), offsetof(Elf64_Ehdr, e_type) + sizeof type);
  memcpy(&type, image.data() + offsetof(Elf64_Ehdr, e_type), sizeof type);
  EXPECT_EQ(kelb_host::load_module(self), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_BAD_MODULE);
  const char *why = type == ET_DYN ? ".modname" : "not a shared object";
  EXPECT_NE(Message().find(why), std::string::npos) << Message();

  kelb_host::clear_error();
  kelb_module *m = kelb_host::load_module(ModulePath("sun"));
  ASSERT_NE(m, nullptr) << Message();
  EXPECT_EQ(kelb_host::module_of(m).name, "sun");
  ASSERT_EQ(kelb_host::module_of(m).maps.size(), 1u);
  EXPECT_EQ(kelb_host::module_of(m).maps[0], kelb_host::find_map("sun_partition_map"));
  EXPECT_TRUE(Mapped("sun.mod"));
  kelb_host::unload_module(m);
  EXPECT_EQ(kelb_host::maps(), nullptr);
  EXPECT_FALSE(Mapped("sun.mod"));

  std::vector<std::string> files;
  std::string error;
  ASSERT_TRUE(kelb_host::module_files(KELB_MODULE_DIR, files, error)) << error;
  EXPECT_NE(std::find(files.begin(), files.end(), ModulePath("sun")), files.end());
  EXPECT_TRUE(std::is_sorted(files.begin(), files.end()));
  const std::string missing = std::string(KELB_MODULE_DIR) + "/no-such-folder";
  EXPECT_FALSE(kelb_host::module_files(missing, files, error));
  EXPECT_EQ(error, "cannot read module folder '" + missing + "': " + strerror(ENOENT));
  EXPECT_TRUE(files.empty());
}

// Four modules in one global scope (RTLD_GLOBAL, as a loader linking them
// into one image has): each one's named entries, and its kelb_mod_init and
// kelb_mod_fini, register and remove its own map. A call through the symbol
// table would reach the first module's kelb_mod_init instead.
TEST_F(HostTest, EntryPointsRunTheirOwnModuleInOneGlobalScope) {
  const std::vector<std::pair<std::string, std::string>> modules = {
      {"sun", "sun_partition_map"},
      {"amiga", "amiga_partition_map"},
      {"apple", "apple_partition_map"},
      {"acorn", "Linux/ADFS partition map"}};
  struct Handles {
    std::vector<void *> dl;
    ~Handles() {
      // Nothing may stay listed that points into an unloaded module.
      while (kelb_partition_map *p = kelb_host::maps()) kelb_partition_map_unregister(p);
      for (auto it = dl.rbegin(); it != dl.rend(); ++it) dlclose(*it);
    }
  } handles;
  for (const auto &m : modules) {
    void *dl = dlopen(ModulePath(m.first).c_str(), RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(dl, nullptr) << dlerror();
    handles.dl.push_back(dl);
  }
  for (size_t i = 0; i < modules.size(); i++) {
    const std::string &module = modules[i].first, &map = modules[i].second;
    SCOPED_TRACE(module);
    const std::string prefix = "kelb_" + module + "_partition_map_";
    auto init = reinterpret_cast<void (*)()>(dlsym(handles.dl[i], (prefix + "init").c_str()));
    auto fini = reinterpret_cast<void (*)()>(dlsym(handles.dl[i], (prefix + "fini").c_str()));
    auto mod_init =
        reinterpret_cast<void (*)(kelb_module_t)>(dlsym(handles.dl[i], "kelb_mod_init"));
    auto mod_fini = reinterpret_cast<void (*)()>(dlsym(handles.dl[i], "kelb_mod_fini"));
    ASSERT_TRUE(init && fini && mod_init && mod_fini);

    init();
    ASSERT_NE(kelb_host::maps(), nullptr);
    EXPECT_STREQ(kelb_host::maps()->name, map.c_str());
    EXPECT_EQ(kelb_host::maps()->next, nullptr);
    fini();
    EXPECT_EQ(kelb_host::maps(), nullptr);

    mod_init(nullptr);
    ASSERT_NE(kelb_host::maps(), nullptr);
    EXPECT_STREQ(kelb_host::maps()->name, map.c_str());
    EXPECT_EQ(kelb_host::maps()->next, nullptr);
    mod_fini();
    EXPECT_EQ(kelb_host::maps(), nullptr);
  }
}

// inspect_module's refusal of `bytes`, or "accepted".
std::string Refusal(const std::string &bytes) {
  std::string name, error;
  if (kelb_host::inspect_module(bytes.data(), bytes.size(), "x.mod", name, error))
    return "accepted";
  EXPECT_TRUE(name.empty());
  return error;
}

// A module file damaged each way is refused, naming the file and saying
// what is wrong, before anything of it is mapped.
TEST_F(HostTest, DamagedModuleFilesAreRefusedWithTheReason) {
  const std::string sound = ReadFileBytes(ModulePath("sun"));
  ASSERT_GT(sound.size(), sizeof(Elf64_Ehdr));
  EXPECT_EQ(Refusal(sound), "accepted");

  EXPECT_EQ(Refusal(sound.substr(0, 30)).rfind("'x.mod': damaged ELF header", 0), 0u)
      << Refusal(sound.substr(0, 30));
  EXPECT_EQ(Refusal(sound.substr(0, sound.size() - 1)),
            "'x.mod': section table lies outside the file");
  EXPECT_EQ(Refusal(""), "'x.mod': not an ELF file");

  // The section table moved far past the end, in the header of the host's
  // own ELF class (the modules are built as the host is).
  using Ehdr = std::conditional_t<sizeof(void *) == 8, Elf64_Ehdr, Elf32_Ehdr>;
  Ehdr eh;
  memcpy(&eh, sound.data(), sizeof eh);
  std::string far = sound;
  eh.e_shoff = decltype(eh.e_shoff){0xF} << (sizeof eh.e_shoff * 8 - 4);
  memcpy(far.data(), &eh, sizeof eh);
  EXPECT_EQ(Refusal(far), "'x.mod': section table lies outside the file");

  std::string renamed = sound;
  const size_t at = renamed.find(std::string(".modname\0", 9));
  ASSERT_NE(at, std::string::npos);
  renamed[at + 7] = 'f';
  EXPECT_EQ(Refusal(renamed), "'x.mod': no .modname section");

  std::string foreign = sound;
  const uint16_t machine = kOtherMachine;  // e_machine, in the file's (the host's) byte order
  memcpy(foreign.data() + offsetof(Elf64_Ehdr, e_machine), &machine, sizeof machine);
  EXPECT_EQ(Refusal(foreign), std::string("'x.mod': built for ") + kOtherMachineName + " (" +
                                  kHostBuild + "); this host loads " + kHostMachineName +
                                  " modules");

  // Seeds written by fuzz/make_seeds.py: small x86 files laid out as
  // modules. A host of another machine, class or byte order refuses them for
  // that first, naming the machine they were built for.
  const bool wide = sizeof(void *) == 8;
  const bool bigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
  const auto refusal = [&](bool seedWide, bool seedBig, const std::string &reason) {
    const std::string seed_machine = seedWide ? "x86-64" : "i386";
    std::string why = reason;
    if (seedWide != wide || seedBig != bigEndian || seed_machine != kHostMachineName) {
      const std::string build = std::string(seedWide ? "64-bit" : "32-bit") + ", " +
                                (seedBig ? "big-endian" : "little-endian");
      why = "built for " + seed_machine + " (" + build + "); this host loads " + kHostMachineName +
            (seed_machine == kHostMachineName ? std::string(" (") + kHostBuild + ")" : "") +
            " modules";
    }
    return why.empty() ? std::string("accepted") : "'x.mod': " + why;
  };
  const std::string seeds = KELB_SOURCE_DIR "/fuzz/corpus/module_file/";
  const struct {
    const char *seed;
    bool wide, big;
    const char *reason;  // empty: a sound module
  } kSeeds[] = {
      {"sound", true, false, ""},
      {"wrong_class", false, false, ""},
      {"sound_big_endian", true, true, ""},
      {"no_program_headers", true, false, "no program headers"},
      {"segment_past_the_end", true, false,
       "segment 0 (offset 0x0, 66440 bytes) lies outside the file (904 bytes)"},
      {"writable_code", true, false, "segment 0 is both writable and executable"},
      {"needs_a_library", true, false,
       "it needs the library 'libc.so.6'; a module links against nothing"},
      {"imports_the_c_library", true, false,
       "it imports 'write', which the boot loader does not offer"},
      // Entry points the loader would call that are no code.
      {"entry_points_are_data", true, false, "kelb_mod_init is a data object, not a function"},
      {"entry_points_not_executable", true, false,
       "kelb_mod_init lies outside the module's executable segments"},
      {"entry_points_past_the_code", true, false,
       "kelb_mod_init lies outside the module's executable segments"}};
  for (const auto &k : kSeeds)
    EXPECT_EQ(Refusal(ReadFileBytes(seeds + k.seed)), refusal(k.wide, k.big, k.reason)) << k.seed;

  // load_module checks the same, and says which file it refused.
  TempDir dir;
  const std::string path = dir.WriteFile("far.mod", far);
  EXPECT_EQ(kelb_host::load_module(path), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_BAD_MODULE);
  EXPECT_EQ(Message(), "cannot load module '" + path + "': section table lies outside the file");
  EXPECT_EQ(kelb_host::maps(), nullptr);
}

// A module whose map lacks a name or an operation, or that registers no
// map, is unloaded again before any operation of it runs (each operation of
// these modules sets an error).
TEST_F(HostTest, IncompleteMapsAreRefusedNamingTheFile) {
  const std::string lacks = std::string(KELB_INCOMPLETE_MODULE_DIR) + "/lacks_";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {lacks + "name.mod", "a partition map with no name"},
      {lacks + "empty_name.mod", "a partition map with no name"},
      {lacks + "for_each.mod", "partition map 'incomplete_map' with no for_each_partition"},
      {lacks + "find.mod", "partition map 'incomplete_map' with no find_partition"},
      {lacks + "partition_name.mod", "partition map 'incomplete_map' with no partition_name"},
      {KELB_FAULTY_MODULE_DIR "/no_map.mod", "it registers no partition map"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.first);
    kelb_host::clear_error();
    EXPECT_EQ(kelb_host::load_module(c.first), nullptr);
    EXPECT_EQ(kelb_errno, KELB_ERR_BAD_MODULE);
    EXPECT_EQ(Message(), "cannot load module '" + c.first + "': " + c.second);
    EXPECT_EQ(kelb_host::maps(), nullptr);
    EXPECT_FALSE(Mapped(c.first.substr(c.first.rfind('/') + 1))) << "still loaded";
  }
}

// kelb_mod_init and kelb_mod_fini as data in .bss: refused before anything
// of the file runs (its constructor would call kelb_malloc).
TEST_F(HostTest, EntryPointsThatAreNotCodeAreRefused) {
  const std::string path = KELB_FAULTY_MODULE_DIR "/data_entries.mod";
  EXPECT_EQ(kelb_host::load_module(path), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_BAD_MODULE);
  EXPECT_EQ(Message(),
            "cannot load module '" + path + "': kelb_mod_init is a data object, not a function");
  EXPECT_EQ(MallocCalls(), 0u) << "code of the refused file ran";
  EXPECT_FALSE(Mapped("data_entries.mod"));
}

// A second file of a loaded module's name, or a module registering a map
// of a registered map's name, is refused naming both files; the first
// stays alone. Another name for the loaded file is that module, once.
TEST_F(HostTest, OneModuleAndOneMapOfEachName) {
  TempDir dir;
  const std::string sun = ModulePath("sun");
  const std::string copy = dir.WriteFile("copy.mod", ReadFileBytes(sun));
  const std::string link = dir / "link.mod";
  ASSERT_EQ(symlink(sun.c_str(), link.c_str()), 0);
  const std::string twin = KELB_FAULTY_MODULE_DIR "/sun_twin.mod";

  kelb_module *first = kelb_host::load_module(sun);
  ASSERT_NE(first, nullptr) << Message();
  kelb_partition_map *map = kelb_host::maps();
  EXPECT_EQ(kelb_host::load_module(copy), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_MODULE_CONFLICT);
  EXPECT_EQ(Message(),
            "cannot load module '" + copy + "': module 'sun' is loaded already from '" + sun + "'");
  EXPECT_EQ(kelb_host::load_module(twin), nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_MODULE_CONFLICT);
  EXPECT_EQ(Message(), "cannot load module '" + twin +
                           "': partition map 'sun_partition_map' is registered already by '" + sun +
                           "'");
  EXPECT_FALSE(Mapped("sun_twin.mod"));
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->next, nullptr);
  EXPECT_EQ(kelb_host::find_map("sun_partition_map"), map);

  EXPECT_EQ(kelb_host::load_module(link), first);
  EXPECT_EQ(map->next, nullptr);
  kelb_host::unload_module(first);
  EXPECT_EQ(kelb_host::maps(), map) << "one load is left";
  kelb_host::unload_module(first);
  EXPECT_EQ(kelb_host::maps(), nullptr);

  kelb_module *again = kelb_host::load_module(copy);  // the name is free again
  ASSERT_NE(again, nullptr) << Message();
  EXPECT_EQ(kelb_host::module_of(again).path, copy);
  kelb_host::unload_module(again);
}

// What is loaded is what was checked: while another process renames, over
// and over, a sound module and one that fails the checks onto one name,
// each load of that name either loads the sound one or refuses the other,
// and nothing of the refused file ever runs. Bounded: 2000 loads, and the
// renaming process ends with them or after a minute.
TEST_F(HostTest, TheFileCheckedIsTheFileLoaded) {
  TempDir dir;
  const std::string good = dir.WriteFile("good", ReadFileBytes(ModulePath("sun")));
  const std::string bad =
      dir.WriteFile("bad", ReadFileBytes(KELB_FAULTY_MODULE_DIR "/data_entries.mod"));
  const std::string target = dir / "swapped.mod", next = dir / "next";
  ASSERT_EQ(link(good.c_str(), target.c_str()), 0);
  const size_t descriptors = OpenDescriptors();

  int started[2];
  ASSERT_EQ(pipe(started), 0);
  const pid_t swapper = fork();
  ASSERT_GE(swapper, 0);
  if (swapper == 0) {
    alarm(60);
    for (unsigned i = 0; i < 10000000; i++) {
      const std::string &from = i % 2 ? good : bad;
      if (link(from.c_str(), next.c_str()) != 0 || rename(next.c_str(), target.c_str()) != 0)
        _exit(1);
      if (i == 1 && write(started[1], "", 1) != 1) _exit(1);
    }
    _exit(0);
  }
  close(started[1]);
  char byte;
  EXPECT_EQ(read(started[0], &byte, 1), 1) << "the renaming did not start";
  close(started[0]);
  const std::string refused =
      "cannot load module '" + target + "': kelb_mod_init is a data object, not a function";
  for (int i = 0; i < 2000 && !HasFailure(); i++) {
    kelb_host::clear_error();
    if (kelb_module *m = kelb_host::load_module(target)) {
      EXPECT_EQ(kelb_host::module_of(m).name, "sun");
      kelb_host::unload_module(m);
    } else {
      EXPECT_EQ(Message(), refused);
    }
  }
  kill(swapper, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(swapper, &status, 0), swapper);
  EXPECT_TRUE(WIFSIGNALED(status)) << "the renaming stopped early, status " << status;
  EXPECT_EQ(MallocCalls(), 0u) << "code of the refused file ran";
  EXPECT_EQ(kelb_host::maps(), nullptr);
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST_F(HostTest, PrintableShowsControlBytesEscaped) {
  using kelb_host::printable;
  EXPECT_EQ(printable("\x1b[31mRED\x07"), "\\x1b[31mRED\\x07");
  EXPECT_EQ(printable("a\\b\x7f\n\t"), "a\\\\b\\x7f\\x0a\\x09");
  // Well-formed UTF-8 stays; a C1 control (U+009B, C2 9B) and a stray byte
  // do not.
  EXPECT_EQ(printable("caf\xC3\xA9 \xE2\x82\xAC\xC2\xA0"), "caf\xC3\xA9 \xE2\x82\xAC\xC2\xA0");
  EXPECT_EQ(printable("\xC2\x9B"
                      "x\xE9\xF0\x9F"),
            "\\xc2\\x9bx\\xe9\\xf0\\x9f");
}

}  // namespace
