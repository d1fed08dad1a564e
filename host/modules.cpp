// SPDX-License-Identifier: MIT
// Module loading (dlopen, kelb_mod_init, kelb_mod_fini, dlclose) of the bytes
// checked (host/elf_check.cpp), and the list of loaded modules.

#include "host/kelb_host.h"
#include "host/module_bytes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <new>
#include <sys/stat.h>

struct kelb_module {
  void *dl = nullptr;
  // The module file's identity; no descriptor stays open once it is loaded.
  dev_t dev = 0;
  ino_t ino = 0;
  struct timespec changed = {};
  unsigned loads = 1;  // load_module calls not yet given back
  kelb_host::module_info info;
};

namespace kelb_host {

namespace {

using mod_init_fn = void (*)(kelb_module_t);
using mod_fini_fn = void (*)(void);

// What is missing from a registered map, or null when nothing is.
const char *incomplete(const kelb_partition_map *map) {
  if (!map->name || !*map->name) return "no name";
  if (!map->for_each_partition) return "no for_each_partition";
  if (!map->find_partition) return "no find_partition";
  if (!map->partition_name) return "no partition_name";
  return nullptr;
}

// Every module loaded and not yet unloaded, in load order.
std::vector<kelb_module *> g_loaded;

// dlerror()'s text without the name dlopen was given, which is the copy's
// /proc/self/fd/N: messages name the module file instead.
std::string load_error(const std::string &opened) {
  const char *e = dlerror();
  std::string text = e ? e : "unknown dynamic loader error";
  const std::string prefix = opened + ": ";
  if (text.compare(0, prefix.size(), prefix) == 0) text.erase(0, prefix.size());
  return text;
}

// The loaded module whose .modname is `name` (other than `self`), or null.
kelb_module *module_named(const std::string &name, const kelb_module *self) {
  for (kelb_module *m : g_loaded)
    if (m != self && m->info.name == name) return m;
  return nullptr;
}

// The loaded module that registered `map`, or null.
kelb_module *owner_of(const kelb_partition_map *map) {
  for (kelb_module *m : g_loaded)
    if (std::find(m->info.maps.begin(), m->info.maps.end(), map) != m->info.maps.end()) return m;
  return nullptr;
}

// Whether the maps `m`'s kelb_mod_init registered cannot be used: true with
// the reason in `why` and the code to report in `code`.
bool refused(const kelb_module *m, std::string &why, kelb_err_t &code) {
  code = KELB_ERR_BAD_MODULE;
  const std::vector<kelb_partition_map *> &mine = m->info.maps;
  if (mine.empty()) {
    why = "it registers no partition map";
    return true;
  }
  for (const kelb_partition_map *map : mine) {
    // A map with a slot missing would crash whoever calls it.
    if (const char *missing = incomplete(map)) {
      why = (map->name && *map->name ? "partition map '" + std::string(map->name) + "'"
                                     : std::string("a partition map")) +
            " with " + missing;
      return true;
    }
  }
  for (const kelb_partition_map *map : mine) {
    // Two maps of one name would list a disk twice, and a look-up by name
    // would take whichever came first.
    for (const kelb_partition_map *other = maps(); other; other = other->next) {
      if (other == map || !other->name || strcmp(other->name, map->name) != 0) continue;
      if (std::find(mine.begin(), mine.end(), other) != mine.end()) {
        why = "it registers two partition maps named '" + std::string(map->name) + "'";
        return true;
      }
      const kelb_module *owner = owner_of(other);
      code = KELB_ERR_MODULE_CONFLICT;
      why = "partition map '" + std::string(map->name) + "' is registered already" +
            (owner ? " by '" + owner->info.path + "'" : std::string());
      return true;
    }
  }
  return false;
}

// Runs the kelb_mod_init of the module `m` just opened, and keeps it
// unless what it registered is refused.
kelb_module *start(std::unique_ptr<kelb_module> m, const std::string &way) {
  const std::string path = m->info.path;
  auto init = reinterpret_cast<mod_init_fn>(dlsym(m->dl, "kelb_mod_init"));
  auto fini = reinterpret_cast<mod_fini_fn>(dlsym(m->dl, "kelb_mod_fini"));
  if (!init || !fini) {
    dlclose(m->dl);
    kelb_error(KELB_ERR_BAD_MODULE,
               "cannot load module '%s': kelb_mod_init or kelb_mod_fini missing", path.c_str());
    return nullptr;
  }
  std::vector<kelb_partition_map *> before;
  for (kelb_partition_map *p = maps(); p; p = p->next) before.push_back(p);
  init(m.get());
  for (kelb_partition_map *p = maps(); p; p = p->next)
    if (std::find(before.begin(), before.end(), p) == before.end()) m->info.maps.push_back(p);

  std::string why;
  kelb_err_t code;
  if (refused(m.get(), why, code)) {
    unload_module(m.release());
    kelb_error(code, "cannot load module '%s': %s", path.c_str(), why.c_str());
    return nullptr;
  }
  g_loaded.push_back(m.get());
  kelb_real_dprintf("host/modules", __LINE__, "modules", "module '%s' loaded from '%s' %s\n",
                    m->info.name.c_str(), path.c_str(), way.c_str());
  return m.release();
}

// The loaded module read from the same file as `file` (another name or
// link to it), or null.
kelb_module *loaded_from(const module_file &file) {
  for (kelb_module *m : g_loaded)
    if (m->dev == file.dev && m->ino == file.ino && m->changed.tv_sec == file.changed.tv_sec &&
        m->changed.tv_nsec == file.changed.tv_nsec)
      return m;
  return nullptr;
}

// Maps the checked bytes of `file`, the module `name` at `path`, and starts
// it.
kelb_module *open_checked(const module_file &file, const std::string &path,
                          const std::string &name) {
  // What dlopen maps is the checked bytes themselves, not the file again: a
  // file renamed over this one or written meanwhile changes nothing.
  std::string error;
  const std::unique_ptr<loadable> copy = make_loadable(file, path, error);
  if (!copy) {
    kelb_error(KELB_ERR_BAD_MODULE, "cannot load module '%s': %s", path.c_str(), error.c_str());
    return nullptr;
  }
  auto m = std::make_unique<kelb_module>();
  m->dev = file.dev;
  m->ino = file.ino;
  m->changed = file.changed;
  m->info.path = path;
  m->info.name = name;
  // RTLD_NOW: a module calling a service the host lacks fails here, not in
  // the middle of a walk.
  m->dl = dlopen(copy->name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m->dl) {
    kelb_error(KELB_ERR_BAD_MODULE, "cannot load module '%s': %s", path.c_str(),
               load_error(copy->name).c_str());
    return nullptr;
  }
  return start(std::move(m), copy->way);
}

// load_module, which may run out of memory.
kelb_module *load(const std::string &path) {
  module_file file;
  std::string name, error;
  int err;
  if (!read_module(path, file, error, err)) {
    kelb_error(err == ENOENT || err == EACCES ? KELB_ERR_FILE_NOT_FOUND : KELB_ERR_BAD_MODULE,
               "cannot load module %s", error.c_str());
    return nullptr;
  }
  if (kelb_module *same = loaded_from(file)) {
    same->loads++;
    return same;
  }
  // Nothing of a file that fails these checks is mapped or run.
  if (!inspect_module(file.bytes.data(), file.bytes.size(), path, name, error)) {
    kelb_error(KELB_ERR_BAD_MODULE, "cannot load module %s", error.c_str());
    return nullptr;
  }
  if (const kelb_module *other = module_named(name, nullptr)) {
    kelb_error(KELB_ERR_MODULE_CONFLICT,
               "cannot load module '%s': module '%s' is loaded already from '%s'", path.c_str(),
               name.c_str(), other->info.path.c_str());
    return nullptr;
  }
  return open_checked(file, path, name);
}

}  // namespace

kelb_module *load_module(const std::string &path) {
  try {
    return load(path);
  } catch (const std::bad_alloc &) {
    kelb_error(KELB_ERR_OUT_OF_MEMORY, "cannot load module '%s': out of memory", path.c_str());
    return nullptr;
  }
}

void unload_module(kelb_module *module) {
  if (!module || --module->loads > 0) return;
  auto fini = reinterpret_cast<mod_fini_fn>(dlsym(module->dl, "kelb_mod_fini"));
  if (fini) fini();
  // A map left in the list would point into unmapped memory after dlclose.
  for (kelb_partition_map *map : module->info.maps) kelb_partition_map_unregister(map);
  dlclose(module->dl);
  g_loaded.erase(std::remove(g_loaded.begin(), g_loaded.end(), module), g_loaded.end());
  delete module;
}

const module_info &module_of(const kelb_module *module) { return module->info; }

}  // namespace kelb_host
