// SPDX-License-Identifier: MIT
// Module loading (dlopen, kelb_mod_init, kelb_mod_fini, dlclose) of the bytes
// checked (host/elf_check.cpp), and the list of loaded modules.

#include "host/kelb_host.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <elf.h>
#include <memory>
#include <new>
#include <signal.h>
#include <sys/mman.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#ifndef MFD_EXEC  // Linux 6.3; older C libraries lack the name
#define MFD_EXEC 0x0010U
#endif

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

// Far beyond any module (ours are tens of KiB, sanitized ones some
// hundreds); a file this large is refused rather than read.
constexpr off_t kMaxModuleFile = 16 << 20;

// A module file opened once and read whole; closed once the module is
// loaded, its identity kept.
struct module_file {
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  struct timespec changed = {};  // with dev and ino, tells a rewritten file apart
  uid_t owner = 0;
  mode_t mode = 0;
  std::string bytes;

  module_file() = default;
  module_file(const module_file &) = delete;
  module_file &operator=(const module_file &) = delete;
  ~module_file() {
    if (fd >= 0) close(fd);
  }
};

// Reads `size` bytes from the start of `fd` into `out`. False with `err`
// set (0: the file ended early).
bool read_all(int fd, char *out, size_t size, int &err) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(fd, out + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : 0;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Opens the file at `path` without waiting on a FIFO or device and reads it
// whole, after its first bytes say it is an ELF file. False with `error` set
// ("'PATH': reason") and `err` the system's code, or 0.
bool read_file(const std::string &path, module_file &file, std::string &error, int &err) {
  err = 0;
  const auto refuse = [&](const std::string &why) {
    error = "'" + path + "': " + why;
    return false;
  };
  file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st;
  if (file.fd < 0 || fstat(file.fd, &st) != 0) return err = errno, refuse(strerror(err));
  if (!S_ISREG(st.st_mode)) return refuse("not a regular file");
  if (st.st_size > kMaxModuleFile)
    return refuse("too large for a module (" + std::to_string(st.st_size) +
                  " bytes; a module is at most " + std::to_string(kMaxModuleFile >> 20) + " MiB)");
  file.dev = st.st_dev;
  file.ino = st.st_ino;
  file.changed = st.st_ctim;
  file.owner = st.st_uid;
  file.mode = st.st_mode;
  char magic[SELFMAG];
  if (st.st_size < SELFMAG || !read_all(file.fd, magic, SELFMAG, err) ||
      memcmp(magic, ELFMAG, SELFMAG) != 0)
    return refuse(err ? strerror(err) : "not an ELF file");
  file.bytes.resize(static_cast<size_t>(st.st_size));
  if (!read_all(file.fd, file.bytes.data(), file.bytes.size(), err))
    return refuse(err ? strerror(err) : "file shrank while read");
  return true;
}

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

// A name for the object at `file` (a descriptor's /proc/self/fd/N, or a
// path), unique in this process: the dynamic loader knows objects by the
// name they were opened with and hands back one still mapped (a module that
// cannot be unloaded) for a name reused. The serial number is spelt in
// "./" and "/" steps that the system reads as nothing.
std::string unique_name(const std::string &folder, const std::string &file) {
  static unsigned long serial = 0;
  std::string name = folder + "/";
  for (unsigned long s = ++serial; s; s >>= 1) name += s & 1 ? "./" : "/";
  return name + file;
}

// A path under which dlopen finds the object of descriptor `fd` through
// /proc, or "" when /proc does not show it (not mounted, as in a chroot).
std::string proc_name(int fd) {
  const std::string name = unique_name("/proc/self/fd", std::to_string(fd));
  struct stat via, held;
  if (stat(name.c_str(), &via) != 0 || fstat(fd, &held) != 0 || via.st_dev != held.st_dev ||
      via.st_ino != held.st_ino)
    return std::string();
  return name;
}

// Writes `bytes` to `fd` whole. A file-size limit makes the write fail
// rather than end the process: a program that only reads must not die
// writing its copy. The reason in `error` on failure.
bool write_copy(int fd, const std::string &bytes, std::string &error) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      bytes.size() > limit.rlim_cur) {
    error = "the file-size limit (" + std::to_string(limit.rlim_cur) + " bytes) is below its size";
    return false;
  }
  struct sigaction ignore = {}, old;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &old);
  size_t done = 0;
  int err = 0;
  while (done < bytes.size() && err == 0) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n == 0 || errno != EINTR)
      err = n < 0 ? errno : EIO;
  }
  sigaction(SIGXFSZ, &old, nullptr);
  if (err != 0) error = strerror(err);
  return err == 0;
}

// One way of giving dlopen the checked bytes: the name to open, what to
// undo once it is open, and the words --debug=modules uses for it.
struct loadable {
  std::string name;
  int fd = -1;
  std::string folder, file;  // a private copy's, removed once open
  std::string way;

  loadable() = default;
  loadable(const loadable &) = delete;
  loadable &operator=(const loadable &) = delete;
  ~loadable() {
    if (fd >= 0) close(fd);
    if (!file.empty()) unlink((folder + "/" + file).c_str());
    if (!folder.empty()) rmdir(folder.c_str());
  }
};

