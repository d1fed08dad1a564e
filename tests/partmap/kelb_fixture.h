// KelbTest: the GoogleTest fixture for partition-map module tests. Modules
// run for real: loaded with dlopen from the build tree into the stand-in
// host, reading memory disks built by the test.
//
//   kelb_partition_map *map = LoadMap("sun", "sun_partition_map");
//   kelb_disk *disk = Disk(bytes);          // memory disk (whole sectors)
//   kelb_disk *part = OnPartition(disk, p); // handle opened on a partition
//   FailReadsAt(disk, 3);                   // reads touching sector 3 fail
//   FailNthMalloc(2);                       // the 2nd kelb_malloc from now fails
//   Walk w = DoWalk(map, disk);             // w.result, w.calls (handle + record)
//   Walk w = DoWalk(map, disk, 1, KELB_ERR_BAD_ARGUMENT); // stop at call 1,
//                                           // setting that error in the hook
//   EnableDebug("partition");               // debug is off in every test until then
//   Message(), DebugLines(), MallocCalls(), Name(map, record)
//   ExpectModuleFile("sun", {"kelb_sun_partition_map_init", ...});
//   ExpectEntryPoints("sun");               // exactly the four entry points
//   ExpectNamedEntriesReregister("amiga", map, registered);
//   ExpectHookStopsWalk(map, disk);         // a hook's 1 ends the walk
//   WalkOnPartition(map, disk, on, 3, part, w); // hooks get the handle
//   ExpectNoPartition(map, disk, {"0"});    // null, kelb_errno still 0
//   ExpectInvalidName(map, disk, {"x"});    // null, "invalid partition"
//   ExpectNameAllocationFailure(map, 41, "42");
//
// TearDown unloads the modules, closes the disks and fails the test when a
// kelb_malloc block is left unfreed. Byte helpers Put16BE/Put32BE/Put16LE/
// Put32LE write fields into a disk image.
//
// The test executable must be built with kelb_host_link() so that the
// modules resolve the kelb_ services from it; KELB_MODULE_DIR names the
// folder of the built modules.
#ifndef KELB_FIXTURE_H
#define KELB_FIXTURE_H

#include "kelb_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dlfcn.h>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#ifndef KELB_MODULE_DIR
#error "KELB_MODULE_DIR must name the folder of the built modules"
#endif

