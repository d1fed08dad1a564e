// SPDX-License-Identifier: MIT
// kelb-probe: loads every partition-map module, walks a disk image with each
// registered map and lists the partitions of every map that accepts it.
//
// Exit status: 0 when the disk was listed without error, or, with
// PARTITION, when the first map that accepts the disk found and printed it;
// 1 on an error, when that partition was not found, or when anything written
// to standard output failed; 2 when no map accepts the disk.
//
// The modules come from --modules DIR, else from the folder named by the
// KELB_MODULE_DIR environment variable, else from the places
// kelb_host::default_module_dirs() gives, relative to the program itself.
//
// Text from the disk, paths and messages pass through kelb_host::printable()
// on the way to the table and to standard error; the JSON form escapes as
// JSON does.

#include "host/probe.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

using namespace kelb_probe;

namespace {

const char kUsage[] =
    "Usage: kelb-probe [--debug=COND] [--map NAME] [--json] [--bytes]\n"
    "                  [--modules DIR] IMAGE [PARTITION]\n"
    "\n"
    "Lists the partitions of IMAGE (a disk image file or block device, opened\n"
    "read-only) as seen by every kelb partition-map module that accepts it.\n"
    "\n"
    "  IMAGE           the disk to read, in 512-byte sectors\n"
    "  PARTITION       show only this partition, looked up by its name (\"1\", ...)\n"
    "                  in the first map that accepts the disk\n"
    "  --map NAME      use only the map NAME (\"sun_partition_map\") or the maps\n"
    "                  of module NAME (\"sun\"); a comma list, or the option given\n"
    "                  again, uses every map any of the names selects\n"
    "  --json          print JSON instead of a table (sector and byte values)\n"
    "  --bytes         START, END and LENGTH in bytes instead of sectors, as\n"
    "                  mount -o offset= and losetup -o/--sizelimit take them\n"
    "  --modules DIR   load the modules (*.mod) from DIR; without it, from\n"
    "                  $KELB_MODULE_DIR, else from where kelb-probe is installed\n"
    "                  or built\n"
    "  --debug=COND    enable debug lines for COND, a comma list or \"all\"\n"
    "                  (the KELB_DEBUG environment variable does the same);\n"
    "                  \"modules\" names each module file loaded\n"
    "  --help          print this text\n"
    "  --version       print the version\n"
    "\n"
    "In the table and in messages, control bytes are shown as \\xHH and a\n"
    "backslash as \\\\; --json writes every byte as JSON does.\n"
    "\n"
    "Exit status: 0 listed (with PARTITION: found), 1 error (with PARTITION: not\n"
    "found, or the look-up failed; also a failed write to standard output),\n"
    "2 no partition map recognised.\n";

int usage_error(const std::string &message) {
  fprintf(stderr, "kelb-probe: %s\nTry 'kelb-probe --help'.\n",
          kelb_host::printable(message).c_str());
  return 1;
}

// Adds the names of a --map value, a comma list, to `o`. False with
// `error` set when the value or one of its names is empty.
bool add_maps(options &o, const std::string &value, std::string &error) {
  if (value.empty()) {
    error = "option --map needs a map or module name";
    return false;
  }
  size_t pos = 0;
  for (;;) {
    const size_t comma = std::min(value.find(',', pos), value.size());
    const std::string name = value.substr(pos, comma - pos);
    if (name.empty()) {
      error = "option --map: an empty name in '" + value + "'";
      return false;
    }
    o.maps.push_back(name);
    if (comma == value.size()) return true;
    pos = comma + 1;
  }
}

// Takes the value `v` of the option `name` ("--debug", "--map" or
// "--modules") into `o`. False with `error` set when the value is refused.
bool take_value(options &o, const std::string &name, const std::string &v, std::string &error) {
  if (name == "--debug") {
    o.debug = v;
    o.debug_set = true;
    return true;
  }
  if (name == "--map") return add_maps(o, v, error);
  if (v.empty()) {
    error = "option --modules needs a folder name";
    return false;
  }
  o.modules = v;
  return true;
}

// The option of argument `a` that takes a value, given as "--NAME VALUE"
// or "--NAME=VALUE": "--debug", "--map" or "--modules"; "" for any other.
std::string valued_option(const std::string &a) {
  for (const std::string name : {"--debug", "--map", "--modules"})
    if (a.compare(0, name.size(), name) == 0 && (a.size() == name.size() || a[name.size()] == '='))
      return name;
  return "";
}

// Reads the arguments into `o` and the positional ones into `positional`.
// -1 to go on; otherwise the exit status: 0 once --help or --version has
// printed its text, 1 after a usage error's message.
int parse_options(int argc, char **argv, options &o, std::vector<std::string> &positional) {
  bool options_done = false;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    const std::string name = valued_option(a);
    if (options_done || a.empty() || a[0] != '-' || a == "-") {
      positional.push_back(a);
    } else if (a == "--") {
      options_done = true;
    } else if (a == "--help" || a == "-h") {
      out("%s", kUsage);
      return 0;
    } else if (a == "--version") {
      out("kelb-probe %s\n", KELB_PROBE_VERSION);
      return 0;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--bytes") {
      o.bytes = true;
    } else if (!name.empty()) {
      std::string v, error;
      if (a.size() > name.size())
        v = a.substr(name.size() + 1);
      else if (i + 1 < argc)
        v = argv[++i];
      else
        return usage_error("option " + a + " needs a value");
      if (!take_value(o, name, v, error)) return usage_error(error);
    } else {
      return usage_error("unknown option '" + a + "'");
    }
  }
  return -1;
}