// A sealed in-memory file holding the bytes, its name `label` (what
// /proc/self/maps shows): no one can change, grow or shrink it.
bool in_memory(const module_file &src, const std::string &label, loadable &out,
               std::string &error) {
  // Where memfd files are made non-executable unless asked, the copy must
  // say it is code; kernels that predate the flag refuse it.
  out.fd = memfd_create(label.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING | MFD_EXEC);
  if (out.fd < 0 && errno == EINVAL)
    out.fd = memfd_create(label.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (out.fd < 0) return error = strerror(errno), false;
  if (!write_copy(out.fd, src.bytes, error)) return false;
  if (fcntl(out.fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
    return error = std::string("cannot seal it: ") + strerror(errno), false;
  out.name = proc_name(out.fd);
  if (out.name.empty()) return error = "/proc does not show it", false;
  out.way = "through a sealed in-memory copy";
  return true;
}

// A copy in a folder of its own that only this user can write, in the
// first temporary folder that takes one and lets programs run from it.
bool private_copy(const module_file &src, const std::string &label, loadable &out,
                  std::string &error) {
  const char *env = getenv("TMPDIR");
  for (const std::string base : {env && *env ? env : "/tmp", "/var/tmp", "/dev/shm"}) {
    struct statvfs fs;
    if (statvfs(base.c_str(), &fs) != 0 || (fs.f_flag & ST_NOEXEC)) continue;
    std::string folder = base + "/kelb-probe-XXXXXX";
    if (!mkdtemp(folder.data())) continue;
    out.folder = folder;
    const int fd = open((folder + "/" + label).c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0500);
    if (fd < 0) return error = folder + ": " + strerror(errno), false;
    out.file = label;
    const bool written = write_copy(fd, src.bytes, error);
    if (close(fd) != 0 && written) error = strerror(errno);
    if (!written || !error.empty()) return error = folder + ": " + error, false;
    out.name = unique_name(folder, label);
    out.way = "through a private copy in " + base;
    return true;
  }
  return error = "no temporary folder takes one", false;
}

// The module file itself, through the descriptor its bytes were read from,
// when none but its owner, who is this user or the administrator, can
// write it: no one else can change it between the check and the load.
bool file_itself(const module_file &src, loadable &out, std::string &error) {
  if ((src.owner != 0 && src.owner != geteuid()) || (src.mode & (S_IWGRP | S_IWOTH)))
    return error = "others may write it", false;
  out.name = proc_name(src.fd);
  if (out.name.empty()) return error = "/proc does not show it", false;
  out.way = "from the file itself (only its owner may write it)";
  return true;
}

// Readies the checked bytes of `src` for dlopen, the first way that works;
// null with every way's reason in `error`.
std::unique_ptr<loadable> make_loadable(const module_file &src, const std::string &path,
                                        std::string &error) {
  const std::string label = path.substr(path.find_last_of('/') + 1).substr(0, 200);
  std::string memory, folder, itself;
  auto out = std::make_unique<loadable>();
  if (in_memory(src, label, *out, memory)) return out;
  out = std::make_unique<loadable>();
  if (private_copy(src, label, *out, folder)) return out;
  out = std::make_unique<loadable>();
  if (file_itself(src, *out, itself)) return out;
  error = "no way to load the bytes checked (in-memory copy: " + memory +
          "; private copy: " + folder + "; the file itself: " + itself + ")";
  return nullptr;
}

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

// load_module, which may run out of memory.
kelb_module *load(const std::string &path) {
  module_file file;
  std::string name, error;
  int err;
  if (!read_file(path, file, error, err)) {
    kelb_error(err == ENOENT || err == EACCES ? KELB_ERR_FILE_NOT_FOUND : KELB_ERR_BAD_MODULE,
               "cannot load module %s", error.c_str());
    return nullptr;
  }
  for (kelb_module *m : g_loaded) {
    if (m->dev == file.dev && m->ino == file.ino && m->changed.tv_sec == file.changed.tv_sec &&
        m->changed.tv_nsec == file.changed.tv_nsec) {  // the same file by another name
      m->loads++;
      return m;
    }
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
  // What dlopen maps is the checked bytes themselves, not the file again: a
  // file renamed over this one or written meanwhile changes nothing.
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
  const std::string way = copy->way;
  return start(std::move(m), way);
}

}  // namespace

bool read_module_file(const std::string &path, std::string &bytes, std::string &error) {
  module_file file;
  int err;
  if (!read_file(path, file, error, err)) return false;
  bytes.swap(file.bytes);
  return true;
}

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

void *module_symbol(const kelb_module *module, const std::string &name) {
  return dlsym(module->dl, name.c_str());
}

bool module_files(const std::string &dir, std::vector<std::string> &files, std::string &error) {
  files.clear();
  DIR *d = opendir(dir.c_str());
  if (!d) {
    error = "cannot read module folder '" + dir + "': " + strerror(errno);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent *e = readdir(d);
    if (!e) break;
    const std::string n = e->d_name;
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".mod") == 0) files.push_back(dir + "/" + n);
  }
  const int err = errno;
  closedir(d);
  if (err != 0) {
    error = "cannot read module folder '" + dir + "': " + strerror(err);
    files.clear();
    return false;
  }
  std::sort(files.begin(), files.end());
  return true;
}

std::vector<std::string> default_module_dirs() {
  std::vector<std::string> dirs;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir;
  if (n > 0) {
    dir.assign(self, static_cast<size_t>(n));
  } else {
    // Without /proc (a chroot), the path the program was started by.
    const char *started = reinterpret_cast<const char *>(getauxval(AT_EXECFN));
    if (!started || !strchr(started, '/')) return dirs;
    dir = started;
  }
  dir.erase(dir.find_last_of('/'));
  // Installed: bin/kelb-probe finds lib/kelb (or the multiarch library
  // folder) through the path between the two, whatever the prefix.
  dirs.push_back(dir + "/" KELB_INSTALLED_MODULE_DIR);
  // In a build tree the program lies in host/ and the modules in partmap/
  // beside it. No build path is compiled in: an installed copy must hold
  // nothing of the machine it was built on.
  dirs.push_back(dir);
  dirs.push_back(dir + "/../partmap");
  return dirs;
}

}  // namespace kelb_host
