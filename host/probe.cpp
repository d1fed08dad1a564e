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

#include "host/kelb_host.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char kModuleDirVariable[] = "KELB_MODULE_DIR";

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

// The system's code of the first write to standard output that failed, or 0.
int g_write_error = 0;

// printf to standard output, keeping the code of the first failure.
void out(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void out(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  errno = 0;
  const int n = vprintf(fmt, ap);
  va_end(ap);
  if (n < 0 && g_write_error == 0) g_write_error = errno ? errno : EIO;
}

// A message on standard error: "kelb-probe: " and `message`, shown safely.
void complain(const std::string &message) {
  fprintf(stderr, "kelb-probe: %s\n", kelb_host::printable(message).c_str());
}

// Why the last operation of a map failed: its message, or its error code
// when it set none.
std::string failure(kelb_err_t code) {
  const std::string &message = kelb_host::error_message();
  if (!message.empty()) return message;
  return "error code " + std::to_string(code != KELB_ERR_NONE ? code : kelb_errno);
}

// Flushes and closes standard output, as the end of the program: `status`,
// or 1 with "kelb-probe: write error: REASON" when a write to it failed.
// Closing a standard output that was never open is no failure when nothing
// was written to it.
int close_output(int status) {
  errno = 0;
  if (fflush(stdout) != 0 && g_write_error == 0) g_write_error = errno ? errno : EIO;
  if (ferror(stdout) && g_write_error == 0) g_write_error = EIO;
  errno = 0;
  if (fclose(stdout) != 0 && g_write_error == 0 && errno != EBADF)
    g_write_error = errno ? errno : EIO;
  if (g_write_error == 0) return status;
  fprintf(stderr, "kelb-probe: write error: %s\n", strerror(g_write_error));
  return 1;
}

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

// A JSON string holding `s`. Well-formed UTF-8 is copied as it is; any other
// byte (paths and names are bytes, not always UTF-8) becomes \u00XX with its
// value, so the output always parses. Since real characters U+0080 to U+00FF
// are written as their UTF-8 bytes, such an escape stands only for a raw byte.
std::string json_string(const std::string &s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = kelb_host::utf8_length(s, i);
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

// A number of up to 96 bits, exact: a partition's byte positions (sectors
// times 512) and its end (start plus length) pass 64 bits on a hostile
// label. Limbs of 32 bits, lowest first, so that every step fits in 64.
struct wide {
  uint32_t limb[3] = {0, 0, 0};
};

wide wide_of(uint64_t v) {
  wide w;
  w.limb[0] = static_cast<uint32_t>(v);
  w.limb[1] = static_cast<uint32_t>(v >> 32);
  return w;
}

wide add(wide w, uint64_t v) {
  uint64_t carry = v;
  for (uint32_t &l : w.limb) {
    carry += l;
    l = static_cast<uint32_t>(carry);
    carry >>= 32;
  }
  return w;
}

wide times(wide w, uint32_t factor) {
  uint64_t carry = 0;
  for (uint32_t &l : w.limb) {
    carry += uint64_t{l} * factor;
    l = static_cast<uint32_t>(carry);
    carry >>= 32;
  }
  return w;
}

// w - 1, for a w that is not 0.
wide minus_one(wide w) {
  for (uint32_t &l : w.limb)
    if (l-- != 0) break;
  return w;
}

std::string decimal(wide w) {
  std::string digits;
  do {
    uint64_t rest = 0;
    for (int i = 2; i >= 0; i--) {
      const uint64_t cur = rest << 32 | w.limb[i];
      w.limb[i] = static_cast<uint32_t>(cur / 10);
      rest = cur % 10;
    }
    digits.insert(digits.begin(), static_cast<char>('0' + rest));
  } while (w.limb[0] | w.limb[1] | w.limb[2]);
  return digits;
}

const uint32_t kSectorBytes = 512;

// A partition's place in sectors and in bytes, as text; the ends are "-"
// for a partition of no sectors, which has no last sector.
struct extent {
  std::string start, end, length;  // sectors
  std::string start_byte, end_byte, length_bytes;
};

extent extent_of(const kelb_partition &p) {
  extent e;
  e.start = std::to_string(p.start);
  e.length = std::to_string(p.length);
  e.start_byte = decimal(times(wide_of(p.start), kSectorBytes));
  e.length_bytes = decimal(times(wide_of(p.length), kSectorBytes));
  const wide past = add(wide_of(p.start), p.length);  // the first sector after it
  e.end = p.length ? decimal(minus_one(past)) : "-";
  e.end_byte = p.length ? decimal(minus_one(times(past, kSectorBytes))) : "-";
  return e;
}

// `sectors` sectors in binary units as partx and lsblk show sizes: the
// largest unit of B, K, M, G, ... (powers of 1024) that holds at least 1,
// its whole number, and one decimal when that tenth, rounded half up from
// the thousandths (which are cut), is not 0: "512B", "992K", "31.5K", "2M".
std::string human_size(uint64_t sectors) {
  static const char kUnits[] = "BKMGTPEZ";
  // Bytes are sectors * 2^9: the unit 2^(10u) holds at least 1 when
  // sectors >= 2^(10u - 9).
  int unit = 0;
  while (unit < 7 && 10 * (unit + 1) - 9 < 64 && (sectors >> (10 * (unit + 1) - 9)) != 0) unit++;
  if (unit == 0) return std::to_string(sectors * kSectorBytes) + "B";
  const int shift = 10 * unit - 9;
  uint64_t whole = sectors >> shift;
  const uint64_t frac = sectors & ((uint64_t{1} << shift) - 1);
  // (frac * 1000) >> shift, exact, in wide arithmetic.
  wide w = times(wide_of(frac), 1000);
  uint64_t thousandths = 0;
  for (int bit = shift; bit < shift + 10; bit++)  // frac < 2^shift: below 1000 << shift
    if ((w.limb[bit / 32] >> (bit % 32)) & 1) thousandths |= uint64_t{1} << (bit - shift);
  uint64_t tenth = (thousandths + 50) / 100;
  if (tenth == 10) {
    whole++;
    tenth = 0;
  }
  std::string text = std::to_string(whole);
  if (tenth) {
    text += '.';
    text += static_cast<char>('0' + tenth);
  }
  return text + kUnits[unit];
}

std::string json_partition(const row &r) {
  char buf[160];
  snprintf(buf, sizeof buf,
           "\"index\": %" PRId32 ", \"start\": %" PRIu64 ", \"length\": %" PRIu64
           ", \"offset\": %" PRIu64,
           r.part.index, r.part.start, r.part.length, r.part.offset);
  const extent e = extent_of(r.part);
  const auto number = [](const std::string &v) { return v == "-" ? std::string("null") : v; };
  return "{\"name\": " + json_string(r.name) + ", " + buf + ", \"end\": " + number(e.end) +
         ", \"start_byte\": " + e.start_byte + ", \"end_byte\": " + number(e.end_byte) +
         ", \"length_bytes\": " + e.length_bytes + "}";
}

// What a map's OFFSET is: each module's rule, so that the table's header
// says it; "" for a map of no module known here.
const char *offset_meaning(const char *map) {
  const std::string name = map;
  if (name == "sun_partition_map") return "the label's sector";
  if (name == "Linux/ADFS partition map") return "the ADFS boot block's sector";
  if (name == "amiga_partition_map") return "the partition block's byte position";
  if (name == "apple_partition_map") return "the map entry's byte position";
  return "";
}

// Characters `text` takes on a terminal, for text printable() made.
size_t width_of(const std::string &text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;  // not a continuation byte
  }));
}