// Lists the disk of `o` with the maps of the modules loaded into `mods`:
// the exit status.
int run(const options &o, std::vector<kelb_module *> &mods) {
  if (o.debug_set) kelb_host::set_debug(o.debug);
  if (!load_modules(o, mods)) return 1;
  const std::vector<kelb_partition_map *> chosen = chosen_maps(o, mods);
  if (chosen.empty()) return 1;

  kelb_disk *disk = kelb_host::open_image(o.image);
  if (!disk) {
    complain(kelb_host::error_message());
    return 1;
  }
  const walk_result w = walk_disk(o.image, disk, chosen);
  int status = w.failed ? 1 : 0;
  if (w.accepted.empty()) {
    if (!w.failed) {
      list_none(o, disk->total_sectors, w.rejected);
      status = 2;
    }
  } else if (o.have_partition) {
    // The first map that accepts the disk names its partitions. Found and
    // printed, the status is 0: what another map said about the disk went
    // to standard error and does not undo that.
    row r;
    kelb_partition_map *map = w.accepted.front().map;
    status = find_one(o.image, disk, map, o.partition, r) ? 0 : 1;
    if (status == 0) list_one(o, map, r);
  } else {
    list_maps(o, disk->total_sectors, w.accepted);
  }
  kelb_host::close_disk(disk);
  return status;
}

// Everything but the closing of standard output: the exit status.
int probe(int argc, char **argv) {
  options o;
  std::vector<std::string> positional;
  const int status = parse_options(argc, argv, o, positional);
  if (status >= 0) return status;
  if (positional.empty()) return usage_error("no IMAGE given");
  if (positional.size() > 2) return usage_error("unexpected argument '" + positional[2] + "'");
  o.image = positional[0];
  if (positional.size() == 2) {
    o.partition = positional[1];
    o.have_partition = true;
  }

  std::vector<kelb_module *> mods;
  const int result = run(o, mods);
  for (auto it = mods.rbegin(); it != mods.rend(); ++it) kelb_host::unload_module(*it);
  return result;
}

}  // namespace

int main(int argc, char **argv) {
  // A standard stream that is not open gets /dev/null, read-only, so that
  // no file this program opens takes its number: writes to a closed
  // standard output then fail as they should instead of landing in a file.
  for (int fd = 0; fd <= 2; fd++)
    if (fcntl(fd, F_GETFD) < 0) open("/dev/null", O_RDONLY);
  try {
    return close_output(probe(argc, argv));
  } catch (const std::bad_alloc &) {
    // Memory ran out outside the module loader, which says so itself.
    fputs("kelb-probe: out of memory\n", stderr);
    return 1;
  }
}
