// SPDX-License-Identifier: MIT
// kelb-probe's modules and walk: the modules loaded from their folder, the
// maps --map chooses, each map's walk of the disk, and the look-up of one
// partition.

#include "host/probe.h"

#include <algorithm>
#include <cstdlib>

namespace kelb_probe {

namespace {

const char kModuleDirVariable[] = "KELB_MODULE_DIR";

// Why the last operation of a map failed: its message, or its error code
// when it set none.
std::string failure(kelb_err_t code) {
  const std::string &message = kelb_host::error_message();
  if (!message.empty()) return message;
  return "error code " + std::to_string(code != KELB_ERR_NONE ? code : kelb_errno);
}

// `p` of `map` as a row: the record and the name the map gives it ("?"
// when it gives none).
row row_of(kelb_partition_map *map, const kelb_partition *p) {
  row r;
  r.part = *p;
  char *name = map->partition_name(p);
  r.name = name ? name : "?";
  kelb_free(name);
  return r;
}

// What a walk's hook collects: each partition of `map`, as a row.
struct collect {
  kelb_partition_map *map;
  std::vector<row> *rows;
};

int collect_hook(kelb_disk *, const kelb_partition *p, void *data) {
  collect *c = static_cast<collect *>(data);
  c->rows->push_back(row_of(c->map, p));
  return 0;
}

// The module files to load, in `files`: those of --modules, else of
// KELB_MODULE_DIR, else of the first default folder that holds any. False
// after a message when there are none.
bool files_to_load(const options &o, std::vector<std::string> &files) {
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
    return true;
  }
  for (const std::string &dir : kelb_host::default_module_dirs()) {
    // A default folder that does not exist is simply not this one.
    if (kelb_host::module_files(dir, files, error) && !files.empty()) return true;
  }
  complain("no modules found; name their folder with --modules or KELB_MODULE_DIR");
  return false;
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

}  // namespace

bool load_modules(const options &o, std::vector<kelb_module *> &mods) {
  std::vector<std::string> files;
  if (!files_to_load(o, files)) return false;
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

walk_result walk_disk(const std::string &image, kelb_disk *disk,
                      const std::vector<kelb_partition_map *> &chosen) {
  walk_result w;
  for (kelb_partition_map *map : chosen) {
    kelb_host::clear_error();
    map_result r{map, {}};
    collect c{map, &r.rows};
    const kelb_err_t err = map->for_each_partition(disk, collect_hook, &c);
    if (err == KELB_ERR_NONE) {
      w.accepted.push_back(r);
    } else if (err == KELB_ERR_BAD_PART_TABLE || (err == KELB_ERR_OUT_OF_RANGE && r.rows.empty())) {
      // Not this scheme, or a disk too small to hold it: try the next map.
      w.rejected.push_back(std::string(map->name) + ": " + failure(err));
    } else {
      complain(image + ": " + map->name + ": " + failure(err));
      w.failed = true;
    }
    kelb_host::clear_error();
  }
  return w;
}

bool find_one(const std::string &image, kelb_disk *disk, kelb_partition_map *map,
              const std::string &name, row &r) {
  kelb_host::clear_error();
  kelb_partition *p = map->find_partition(disk, name.c_str());
  if (!p) {
    if (kelb_errno != KELB_ERR_NONE)
      complain(image + ": " + map->name + ": " + failure(kelb_errno));
    else
      complain(image + ": " + map->name + ": no partition '" + name + "'");
    return false;
  }
  r = row_of(map, p);
  kelb_free(p);
  return true;
}

}  // namespace kelb_probe