// The map's header line and its table; each column as wide as its widest
// cell. `bytes`: START, END and LENGTH in bytes instead of sectors.
void print_table(const std::string &image, const map_result &m, bool bytes) {
  const size_t kColumns = 6;
  std::vector<std::vector<std::string>> lines = {
      {"NAME", "START", "END", "LENGTH", "SIZE", "OFFSET"}};
  for (const row &r : m.rows) {
    const extent e = extent_of(r.part);
    lines.push_back({kelb_host::printable(r.name), bytes ? e.start_byte : e.start,
                     bytes ? e.end_byte : e.end, bytes ? e.length_bytes : e.length,
                     human_size(r.part.length), std::to_string(r.part.offset)});
  }
  size_t width[kColumns] = {6, 12, 12, 12, 6, 12};
  for (const auto &cells : lines)
    for (size_t i = 0; i < kColumns; i++) width[i] = std::max(width[i], width_of(cells[i]));
  std::string units = bytes ? "START, END and LENGTH in bytes" : "sectors of 512 bytes";
  const std::string offset = offset_meaning(m.map->name);
  if (!offset.empty()) units += "; OFFSET: " + offset;
  out("%s: %s (%s)\n", kelb_host::printable(image).c_str(),
      kelb_host::printable(m.map->name).c_str(), units.c_str());
  for (const auto &cells : lines) {
    std::string line = cells[0];
    line.append(width[0] - width_of(cells[0]), ' ');
    for (size_t i = 1; i < kColumns; i++) {
      line.append(1 + width[i] - cells[i].size(), ' ');  // the blank between, then the padding
      line += cells[i];
    }
    out("%s\n", line.c_str());
  }
}

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

// Whether `name` names `map` or the module that registered it.
bool names_map(const std::string &name, kelb_partition_map *map,
               const std::vector<kelb_module *> &mods) {
  if (name == map->name) return true;
  for (kelb_module *m : mods) {
    const kelb_host::module_info &info = kelb_host::module_of(m);
    if (info.name == name && std::find(info.maps.begin(), info.maps.end(), map) != info.maps.end())
      return true;
  }
  return false;
}

