// SPDX-License-Identifier: MIT
// kelb-probe's pieces (internal to the program): what the command line
// asks, the walk of a disk with the chosen maps (host/probe_walk.cpp), the
// numbers a row shows (host/probe_numbers.cpp), and the listing, as a table
// or as JSON, on standard output (host/probe_listing.cpp).
#ifndef KELB_HOST_PROBE_H
#define KELB_HOST_PROBE_H

#include "host/kelb_host.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kelb_probe {

// What the command line asks for.
struct options {
  std::string debug;
  bool debug_set = false;
  std::vector<std::string> maps;  // the names --map gave; none: every map
  bool json = false;
  bool bytes = false;  // --bytes
  std::string modules;
  std::string image;
  std::string partition;
  bool have_partition = false;
};

// One partition as a map reported it, and its name.
struct row {
  std::string name;
  kelb_partition part;
};

// What a map that accepts the disk found on it.
struct map_result {
  kelb_partition_map *map;
  std::vector<row> rows;
};

// ---- Standard output and messages -------------------------------------------

// printf to standard output, keeping the code of the first failure.
void out(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// A message on standard error: "kelb-probe: " and `message`, shown safely.
void complain(const std::string &message);
// Flushes and closes standard output, as the end of the program: `status`,
// or 1 with "kelb-probe: write error: REASON" when a write to it failed.
// Closing a standard output that was never open is no failure when nothing
// was written to it.
int close_output(int status);

// ---- Modules and the walk ---------------------------------------------------

// Loads every module of the folder that holds them into `mods`: --modules,
// else KELB_MODULE_DIR, else the first of kelb_host::default_module_dirs()
// that holds any. A module refused because its name or one of its map
// names is loaded already is reported and left out; any other failure ends
// the run (false, after a message).
bool load_modules(const options &o, std::vector<kelb_module *> &mods);

// The maps to walk, in the order they were registered: every map, or those
// --map names. Empty, after a message, when a name selects nothing.
std::vector<kelb_partition_map *> chosen_maps(const options &o,
                                              const std::vector<kelb_module *> &mods);

// What the walk of a disk with each chosen map found.
struct walk_result {
  std::vector<map_result> accepted;   // the maps that accept the disk
  std::vector<std::string> rejected;  // "MAP: REASON" of those that found none of theirs
  bool failed = false;                // a map failed otherwise (said on standard error)
};

// Walks `disk` (`image` in messages) with each map of `chosen`.
walk_result walk_disk(const std::string &image, kelb_disk *disk,
                      const std::vector<kelb_partition_map *> &chosen);

// The partition `name` as `map` finds it, in `r`. False after a message
// naming `image` and the map when it is not found or the look-up failed.
bool find_one(const std::string &image, kelb_disk *disk, kelb_partition_map *map,
              const std::string &name, row &r);

// ---- Numbers of a row ---------------------------------------------------------

// A partition's place in sectors and in bytes, as exact decimal text (byte
// positions pass 64 bits on a hostile label); the ends are "-" for a
// partition of no sectors, which has no last sector.
struct extent {
  std::string start, end, length;  // sectors
  std::string start_byte, end_byte, length_bytes;
};
extent extent_of(const kelb_partition &p);

// `sectors` sectors in binary units as partx and lsblk show sizes: the
// largest unit of B, K, M, G, ... (powers of 1024) that holds at least 1,
// its whole number, and one decimal when that tenth, rounded half up from
// the thousandths (which are cut), is not 0: "512B", "992K", "31.5K", "2M".
std::string human_size(uint64_t sectors);

// ---- The listing ------------------------------------------------------------

// Every accepting map's partitions of the disk `image` of `sectors`
// sectors: a table per map, separated by an empty line, or one JSON object.
void list_maps(const options &o, uint64_t sectors, const std::vector<map_result> &accepted);

// The disk `image` that no map accepts: its JSON object with no maps, or
// "IMAGE: no partition map recognised" and each map's reason.
void list_none(const options &o, uint64_t sectors, const std::vector<std::string> &rejected);

// The partition `r` of `map` alone: its table of one row, or its JSON object.
void list_one(const options &o, kelb_partition_map *map, const row &r);

}  // namespace kelb_probe

#endif  // KELB_HOST_PROBE_H
