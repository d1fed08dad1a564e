// SPDX-License-Identifier: MIT
// What every partition-map module does alike, tested once over the four
// schemes, each on its typical disk: the module file and its record, a full
// walk, a hook that stops the walk, hooks given the caller's handle, and
// find_partition by name, with an old error set and on a blank disk.

#include "tests/partmap/kelb_fixture.h"
#include "tests/partmap/typical_disks.h"
#include "host/elf_image.h"
#include "tests/support/file_bytes.h"

#include <algorithm>
#include <dlfcn.h>
#include <link.h>

using namespace kelb_test;

namespace {

// A partition of the typical disk, as the walk reports it and find_partition
// gives it for `name`.
struct Found {
  const char *name;
  int32_t index;
  uint64_t start, length, offset;
};

struct Scheme {
  const char *module, *map;
  std::vector<uint8_t> disk;                        // the typical disk
  std::vector<Found> partitions;                    // what a full walk reports, in order
  uint64_t reads;                                   // reads a full walk makes
  unsigned long walk_allocations;                   // kelb_malloc calls of a full walk
  bool walk_returns_old_error;                      // else a sound walk returns 0 whatever was set
  kelb_partition on;                                // where a handle is opened for the walk
  std::vector<const char *> no_partition, invalid;  // names: none found / refused
  std::pair<const char *, int32_t> with_text;       // a number and text: the index found
  kelb_err_t after_old_error;  // kelb_errno once "2" is looked up with an old error
  const char *not_found;       // the message on a blank disk
};

void PrintTo(const Scheme &s, std::ostream *os) { *os << s.module; }

// The address of the dynamic symbol `name` of `symbols` in the loaded
// object that holds `inside`: the object's load bias plus the symbol's
// value. Null when the object or the symbol is not found.
void *LoadedAddress(const void *inside, const std::vector<kelb_host::dynamic_symbol> &symbols,
                    const std::string &name) {
  Dl_info info;
  link_map *object = nullptr;
  if (!dladdr1(inside, &info, reinterpret_cast<void **>(&object), RTLD_DL_LINKMAP) || !object)
    return nullptr;
  for (const kelb_host::dynamic_symbol &s : symbols)
    if (s.name == name && s.sym.st_shndx != SHN_UNDEF)
      return reinterpret_cast<void *>(object->l_addr + s.sym.st_value);
  return nullptr;
}

kelb_partition On(uint64_t start, uint64_t length, int32_t index = 0) {
  kelb_partition p{};
  p.start = start;
  p.length = length;
  p.index = index;
  return p;
}

const char *const kHuge = "99999999999999999999999";

std::vector<Scheme> Schemes() {
  return {
      // One read and one allocation; sector 0 of a handle at sector 4 is
      // sector 4 of the disk.
      {"sun",
       "sun_partition_map",
       TypicalSun().Bytes(8),
       {{"1", 0, 0, 1000, 0}, {"2", 1, 100800, 2000, 0}, {"4", 3, 201600, 3000, 0}},
       1,
       1,
       true,
       On(4, 4, 1),
       // "0" wants index -1, "3" is the whole-disk entry, "9" lies beyond the
       // label, and a number beyond 32 bits does not wrap onto "0" or "1",
       // whatever the width of long.
       {"0", "3", "9", "4294967296", "4294967297"},
       {"", "x", "-1", " 1", kHuge},
       {"2x", 1},
       KELB_ERR_NONE,
       "not a sun partition table"},
      // Offsets are the partition blocks' byte positions, in chain order.
      {"amiga",
       "amiga_partition_map",
       TypicalAmiga().Bytes(),
       {{"1", 0, 256, 512, 1536}, {"2", 1, 320, 320, 3584}, {"3", 2, 6300, 63, 2560}},
       5,
       0,
       false,
       On(16, 16),
       {"0", "4", "4294967296", "4294967297"},
       {"", "x", kHuge},
       {"3rd", 2},
       KELB_ERR_BAD_PARTITION,
       "Amiga partition map not found."},
      // Offsets are the entries' byte positions; the blank sector 4 ends the map.
      {"apple",
       "apple_partition_map",
       TypicalApple().Bytes(),
       {{"1", 0, 1, 63, 512}, {"2", 1, 64, 1000, 1024}, {"3", 2, 2048, 4096, 1536}},
       4,
       0,
       false,
       On(8, 8),
       {"0", "4", "4294967296", "4294967297"},
       {"", "two", kHuge},
       {"2nd", 1},
       KELB_ERR_BAD_PARTITION,
       "Apple partition map not found."},
      // Starts count from the map's sector, 16; every offset is the boot
      // block's sector. Size 0 is reported like any other; entry 4 lies after
      // the unused entry 3. Names are judged by the map's range, 1 to 42,
      // without a read.
      {"acorn",
       "Linux/ADFS partition map",
       TypicalAcorn().Bytes(),
       {{"1", 0, 16, 10, 6}, {"2", 1, 26, 20, 6}, {"3", 2, 46, 0, 6}},
       2,
       0,
       false,
       On(20, 20),
       {},
       {"43", "0", "", "x", "4294967296", "4294967297", kHuge},
       {"2nd", 1},
       KELB_ERR_READ_ERROR,
       "Linux/ADFS partition map not found."},
  };
}

class EveryMapTest : public MapTest, public ::testing::WithParamInterface<Scheme> {
 protected:
  EveryMapTest() : MapTest(GetParam().module, GetParam().map) {}

