// SPDX-License-Identifier: MIT
// KelbTest: the GoogleTest fixture for partition-map module tests. Modules
// run for real: loaded with dlopen from the build tree into the stand-in
// host, reading memory disks built by the test.
//
//   kelb_partition_map *map = LoadMap("sun", "sun_partition_map");
//   class SunTest : public MapTest { ... SunTest() : MapTest("sun", "sun_partition_map") {} };
//   kelb_disk *disk = Disk(bytes);          // memory disk (whole sectors)
//   kelb_disk *part = OnPartition(disk, p); // handle opened on a partition
//   FailReadsAt(disk, 3);                   // reads touching sector 3 fail
//   FailNthMalloc(2);                       // the 2nd kelb_malloc from now fails
//   Walk w = DoWalk(map, disk);             // w.result, w.calls (handle + record)
//   Walk w = DoWalk(map, disk, 1, KELB_ERR_BAD_ARGUMENT); // stop at call 1,
//                                           // setting that error in the hook
//   EnableDebug("partition");               // debug is off in every test until then
//   Message(), DebugLines(), MallocCalls(), Name(map, record)
//   ExpectNameAllocationFailure(map, 41, "42");
//
// TearDown unloads the modules, closes the disks and fails the test when a
// kelb_malloc block is left unfreed. The label builders of disk_labels.h
// (Put32BE, SunLabel, ...) come with it.
//
// The test executable must be built with kelb_host_link() so that the
// modules resolve the kelb_ services from it; KELB_MODULE_DIR names the
// folder of the built modules.
#ifndef KELB_FIXTURE_H
#define KELB_FIXTURE_H

#include "testdata/disk_labels.h"
#include "host/kelb_host.h"
#include "host/kelb_host_faults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dlfcn.h>
#include <cstdint>
#include <string>
#include <vector>

#ifndef KELB_MODULE_DIR
#error "KELB_MODULE_DIR must name the folder of the built modules"
#endif

namespace kelb_test {

using namespace kelb_label;

inline std::string ModulePath(const std::string &name) {
  return std::string(KELB_MODULE_DIR) + "/" + name + ".mod";
}

// One hook call: the handle the hook got and a copy of the record.
struct HookCall {
  kelb_disk *disk;
  kelb_partition part;
};

struct Walk {
  kelb_err_t result = KELB_ERR_NONE;
  std::vector<HookCall> calls;
};

class KelbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kelb_host::clear_error();
    kelb_host::reset_counters();
    kelb_host::set_debug("");
    kelb_host::set_debug_sink([this](const std::string &line) { debug_lines_.push_back(line); });
    live_at_start_ = kelb_host::live_allocations();
  }

  void TearDown() override {
    for (auto it = modules_.rbegin(); it != modules_.rend(); ++it) kelb_host::unload_module(*it);
    modules_.clear();
    for (kelb_disk *d : disks_) kelb_host::close_disk(d);
    disks_.clear();
    kelb_host::set_debug_sink(nullptr);
    kelb_host::reset_counters();
    kelb_host::clear_error();
    EXPECT_EQ(kelb_host::live_allocations(), live_at_start_) << "kelb_malloc blocks left unfreed";
  }

  // Loads module `module` from the build tree and returns its registered
  // map called `map_name`; fails the test when either is missing.
  kelb_partition_map *LoadMap(const std::string &module, const std::string &map_name) {
    kelb_module *m = kelb_host::load_module(ModulePath(module));
    if (!m) {
      ADD_FAILURE() << "cannot load " << module << ": " << kelb_host::error_message();
      return nullptr;
    }
    modules_.push_back(m);
    kelb_partition_map *map = kelb_host::find_map(map_name);
    EXPECT_NE(map, nullptr) << module << " registered no map " << map_name;
    return map;
  }

  kelb_disk *Disk(const std::vector<uint8_t> &bytes, const std::string &name = "test.img") {
    kelb_disk *d = kelb_host::open_memory(bytes.data(), bytes.size(), name);
    EXPECT_NE(d, nullptr) << Message();
    disks_.push_back(d);
    return d;
  }

  kelb_disk *OnPartition(kelb_disk *disk, const kelb_partition &part) {
    kelb_disk *d = kelb_host::open_partition(disk, part);
    disks_.push_back(d);
    return d;
  }

  void FailReadsAt(kelb_disk *disk, uint64_t sector) { kelb_host::fail_reads_at(disk, sector); }
  void FailNthMalloc(unsigned long n) { kelb_host::fail_nth_malloc(n); }
  unsigned long MallocCalls() const { return kelb_host::malloc_calls(); }
  std::string Message() const { return kelb_host::error_message(); }
  const std::vector<std::string> &DebugLines() const { return debug_lines_; }
  void EnableDebug(const std::string &conditions) { kelb_host::set_debug(conditions); }

  // Walks `disk` with `map`. With `stop_at` > 0 the hook returns 1 on that
  // call (1: the first); with `hook_error` non-zero it also sets that error
  // with kelb_error before returning 1.
  Walk DoWalk(kelb_partition_map *map, kelb_disk *disk, size_t stop_at = 0,
              kelb_err_t hook_error = KELB_ERR_NONE) {
    Walk w;
    walk_state s{&w, stop_at, hook_error};
    w.result = map->for_each_partition(disk, &KelbTest::WalkHook, &s);
    return w;
  }

  // partition_name of `part`, freed here; "(null)" when it returned null.
  std::string Name(kelb_partition_map *map, const kelb_partition &part) {
    char *n = map->partition_name(&part);
    std::string s = n ? n : "(null)";
    kelb_free(n);
    return s;
  }

  // partition_name of the entry with `index` gives null when its allocation
  // fails, and `name` the next time.
  void ExpectNameAllocationFailure(kelb_partition_map *map, int32_t index,
                                   const std::string &name) {
    kelb_partition p{};
    p.index = index;
    FailNthMalloc(1);
    EXPECT_EQ(Name(map, p), "(null)");
    EXPECT_EQ(Name(map, p), name);
  }

 private:
  struct walk_state {
    Walk *walk;
    size_t stop_at;
    kelb_err_t hook_error;
  };

  static int WalkHook(kelb_disk *disk, const kelb_partition *part, void *data) {
    walk_state *s = static_cast<walk_state *>(data);
    s->walk->calls.push_back(HookCall{disk, *part});
    if (s->stop_at && s->walk->calls.size() == s->stop_at) {
      if (s->hook_error != KELB_ERR_NONE) kelb_error(s->hook_error, "stopped by the test's hook");
      return 1;
    }
    return 0;
  }

  std::vector<kelb_module *> modules_;
  std::vector<kelb_disk *> disks_;
  std::vector<std::string> debug_lines_;
  long live_at_start_ = 0;
};

// The fixture of one module's tests: SetUp loads `module` and finds its map
// `map_name`, as `map`.
class MapTest : public KelbTest {
 protected:
  MapTest(const char *module, const char *map_name) : module_(module), map_name_(map_name) {}

  void SetUp() override {
    KelbTest::SetUp();
    map = LoadMap(module_, map_name_);
    ASSERT_NE(map, nullptr);
  }

  kelb_partition_map *map = nullptr;

 private:
  const char *module_, *map_name_;
};

}  // namespace kelb_test

#endif  // KELB_FIXTURE_H