// The maps to walk, in the order they were registered: every map, or those
// --map names. Empty, after a message, when a name selects nothing.
std::vector<kelb_partition_map *> chosen_maps(const options &o,
                                              const std::vector<kelb_module *> &mods) {
  std::vector<kelb_partition_map *> chosen;
  for (const std::string &name : o.maps) {
    bool any = false;
    for (kelb_partition_map *p = kelb_host::maps(); p; p = p->next)
      any = any || names_map(name, p, mods);
    if (!any) {
      complain("no partition map or module named '" + name + "'");
      return chosen;
    }
  }
  for (kelb_partition_map *p = kelb_host::maps(); p; p = p->next) {
    bool wanted = o.maps.empty();
    for (const std::string &name : o.maps) wanted = wanted || names_map(name, p, mods);
    if (wanted) chosen.push_back(p);
  }
  return chosen;
}

// Loads every module of the folder that holds them into `mods`. A module
// refused because one of its name or map name is loaded already is
// reported and left out; any other failure ends the run (false).
bool load_modules(const options &o, std::vector<kelb_module *> &mods) {
  std::vector<std::string> files;
  std::string error;
  std::string named = o.modules;
  const char *env = getenv(kModuleDirVariable);
  const bool from_env = named.empty() && env && *env;
  if (from_env) named = env;
  if (!named.empty()) {
    if (!kelb_host::module_files(named, files, error)) {
      complain(error + (from_env ? " (from KELB_MODULE_DIR)" : ""));
      return false;
    }
    if (files.empty()) {
      complain("no modules (*.mod) in '" + named + "'" +
               (from_env ? " (from KELB_MODULE_DIR)" : ""));
      return false;
    }
  } else {
    for (const std::string &dir : kelb_host::default_module_dirs()) {
      // A default folder that does not exist is simply not this one.
      if (kelb_host::module_files(dir, files, error) && !files.empty()) break;
    }
    if (files.empty()) {
      complain("no modules found; name their folder with --modules or KELB_MODULE_DIR");
      return false;
    }
  }
  for (const std::string &f : files) {
    kelb_module *m = kelb_host::load_module(f);
    if (!m && kelb_errno == KELB_ERR_MODULE_CONFLICT) {
      complain(kelb_host::error_message());  // the first one stays
      continue;
    }
    if (!m) {
      complain(kelb_host::error_message());
      return false;
    }
    if (std::find(mods.begin(), mods.end(), m) != mods.end()) {
      kelb_host::unload_module(m);  // a link to a module loaded already
      continue;
    }
    mods.push_back(m);
  }
  return true;
}

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
      rejected.push_back(std::string(map->name) + ": " + failure(err));
    } else {
      complain(o.image + ": " + map->name + ": " + failure(err));
      status = 1;
    }
    kelb_host::clear_error();
  }

  if (accepted.empty()) {
    if (status == 0) {
      if (o.json) {
        out("{\"disk\": %s, \"sectors\": %" PRIu64 ", \"maps\": []}\n",
            json_string(o.image).c_str(), disk->total_sectors);
      } else {
        out("%s: no partition map recognised\n", kelb_host::printable(o.image).c_str());
        for (const std::string &why : rejected) out("  %s\n", kelb_host::printable(why).c_str());
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
        complain(o.image + ": " + map->name + ": " + failure(kelb_errno));
      else
        complain(o.image + ": " + map->name + ": no partition '" + o.partition + "'");
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
      out("{\"disk\": %s, \"map\": %s, \"partition\": %s}\n", json_string(o.image).c_str(),
          json_string(map->name).c_str(), json_partition(r).c_str());
    else
      print_table(o.image, one, o.bytes);
    kelb_host::close_disk(disk);
    // Found and printed: what another map said about the disk went to
    // standard error and does not undo that.
    return 0;
  }

  if (o.json) {
    out("{\"disk\": %s, \"sectors\": %" PRIu64 ", \"maps\": [", json_string(o.image).c_str(),
        disk->total_sectors);
    for (size_t i = 0; i < accepted.size(); i++) {
      out("%s\n  {\"name\": %s, \"partitions\": [", i ? "," : "",
          json_string(accepted[i].map->name).c_str());
      for (size_t k = 0; k < accepted[i].rows.size(); k++)
        out("%s\n    %s", k ? "," : "", json_partition(accepted[i].rows[k]).c_str());
      out("]}");
    }
    out("]}\n");
  } else {
    for (size_t i = 0; i < accepted.size(); i++) {
      if (i) out("\n");
      print_table(o.image, accepted[i], o.bytes);
    }
  }
  kelb_host::close_disk(disk);
  return status;
}

// The option of argument `a` that takes a value, given as "--NAME VALUE"
// or "--NAME=VALUE": "--debug", "--map" or "--modules"; "" for any other.
std::string valued_option(const std::string &a) {
  for (const std::string name : {"--debug", "--map", "--modules"})
    if (a.compare(0, name.size(), name) == 0 && (a.size() == name.size() || a[name.size()] == '='))
      return name;
  return "";
}

// Everything but the closing of standard output: the exit status.
int probe(int argc, char **argv) {
  options o;
  std::vector<std::string> positional;
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
      if (name == "--debug") {
        o.debug = v;
        o.debug_set = true;
      } else if (name == "--map") {
        if (!add_maps(o, v, error)) return usage_error(error);
      } else {
        if (v.empty()) return usage_error("option --modules needs a folder name");
        o.modules = v;
      }
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
