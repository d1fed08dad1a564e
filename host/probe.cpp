// SPDX-License-Identifier: MIT
// kelb-probe: loads every partition-map module, walks a disk image with each
// registered map and lists the partitions of every map that accepts it.
//
// Exit status: 0 when the disk was listed without error, or, with
// PARTITION, when the first map that accepts the disk found and printed it;
// 1 on an error, or when that partition was not found; 2 when no map accepts
// the disk.
//
// The modules come from --modules DIR, else from the folder named by the
// KELB_MODULE_DIR environment variable, else from the places
// kelb_host::default_module_dirs() gives, relative to the program itself.

#include "host/kelb_host.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kModuleDirVariable[] = "KELB_MODULE_DIR";

const char kUsage[] =
    "Usage: kelb-probe [--debug=COND] [--map NAME] [--json] [--modules DIR]\n"
    "                  IMAGE [PARTITION]\n"
    "\n"
    "Lists the partitions of IMAGE (a disk image file or block device, opened\n"
    "read-only) as seen by every kelb partition-map module that accepts it.\n"
    "\n"
    "  IMAGE           the disk to read, in 512-byte sectors\n"
    "  PARTITION       show only this partition, looked up by its name (\"1\", ...)\n"
    "                  in the first map that accepts the disk\n"
    "  --map NAME      use only the map NAME (\"sun_partition_map\") or the maps\n"
    "                  of module NAME (\"sun\")\n"
    "  --json          print JSON instead of a table\n"
    "  --modules DIR   load the modules (*.mod) from DIR; without it, from\n"
    "                  $KELB_MODULE_DIR, else from where kelb-probe is installed\n"
    "                  or built\n"
    "  --debug=COND    enable debug lines for COND, a comma list or \"all\"\n"
    "                  (the KELB_DEBUG environment variable does the same)\n"
    "  --help          print this text\n"
    "  --version       print the version\n"
    "\n"
    "Exit status: 0 listed (with PARTITION: found), 1 error (with PARTITION: not\n"
    "found, or the look-up failed), 2 no partition map recognised.\n";

struct row {
  std::string name;
  kelb_partition part;
};

struct map_result {
  kelb_partition_map *map;
  std::vector<row> rows;
};

struct collect {
  kelb_partition_map *map;
  std::vector<row> *rows;
};

int collect_hook(kelb_disk *, const kelb_partition *p, void *data) {
  collect *c = static_cast<collect *>(data);
  row r;
  r.part = *p;
  char *name = c->map->partition_name(p);
  r.name = name ? name : "?";
  kelb_free(name);
  c->rows->push_back(r);
  return 0;
}

// Length of the well-formed UTF-8 sequence that starts at s[i] (1 to 4), or
// 0 when none does: a stray continuation byte, an overlong form, a
// surrogate, a code point above U+10FFFF or a sequence cut short.
size_t utf8_length(const std::string &s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (c < 0x80) {
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    lo = c == 0xE0 ? 0xA0 : 0x80;
    hi = c == 0xED ? 0x9F : 0xBF;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    lo = c == 0xF0 ? 0x90 : 0x80;
    hi = c == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  for (size_t k = 1; k < n; k++) {
    const unsigned char b = static_cast<unsigned char>(s[i + k]);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0;
  }
  return n;
}

// A JSON string holding `s`. Well-formed UTF-8 is copied as it is; any other
// byte (paths and names are bytes, not always UTF-8) becomes \u00XX with its
// value, so the output always parses. Since real characters U+0080 to U+00FF
// are written as their UTF-8 bytes, such an escape stands only for a raw byte.
std::string json_string(const std::string &s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = utf8_length(s, i);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || n == 0) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out.append(s, i, n);
      i += n;
      continue;
    }
    i++;
  }
  return out + "\"";
}

std::string json_partition(const row &r) {
  char buf[160];
  snprintf(buf, sizeof buf,
           "\"index\": %" PRId32 ", \"start\": %" PRIu64 ", \"length\": %" PRIu64
           ", \"offset\": %" PRIu64 "}",
           r.part.index, r.part.start, r.part.length, r.part.offset);
  return "{\"name\": " + json_string(r.name) + ", " + buf;
}