  // `p` is the record of the partition `want`.
  void ExpectRecord(const kelb_partition &p, const Found &want) {
    EXPECT_EQ(p.index, want.index);
    EXPECT_EQ(p.start, want.start);
    EXPECT_EQ(p.length, want.length);
    EXPECT_EQ(p.offset, want.offset);
    EXPECT_EQ(p.data, nullptr);
    EXPECT_EQ(p.map, map);
  }

  // find_partition on `disk` gives each partition of the typical disk by its
  // name (a copy, freed here).
  void ExpectEachFoundByName(kelb_disk *disk) {
    for (const Found &want : GetParam().partitions) {
      SCOPED_TRACE(want.name);
      kelb_partition *p = map->find_partition(disk, want.name);
      ASSERT_NE(p, nullptr);
      ExpectRecord(*p, want);
      kelb_free(p);
    }
  }
};

// The built module file exports kelb_mod_init, kelb_mod_fini and
// kelb_MODULE_partition_map_init and _fini and nothing else, imports only
// what the host accepts, the boot loader's services, and its .modname
// section holds the module's name: its dynamic symbols as the dynamic loader
// reads them (host/elf_image.h). The named entries, found at their addresses
// in the module loaded, do the work of kelb_mod_fini and kelb_mod_init: the
// map goes and comes back.
TEST_P(EveryMapTest, ModuleFileAndRegisteredRecord) {
  const std::string module = GetParam().module;
  const std::string path = ModulePath(module);
  const std::string prefix = "kelb_" + module + "_partition_map_";
  const std::string bytes = ReadFileBytes(path);
  ASSERT_FALSE(bytes.empty()) << path;
  kelb_host::elf_image elf(bytes.data(), bytes.size());
  std::string error;
  ASSERT_TRUE(elf.open(error) && elf.segments(error) && elf.read_dynamic(error)) << error;
  std::vector<std::string> exports,
      expected = {"kelb_mod_init", "kelb_mod_fini", prefix + "init", prefix + "fini"};
  for (const kelb_host::dynamic_symbol &s : elf.symbols()) {
    if (s.sym.st_shndx != SHN_UNDEF)
      exports.push_back(s.name);
    else
      EXPECT_TRUE(kelb_host::is_loader_service(s.name)) << path << " imports " << s.name;
  }
  std::sort(exports.begin(), exports.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(exports, expected) << path;
  std::string name;
  ASSERT_TRUE(elf.section(".modname", name, error)) << error;
  EXPECT_EQ(std::string(name.c_str()), module);

  EXPECT_STREQ(map->name, GetParam().map);
  EXPECT_EQ(map->next, nullptr);
  auto fini = reinterpret_cast<void (*)()>(LoadedAddress(map, elf.symbols(), prefix + "fini"));
  auto init = reinterpret_cast<void (*)()>(LoadedAddress(map, elf.symbols(), prefix + "init"));
  ASSERT_TRUE(fini && init);
  fini();
  EXPECT_EQ(kelb_host::maps(), nullptr);
  EXPECT_EQ(kelb_host::find_map(GetParam().map), nullptr);
  init();
  EXPECT_EQ(kelb_host::maps(), map);
  EXPECT_EQ(kelb_host::find_map(GetParam().map), map);
}

// A full walk hands each partition to the hook with the caller's handle,
// in order, named by its index + 1.
TEST_P(EveryMapTest, FullWalkReportsEachPartitionInOrder) {
  kelb_disk *disk = Disk(GetParam().disk);
  Walk w = DoWalk(map, disk);
  EXPECT_EQ(w.result, KELB_ERR_NONE);
  EXPECT_EQ(kelb_errno, KELB_ERR_NONE);
  ASSERT_EQ(w.calls.size(), GetParam().partitions.size());
  for (size_t i = 0; i < w.calls.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(w.calls[i].disk, disk);
    ExpectRecord(w.calls[i].part, GetParam().partitions[i]);
    EXPECT_EQ(Name(map, w.calls[i].part), GetParam().partitions[i].name);
  }
  // What the walk allocated, then one allocation for each name.
  EXPECT_EQ(MallocCalls(), GetParam().walk_allocations + w.calls.size());
  EXPECT_EQ(kelb_host::read_count(disk), GetParam().reads);
}

// A hook that returns 1 ends the walk there, and the walk returns the
// current error: none at the first call, the hook's own at the second. The
// walk never clears the code: after a full walk an old error is still set,
// and sun's walk returns it.
TEST_P(EveryMapTest, HookStoppingEarlyEndsWalkWithCurrentError) {
  kelb_disk *disk = Disk(GetParam().disk);
  Walk w = DoWalk(map, disk, 1);
  EXPECT_EQ(w.result, KELB_ERR_NONE);
  EXPECT_EQ(w.calls.size(), 1u);

  w = DoWalk(map, disk, 2, KELB_ERR_BAD_ARGUMENT);
  EXPECT_EQ(w.result, KELB_ERR_BAD_ARGUMENT);
  EXPECT_EQ(w.calls.size(), 2u);

  kelb_error(KELB_ERR_BAD_NUMBER, "old");
  w = DoWalk(map, disk);
  EXPECT_EQ(w.result, GetParam().walk_returns_old_error ? KELB_ERR_BAD_NUMBER : KELB_ERR_NONE);
  EXPECT_EQ(kelb_errno, KELB_ERR_BAD_NUMBER);
  EXPECT_EQ(w.calls.size(), GetParam().partitions.size());
}

// Walked through a handle opened on a partition of the disk, every hook gets
// that handle rather than the whole disk; the map is still read where it
// lies on the whole disk.
TEST_P(EveryMapTest, HooksGetCallersPartitionHandleWhileReadsCountFromWholeDisk) {
  kelb_disk *part = OnPartition(Disk(GetParam().disk), GetParam().on);
  Walk w = DoWalk(map, part);
  EXPECT_EQ(w.result, KELB_ERR_NONE);
  ASSERT_EQ(w.calls.size(), GetParam().partitions.size());
  for (size_t i = 0; i < w.calls.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(w.calls[i].disk, part);
    ExpectRecord(w.calls[i].part, GetParam().partitions[i]);
  }
  ExpectEachFoundByName(part);
}

// Characters after the number are not looked at. A number that names no
// partition gives null and leaves kelb_errno 0; a name that is no number,
// looked up with no error set, is refused with "invalid partition" without
// reading the disk.
TEST_P(EveryMapTest, FindsEachPartitionByNameAndNoOther) {
  kelb_disk *disk = Disk(GetParam().disk);
  ExpectEachFoundByName(disk);
  kelb_partition *p = map->find_partition(disk, GetParam().with_text.first);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->index, GetParam().with_text.second);
  kelb_free(p);

  for (const char *none : GetParam().no_partition) {
    SCOPED_TRACE(none);
    EXPECT_EQ(map->find_partition(disk, none), nullptr);
    EXPECT_EQ(kelb_errno, KELB_ERR_NONE);
  }
  for (const char *bad : GetParam().invalid) {
    SCOPED_TRACE(bad);
    kelb_host::clear_error();
    const uint64_t reads = kelb_host::read_count(disk);
    EXPECT_EQ(map->find_partition(disk, bad), nullptr);
    EXPECT_EQ(kelb_errno, KELB_ERR_BAD_PARTITION);
    EXPECT_EQ(Message(), "invalid partition");
    EXPECT_EQ(kelb_host::read_count(disk), reads) << "the disk was read";
  }
}

// An old error: sun clears it first and finds the partition; amiga and apple
// parse the name with it still set and refuse the name without a read; acorn
// neither clears nor reads it and finds the partition.
TEST_P(EveryMapTest, FindPartitionWithAnOldErrorSet) {
  kelb_disk *disk = Disk(GetParam().disk);
  kelb_error(KELB_ERR_READ_ERROR, "left over");
  const uint64_t reads = kelb_host::read_count(disk);
  kelb_partition *p = map->find_partition(disk, "2");
  EXPECT_EQ(kelb_errno, GetParam().after_old_error);
  if (GetParam().after_old_error == KELB_ERR_BAD_PARTITION) {
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(kelb_host::read_count(disk), reads);
  } else {
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->index, 1);
  }
  kelb_free(p);
}

// On a blank disk the walk's error stays.
TEST_P(EveryMapTest, FindPartitionOnForeignDiskLeavesWalkError) {
  EXPECT_EQ(map->find_partition(Disk(std::vector<uint8_t>(GetParam().disk.size(), 0)), "1"),
            nullptr);
  EXPECT_EQ(kelb_errno, KELB_ERR_BAD_PART_TABLE);
  EXPECT_EQ(Message(), GetParam().not_found);
}

INSTANTIATE_TEST_SUITE_P(Schemes, EveryMapTest, ::testing::ValuesIn(Schemes()),
                         [](const ::testing::TestParamInfo<Scheme> &param) {
                           return std::string(param.param.module);
                         });

}  // namespace
