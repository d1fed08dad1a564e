// SPDX-License-Identifier: MIT
// Fuzz target: one partition-map module (KELB_FUZZ_MODULE, registering the
// map KELB_FUZZ_MAP) loaded with dlopen into the real stand-in host, walking
// and searching a memory disk of any bytes, with allocation and read
// failures injected as the input says.
//
// Input: flags (bit 0: fail the n-th kelb_malloc; bit 1: fail reads at a
// sector; bit 2: the caller's handle is opened on a partition; bit 3: debug
// lines on), n, the failing sector, the partition's start and length in
// sectors, extra zero sectors after the disk bytes (below 64), the hook call
// that stops the walk (0: none), the length of the name text (below 32),
// the name text; the rest is the disk (whole sectors; a last partial sector
// is dropped, as the host does).
//
// Checked on every input, beyond what the sanitizers see: every kelb_malloc
// block is freed; a walk returns a known error code; the hook gets the
// caller's handle and a record of this map, at most once per partition
// entry, never after it asked to stop; partition_name gives the record's
// index + 1; and when nothing failed, find_partition on a plain decimal name
// gives the record the walk reported under that name.
#include "fuzz/fuzz_input.h"
#include "host/kelb_host.h"
#include "host/kelb_host_faults.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#ifndef KELB_FUZZ_MODULE
#error "KELB_FUZZ_MODULE names the module to fuzz"
#endif