void print_table(const std::string &image, const map_result &m) {
  printf("%s: %s\n", image.c_str(), m.map->name);
  printf("%-6s %12s %12s %12s\n", "NAME", "START", "LENGTH", "OFFSET");
  for (const row &r : m.rows)
    printf("%-6s %12" PRIu64 " %12" PRIu64 " %12" PRIu64 "\n", r.name.c_str(), r.part.start,
           r.part.length, r.part.offset);
}

struct options {
  std::string debug;
  bool debug_set = false;
  std::string map;
  bool json = false;
  std::string modules;
  std::string image;
  std::string partition;
  bool have_partition = false;
};

int usage_error(const std::string &message) {
  fprintf(stderr, "kelb-probe: %s\nTry 'kelb-probe --help'.\n", message.c_str());
  return 1;
}

bool map_selected(const options &o, kelb_partition_map *map,
                  const std::vector<kelb_module *> &mods) {
  if (o.map.empty() || o.map == map->name) return true;
  for (kelb_module *m : mods) {
    const kelb_host::module_info &info = kelb_host::module_of(m);
    if (info.name == o.map)
      for (kelb_partition_map *p : info.maps)
        if (p == map) return true;
  }
  return false;
}

int run(const options &o, std::vector<kelb_module *> &mods) {
  if (o.debug_set) kelb_host::set_debug(o.debug);

  std::vector<std::string> files;
  std::string named = o.modules;
  const char *env = getenv(kModuleDirVariable);
  if (named.empty() && env && *env) named = env;
  if (!named.empty()) {
    files = kelb_host::module_files(named);
    if (files.empty()) {
      fprintf(stderr, "kelb-probe: no modules (*.mod) in '%s'%s\n", named.c_str(),
              o.modules.empty() ? " (from KELB_MODULE_DIR)" : "");
      return 1;
    }
  } else {
    for (const std::string &dir : kelb_host::default_module_dirs()) {
      files = kelb_host::module_files(dir);
      if (!files.empty()) break;
    }
    if (files.empty()) {
      fprintf(stderr,
              "kelb-probe: no modules found; name their folder with --modules"
              " or KELB_MODULE_DIR\n");
      return 1;
    }
  }
  for (const std::string &f : files) {
    kelb_module *m = kelb_host::load_module(f);
    if (!m) {
      fprintf(stderr, "kelb-probe: %s\n", kelb_host::error_message().c_str());
      return 1;
    }
    mods.push_back(m);
  }

  std::vector<kelb_partition_map *> chosen;
  for (kelb_partition_map *p = kelb_host::maps(); p; p = p->next)
    if (map_selected(o, p, mods)) chosen.push_back(p);
  if (chosen.empty()) {
    fprintf(stderr, "kelb-probe: no partition map or module named '%s'\n", o.map.c_str());
    return 1;
  }

  kelb_disk *disk = kelb_host::open_image(o.image);
  if (!disk) {
    fprintf(stderr, "kelb-probe: %s\n", kelb_host::error_message().c_str());
    return 1;
  }

  int status = 0;
  std::vector<map_result> accepted;
  std::vector<std::string> rejected;  // "map: reason"
  for (kelb_partition_map *map : chosen) {
    kelb_host::clear_error();
    map_result r{map, {}};
    collect c{map, &r.rows};
    const kelb_err_t err = map->for_each_partition(disk, collect_hook, &c);
    if (err == KELB_ERR_NONE) {
      accepted.push_back(r);
    } else if (err == KELB_ERR_BAD_PART_TABLE || (err == KELB_ERR_OUT_OF_RANGE && r.rows.empty())) {
      // Not this scheme, or a disk too small to hold it: try the next map.
      rejected.push_back(std::string(map->name) + ": " + kelb_host::error_message());
    } else {
      fprintf(stderr, "kelb-probe: %s: %s: %s\n", o.image.c_str(), map->name,
              kelb_host::error_message().c_str());
      status = 1;
    }
    kelb_host::clear_error();
  }

  if (accepted.empty()) {
    if (status == 0) {
      if (o.json) {
        printf("{\"disk\": %s, \"sectors\": %" PRIu64 ", \"maps\": []}\n",
               json_string(o.image).c_str(), disk->total_sectors);
      } else {
        printf("%s: no partition map recognised\n", o.image.c_str());
        for (const std::string &why : rejected) printf("  %s\n", why.c_str());
      }
      status = 2;
    }
    kelb_host::close_disk(disk);
    return status;
  }

  if (o.have_partition) {
    // The first map that accepts the disk names its partitions.
    kelb_partition_map *map = accepted.front().map;
    kelb_host::clear_error();
    kelb_partition *p = map->find_partition(disk, o.partition.c_str());
    if (!p) {
      if (kelb_errno != KELB_ERR_NONE)
        fprintf(stderr, "kelb-probe: %s: %s: %s\n", o.image.c_str(), map->name,
                kelb_host::error_message().c_str());
      else
        fprintf(stderr, "kelb-probe: %s: %s: no partition '%s'\n", o.image.c_str(), map->name,
                o.partition.c_str());
      kelb_host::close_disk(disk);
      return 1;
    }
    map_result one{map, {}};
    row r;
    r.part = *p;
    char *name = map->partition_name(p);
    r.name = name ? name : "?";
    kelb_free(name);
    kelb_free(p);
    one.rows.push_back(r);
    if (o.json)
      printf("{\"disk\": %s, \"map\": %s, \"partition\": %s}\n", json_string(o.image).c_str(),
             json_string(map->name).c_str(), json_partition(r).c_str());
    else
      print_table(o.image, one);
    kelb_host::close_disk(disk);
    // Found and printed: what another map said about the disk went to
    // standard error and does not undo that.
    return 0;
  }

  if (o.json) {
    printf("{\"disk\": %s, \"sectors\": %" PRIu64 ", \"maps\": [", json_string(o.image).c_str(),
           disk->total_sectors);
    for (size_t i = 0; i < accepted.size(); i++) {
      printf("%s\n  {\"name\": %s, \"partitions\": [", i ? "," : "",
             json_string(accepted[i].map->name).c_str());
      for (size_t k = 0; k < accepted[i].rows.size(); k++)
        printf("%s\n    %s", k ? "," : "", json_partition(accepted[i].rows[k]).c_str());
      printf("]}");
    }
    printf("]}\n");
  } else {
    for (size_t i = 0; i < accepted.size(); i++) {
      if (i) printf("\n");
      print_table(o.image, accepted[i]);
    }
  }
  kelb_host::close_disk(disk);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  options o;
  std::vector<std::string> positional;
  bool options_done = false;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (options_done || a.empty() || a[0] != '-' || a == "-") {
      positional.push_back(a);
    } else if (a == "--") {
      options_done = true;
    } else if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--version") {
      printf("kelb-probe %s\n", KELB_PROBE_VERSION);
      return 0;
    } else if (a == "--json") {
      o.json = true;
    } else if (a.rfind("--debug=", 0) == 0) {
      o.debug = a.substr(8);
      o.debug_set = true;
    } else if (a == "--debug" || a == "--map" || a == "--modules") {
      if (i + 1 >= argc) return usage_error("option " + a + " needs a value");
      const std::string v = argv[++i];
      if (a == "--debug") {
        o.debug = v;
        o.debug_set = true;
      } else if (a == "--map") {
        o.map = v;
      } else {
        o.modules = v;
      }
    } else if (a.rfind("--map=", 0) == 0) {
      o.map = a.substr(6);
    } else if (a.rfind("--modules=", 0) == 0) {
      o.modules = a.substr(10);
    } else {
      return usage_error("unknown option '" + a + "'");
    }
  }
  if (positional.empty()) return usage_error("no IMAGE given");
  if (positional.size() > 2) return usage_error("unexpected argument '" + positional[2] + "'");
  o.image = positional[0];
  if (positional.size() == 2) {
    o.partition = positional[1];
    o.have_partition = true;
  }

  std::vector<kelb_module *> mods;
  const int status = run(o, mods);
  for (auto it = mods.rbegin(); it != mods.rend(); ++it) kelb_host::unload_module(*it);
  return status;
}