namespace kelb_test {

inline void Put16BE(std::vector<uint8_t> &b, size_t at, uint16_t v) {
  b.at(at) = static_cast<uint8_t>(v >> 8);
  b.at(at + 1) = static_cast<uint8_t>(v);
}
inline void Put32BE(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  Put16BE(b, at, static_cast<uint16_t>(v >> 16));
  Put16BE(b, at + 2, static_cast<uint16_t>(v));
}
inline void Put16LE(std::vector<uint8_t> &b, size_t at, uint16_t v) {
  b.at(at) = static_cast<uint8_t>(v);
  b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}
inline void Put32LE(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  Put16LE(b, at, static_cast<uint16_t>(v));
  Put16LE(b, at + 2, static_cast<uint16_t>(v >> 16));
}

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
    kelb_host::set_debug_sink([this](const std::string &line) {
      debug_lines_.push_back(line);
    });
    live_at_start_ = kelb_host::live_allocations();
  }

  void TearDown() override {
    for (auto it = modules_.rbegin(); it != modules_.rend(); ++it)
      kelb_host::unload_module(*it);
    modules_.clear();
    for (kelb_disk *d : disks_)
      kelb_host::close_disk(d);
    disks_.clear();
    kelb_host::set_debug_sink(nullptr);
    kelb_host::reset_counters();
    kelb_host::clear_error();
    EXPECT_EQ(kelb_host::live_allocations(), live_at_start_)
        << "kelb_malloc blocks left unfreed";
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
    disks_.push_back(d);
    return d;
  }

  kelb_disk *OnPartition(kelb_disk *disk, const kelb_partition &part) {
    kelb_disk *d = kelb_host::open_partition(disk, part);
    disks_.push_back(d);
    return d;
  }

  void FailReadsAt(kelb_disk *disk, uint64_t sector) {
    kelb_host::fail_reads_at(disk, sector);
  }
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

  // The built module file exports exactly `exports`, imports only kelb_
  // services (memcpy and memset at most besides), and its .modname section
  // holds `module`.
  void ExpectModuleFile(const std::string &module, std::vector<std::string> exports) {
    const std::string path = ModulePath(module);
    kelb_host::elf_symbols syms;
    std::string error;
    ASSERT_TRUE(kelb_host::read_elf_symbols(path, syms, error)) << error;
    std::sort(syms.defined.begin(), syms.defined.end());
    std::sort(exports.begin(), exports.end());
    EXPECT_EQ(syms.defined, exports) << path;
    for (const std::string &u : syms.undefined)
      EXPECT_TRUE(u.rfind("kelb_", 0) == 0 || u == "memcpy" || u == "memset" ||
                  SanitizerImport(u))
          << path << " imports " << u;
    std::string name;
    ASSERT_TRUE(kelb_host::read_elf_section(path, ".modname", name, error)) << error;
    EXPECT_EQ(std::string(name.c_str()), module);
  }

  // The module file exports kelb_mod_init, kelb_mod_fini and
  // kelb_MODULE_partition_map_init and _fini, and nothing else.
  void ExpectEntryPoints(const std::string &module) {
    ExpectModuleFile(module, {"kelb_mod_init", "kelb_mod_fini",
                              "kelb_" + module + "_partition_map_init",
                              "kelb_" + module + "_partition_map_fini"});
  }

  // The module's named entries do the work of kelb_mod_fini and
  // kelb_mod_init: after kelb_MODULE_partition_map_fini `registered()` gives
  // null, after _init it gives `map` again.
  template <typename Registered>
  void ExpectNamedEntriesReregister(const std::string &module, kelb_partition_map *map,
                                    Registered registered) {
    void *dl = dlopen(ModulePath(module).c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(dl, nullptr);
    const std::string prefix = "kelb_" + module + "_partition_map_";
    auto fini = reinterpret_cast<void (*)()>(dlsym(dl, (prefix + "fini").c_str()));
    auto init = reinterpret_cast<void (*)()>(dlsym(dl, (prefix + "init").c_str()));
    ASSERT_TRUE(fini && init);
    fini();
    EXPECT_EQ(registered(), nullptr);
    init();
    EXPECT_EQ(registered(), map);
    dlclose(dl);
  }

  // A hook that returns 1 ends the walk there, and the walk returns the
  // current error: none at the first call, the hook's own at the second.
  void ExpectHookStopsWalk(kelb_partition_map *map, kelb_disk *disk) {
    Walk w = DoWalk(map, disk, 1);
    EXPECT_EQ(w.result, KELB_ERR_NONE);
    EXPECT_EQ(w.calls.size(), 1u);

    w = DoWalk(map, disk, 2, KELB_ERR_BAD_ARGUMENT);
    EXPECT_EQ(w.result, KELB_ERR_BAD_ARGUMENT);
    EXPECT_EQ(w.calls.size(), 2u);
  }

  // Walks `map` through a handle `part` opened on the partition `on` of
  // `disk`, into `w`: the walk succeeds with `calls` hook calls, and every
  // hook gets that handle rather than the whole disk.
  void WalkOnPartition(kelb_partition_map *map, kelb_disk *disk, const kelb_partition &on,
                       size_t calls, kelb_disk *&part, Walk &w) {
    part = OnPartition(disk, on);
    w = DoWalk(map, part);
    EXPECT_EQ(w.result, KELB_ERR_NONE);
    ASSERT_EQ(w.calls.size(), calls);
    for (const HookCall &c : w.calls)
      EXPECT_EQ(c.disk, part);
  }

  // Each of `names` is a number that names no partition: find_partition
  // gives null and leaves kelb_errno 0.
  void ExpectNoPartition(kelb_partition_map *map, kelb_disk *disk,
                         std::initializer_list<const char *> names) {
    for (const char *none : names) {
      SCOPED_TRACE(none);
      EXPECT_EQ(map->find_partition(disk, none), nullptr);
      EXPECT_EQ(kelb_errno, KELB_ERR_NONE);
    }
  }

  // Each of `names`, looked up with no error set before, is refused with
  // "invalid partition" without reading the disk.
  void ExpectInvalidName(kelb_partition_map *map, kelb_disk *disk,
                         std::initializer_list<const char *> names) {
    for (const char *bad : names) {
      SCOPED_TRACE(bad);
      kelb_host::clear_error();
      const uint64_t reads = kelb_host::read_count(disk);
      EXPECT_EQ(map->find_partition(disk, bad), nullptr);
      EXPECT_EQ(kelb_errno, KELB_ERR_BAD_PARTITION);
      EXPECT_EQ(Message(), "invalid partition");
      EXPECT_EQ(kelb_host::read_count(disk), reads) << "the disk was read";
    }
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
  // In a sanitized build (KELB_SANITIZED) the modules are instrumented and
  // also import the sanitizer runtime's entries.
  static bool SanitizerImport(const std::string &u) {
#ifdef KELB_SANITIZED
    for (const char *prefix : {"__asan_", "__ubsan_", "__sanitizer_"})
      if (u.rfind(prefix, 0) == 0)
        return true;
#else
    (void)u;
#endif
    return false;
  }

  struct walk_state {
    Walk *walk;
    size_t stop_at;
    kelb_err_t hook_error;
  };

  static int WalkHook(kelb_disk *disk, const kelb_partition *part, void *data) {
    walk_state *s = static_cast<walk_state *>(data);
    s->walk->calls.push_back(HookCall{disk, *part});
    if (s->stop_at && s->walk->calls.size() == s->stop_at) {
      if (s->hook_error != KELB_ERR_NONE)
        kelb_error(s->hook_error, "stopped by the test's hook");
      return 1;
    }
    return 0;
  }

  std::vector<kelb_module *> modules_;
  std::vector<kelb_disk *> disks_;
  std::vector<std::string> debug_lines_;
  long live_at_start_ = 0;
};

} // namespace kelb_test

#endif // KELB_FIXTURE_H