namespace {

kelb_module* g_module = nullptr;
kelb_partition_map* g_map = nullptr;

// Far more than any map holds (amiga's chain is bounded well below this).
constexpr size_t kMaxCalls = 100000;

struct WalkState {
  kelb_disk* disk;
  size_t stopAt;
  std::vector<kelb_partition> calls;
  std::set<int32_t> indexes;
  std::set<uint64_t> offsets;
  bool stopped = false;
};

int Hook(kelb_disk* disk, const kelb_partition* part, void* data) {
  auto* w = static_cast<WalkState*>(data);
  FUZZ_CHECK(!w->stopped, "hook called after it stopped the walk");
  FUZZ_CHECK(disk == w->disk, "hook given another handle than the caller's");
  FUZZ_CHECK(part != nullptr && part->map == g_map, "record of another map");
  FUZZ_CHECK(part->data == nullptr, "record with data");
  FUZZ_CHECK(w->indexes.insert(part->index).second, "index %d reported twice", part->index);
#ifdef KELB_FUZZ_DISTINCT_OFFSETS
  // Maps whose entries each lie in a block of their own: a block read twice
  // means a chain that loops.
  FUZZ_CHECK(w->offsets.insert(part->offset).second, "entry at offset %" PRIu64 " reported twice",
             part->offset);
#endif
  FUZZ_CHECK(w->calls.size() < kMaxCalls, "walk does not end");
  w->calls.push_back(*part);

  char* name = g_map->partition_name(part);
  if (name) {
    char want[16];
    std::snprintf(want, sizeof want, "%d",
                  static_cast<int>(static_cast<uint32_t>(part->index) + 1u));
    FUZZ_CHECK(std::strcmp(name, want) == 0, "partition_name gave '%s' for index %d", name,
               part->index);
    kelb_free(name);
  }
  if (w->stopAt != 0 && w->calls.size() == w->stopAt) {
    w->stopped = true;
    return 1;
  }
  return 0;
}

bool KnownCode(kelb_err_t e) {
  switch (e) {
    case KELB_ERR_NONE:
    case KELB_ERR_OUT_OF_MEMORY:
    case KELB_ERR_BAD_ARGUMENT:
    case KELB_ERR_BAD_NUMBER:
    case KELB_ERR_READ_ERROR:
    case KELB_ERR_OUT_OF_RANGE:
    case KELB_ERR_BAD_PARTITION:
    case KELB_ERR_BAD_PART_TABLE:
      return true;
    default:
      return false;
  }
}

// A name made of 1 to 9 decimal digits, not starting with 0: its number.
long PlainNumber(const std::string& name) {
  if (name.empty() || name.size() > 9 || name[0] == '0') return -1;
  for (char c : name)
    if (c < '0' || c > '9') return -1;
  return std::strtol(name.c_str(), nullptr, 10);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string path = std::string(KELB_MODULE_DIR) + "/" KELB_FUZZ_MODULE ".mod";
  // Loaded once and never unloaded: the coverage counters of an
  // instrumented module live in its own pages.
  g_module = kelb_host::load_module(path);
  if (!g_module) {
    std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), kelb_host::error_message().c_str());
    std::exit(2);
  }
  g_map = kelb_host::find_map(KELB_FUZZ_MAP);
  if (!g_map) {
    std::fprintf(stderr, "%s registered no map %s\n", path.c_str(), KELB_FUZZ_MAP);
    std::exit(2);
  }
  kelb_host::set_debug_sink(
      [](const std::string& line) { FUZZ_CHECK(!line.empty(), "empty debug line"); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t flags = in.Byte();
  const uint8_t nthMalloc = in.Byte();
  const uint8_t badSector = in.Byte();
  const uint8_t partStart = in.Byte();
  const uint8_t partLength = in.Byte();
  const size_t padSectors = in.Byte() % 64;
  const size_t stopAt = in.Byte() % 64;
  const std::string name = in.Text(in.Byte() % 32);

  std::vector<uint8_t> bytes(in.Rest(), in.Rest() + in.Left());
  bytes.resize(bytes.size() / KELB_SECTOR_SIZE * KELB_SECTOR_SIZE + padSectors * KELB_SECTOR_SIZE);

  kelb_host::clear_error();
  kelb_host::reset_counters();
  kelb_host::set_debug(flags & 8 ? "partition" : "");
  const long liveBefore = kelb_host::live_allocations();

  kelb_disk* disk = kelb_host::open_memory(bytes.data(), bytes.size(), "fuzz.img");
  FUZZ_CHECK(disk != nullptr, "no memory disk: %s", kelb_host::error_message().c_str());
  kelb_disk* handle = disk;
  if (flags & 4) {
    kelb_partition p{};
    p.start = partStart;
    p.length = partLength;
    p.index = 0;
    handle = kelb_host::open_partition(disk, p);
  }
  const bool failing = (flags & 3) != 0;
  if (flags & 1) kelb_host::fail_nth_malloc(1 + nthMalloc % 8);
  if (flags & 2) kelb_host::fail_reads_at(disk, badSector);

  WalkState w{handle, stopAt, {}, {}, {}};
  const kelb_err_t result = g_map->for_each_partition(handle, Hook, &w);
  FUZZ_CHECK(KnownCode(result), "walk returned unknown code %d", static_cast<int>(result));
  FUZZ_CHECK(result == KELB_ERR_NONE || !kelb_host::error_message().empty(),
             "walk failed with %d and no message", static_cast<int>(result));
  const bool walkOk = result == KELB_ERR_NONE && !w.stopped;

  // The same disk searched by name; a fresh error state, as a caller
  // starting a new request has.
  if (flags & 1) kelb_host::fail_nth_malloc(1 + nthMalloc % 8);
  kelb_host::clear_error();
  kelb_partition* found = g_map->find_partition(handle, name.c_str());
  if (found) {
    FUZZ_CHECK(found->map == g_map, "find_partition gave a record of another map");
    FUZZ_CHECK(found->data == nullptr, "find_partition gave a record with data");
  }
  const long wanted = PlainNumber(name);
  const bool throughWalk = std::strcmp(KELB_FUZZ_MAP, "Linux/ADFS partition map") != 0;
  if (!failing && walkOk && wanted > 0) {
    const kelb_partition* reported = nullptr;
    for (const kelb_partition& c : w.calls)
      if (c.index == wanted - 1) {
        reported = &c;
        break;
      }
    // A search through the walk finds exactly what the walk reports; a
    // direct look-up (acorn) at least that, and may find an entry in use
    // past one the walk stopped at.
    const bool agree = throughWalk ? (found != nullptr) == (reported != nullptr)
                                   : found != nullptr || reported == nullptr;
    FUZZ_CHECK(agree, "find_partition '%s' %s, the walk %s", name.c_str(),
               found ? "found it" : "did not", reported ? "reported it" : "did not");
    if (found && reported)
      FUZZ_CHECK(found->start == reported->start && found->length == reported->length &&
                     found->offset == reported->offset && found->index == reported->index,
                 "find_partition '%s' differs from the walk's record", name.c_str());
  }
  kelb_free(found);

  kelb_host::fail_nth_malloc(0);
  if (handle != disk) kelb_host::close_disk(handle);
  kelb_host::close_disk(disk);
  FUZZ_CHECK(kelb_host::live_allocations() == liveBefore, "%ld kelb_malloc blocks not freed",
             kelb_host::live_allocations() - liveBefore);
  return 0;
}
