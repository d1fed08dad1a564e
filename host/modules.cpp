// SPDX-License-Identifier: MIT
// Module loading (dlopen, kelb_mod_init, kelb_mod_fini, dlclose), and the
// checks made on a module file, through libelf, before any of its code runs.

#include "host/kelb_host.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gelf.h>
#include <sys/stat.h>
#include <unistd.h>

struct kelb_module {
  void *dl = nullptr;
  kelb_host::module_info info;
};

namespace kelb_host {

namespace {

using mod_init_fn = void (*)(kelb_module_t);
using mod_fini_fn = void (*)(void);

// Far beyond any module; a file this large is refused rather than read.
constexpr off_t kMaxModuleFile = 64 << 20;

// The ELF class of the modules this host can load.
constexpr int kHostClass = sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32;

// The whole of the file at `path`, read without waiting on a FIFO or device.
// False with `error` set ("'PATH': reason").
bool read_file(const std::string &path, std::string &bytes, std::string &error, int &err) {
  err = 0;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    err = errno;
    error = "'" + path + "': " + strerror(err);
    return false;
  }
  struct stat st;
  bool ok = false;
  if (fstat(fd, &st) != 0) {
    err = errno;
    error = "'" + path + "': " + strerror(err);
  } else if (!S_ISREG(st.st_mode)) {
    error = "'" + path + "': not a regular file";
  } else if (st.st_size > kMaxModuleFile) {
    error = "'" + path + "': too large for a module (" + std::to_string(st.st_size) + " bytes)";
  } else {
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    ok = true;
    while (done < bytes.size()) {
      const ssize_t n =
          pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        err = n < 0 ? errno : 0;
        error = "'" + path + "': " + (n < 0 ? strerror(err) : "file shrank while read");
        ok = false;
        break;
      }
      done += static_cast<size_t>(n);
    }
  }
  close(fd);
  return ok;
}

// An ELF file held in memory, read through libelf. Every failure leaves a
// reason in `error`, without the file's name.
class elf_image {
 public:
  elf_image(const void *bytes, size_t size) : copy_(static_cast<const char *>(bytes), size) {}
  ~elf_image() {
    if (elf_) elf_end(elf_);
  }
  elf_image(const elf_image &) = delete;
  elf_image &operator=(const elf_image &) = delete;

  // Opens the image and finds its section names. False when it is not an
  // ELF file or its header or section table is damaged.
  bool open(std::string &error) {
    if (copy_.size() < SELFMAG || memcmp(copy_.data(), ELFMAG, SELFMAG) != 0) {
      error = "not an ELF file";
      return false;
    }
    if (elf_version(EV_CURRENT) == EV_NONE) return fail("libelf", error);
    // libelf may convert the image in place, so it gets our own copy.
    elf_ = elf_memory(copy_.data(), copy_.size());
    if (!elf_ || elf_kind(elf_) != ELF_K_ELF || gelf_getclass(elf_) == ELFCLASSNONE)
      return fail("damaged ELF header", error);
    GElf_Ehdr eh;
    if (!gelf_getehdr(elf_, &eh)) return fail("damaged ELF header", error);
    // A file cut short or whose table points nowhere is damaged, not merely
    // without sections.
    if (elf_getshdrnum(elf_, &count_) != 0) return fail("damaged section table", error);
    // libelf counts no sections at all when the table lies past the end.
    if (count_ == 0 && eh.e_shnum == 0) return true;  // no sections at all
    if (count_ == 0) {
      error = "section table lies outside the file";
      return false;
    }
    const size_t entry = gelf_fsize(elf_, ELF_T_SHDR, 1, EV_CURRENT);
    if (entry == 0 || eh.e_shentsize != entry) {
      error = "damaged section table (entries of " + std::to_string(eh.e_shentsize) + " bytes)";
      return false;
    }
    if (eh.e_shoff > copy_.size() || count_ > (copy_.size() - eh.e_shoff) / entry) {
      error = "section table lies outside the file";
      return false;
    }
    if (elf_getshdrstrndx(elf_, &names_) != 0 || names_ >= count_)
      return fail("damaged section table", error);
    return true;
  }

  int elf_class() const { return gelf_getclass(elf_); }

  // The bytes of the section called `name`. False when there is none
  // (`found` false) or it is damaged.
  bool section(const std::string &name, std::string &out, bool &found, std::string &error) {
    found = false;
    for (size_t i = 1; i < count_; i++) {
      Elf_Scn *scn = elf_getscn(elf_, i);
      GElf_Shdr sh;
      if (!scn || !gelf_getshdr(scn, &sh)) return fail("damaged section table", error);
      const char *n = elf_strptr(elf_, names_, sh.sh_name);
      if (!n) return fail("damaged section names", error);
      if (name != n) continue;
      found = true;
      Elf_Data *data = sh.sh_type == SHT_NOBITS ? nullptr : elf_getdata(scn, nullptr);
      if (!data || (!data->d_buf && data->d_size)) return fail("damaged section " + name, error);
      out.assign(static_cast<const char *>(data->d_buf), data->d_size);
      return true;
    }
    error = "no " + name + " section";
    return false;
  }

  // The global and weak dynamic symbols, defined and undefined.
  bool symbols(elf_symbols &out, std::string &error) {
    out = elf_symbols();
    // On SPARC a file declares the application registers it uses in
    // symbols of a type of their own (STT_SPARC_REGISTER): not names to
    // resolve, so neither imports nor exports.
    GElf_Ehdr eh;
    const bool sparc =
        gelf_getehdr(elf_, &eh) &&
        (eh.e_machine == EM_SPARC || eh.e_machine == EM_SPARCV9 || eh.e_machine == EM_SPARC32PLUS);
    for (size_t i = 1; i < count_; i++) {
      Elf_Scn *scn = elf_getscn(elf_, i);
      GElf_Shdr sh;
      if (!scn || !gelf_getshdr(scn, &sh)) return fail("damaged section table", error);
      if (sh.sh_type != SHT_DYNSYM) continue;
      const size_t entry = gelf_fsize(elf_, ELF_T_SYM, 1, EV_CURRENT);
      Elf_Data *data = elf_getdata(scn, nullptr);
      if (!data || entry == 0 || sh.sh_entsize != entry)
        return fail("damaged dynamic symbols", error);
      const size_t count = data->d_size / entry;
      for (size_t k = 1; k < count; k++) {
        GElf_Sym sym;
        if (!gelf_getsym(data, static_cast<int>(k), &sym))
          return fail("damaged dynamic symbols", error);
        const unsigned bind = GELF_ST_BIND(sym.st_info);
        if (bind != STB_GLOBAL && bind != STB_WEAK) continue;
        if (sparc && GELF_ST_TYPE(sym.st_info) == STT_SPARC_REGISTER) continue;
        const char *name = elf_strptr(elf_, sh.sh_link, sym.st_name);
        if (!name) return fail("damaged dynamic symbol names", error);
        (sym.st_shndx == SHN_UNDEF ? out.undefined : out.defined).push_back(name);
      }
      return true;
    }
    return true;  // no dynamic symbols at all
  }

 private:
  static bool fail(const std::string &what, std::string &error) {
    const int code = elf_errno();
    error = what;
    if (code != 0) {
      error += " (";
      error += elf_errmsg(code);
      error += ")";
    }
    return false;
  }

  std::string copy_;
  Elf *elf_ = nullptr;
  size_t count_ = 0;  // sections, the null section 0 included
  size_t names_ = 0;  // the section holding the section names
};

bool defines(const elf_symbols &syms, const char *name) {
  return std::find(syms.defined.begin(), syms.defined.end(), name) != syms.defined.end();
}

// What is missing from a registered map, or null when nothing is.
const char *incomplete(const kelb_partition_map *map) {
  if (!map->name || !*map->name) return "no name";
  if (!map->for_each_partition) return "no for_each_partition";
  if (!map->find_partition) return "no find_partition";
  if (!map->partition_name) return "no partition_name";
  return nullptr;
}

}  // namespace

namespace {

// Reads the module file at `path` and hands it, opened, to `use`, which
// returns false with the reason in `error`. Every failure names the file.
template <class Use>
bool with_elf_file(const std::string &path, std::string &error, Use use) {
  std::string bytes;
  int err;
  if (!read_file(path, bytes, error, err)) return false;
  elf_image elf(bytes.data(), bytes.size());
  if (elf.open(error) && use(elf)) return true;
  error = "'" + path + "': " + error;
  return false;
}

}  // namespace

bool read_elf_section(const std::string &path, const std::string &name, std::string &out,
                      std::string &error) {
  bool found;
  return with_elf_file(path, error,
                       [&](elf_image &elf) { return elf.section(name, out, found, error); });
}

bool read_elf_symbols(const std::string &path, elf_symbols &out, std::string &error) {
  return with_elf_file(path, error, [&](elf_image &elf) { return elf.symbols(out, error); });
}

namespace {

// inspect_module without the path: false with the reason in `error`.
bool check_module(const void *bytes, size_t size, std::string &name, std::string &error) {
  elf_image elf(bytes, size);
  if (!elf.open(error)) return false;
  if (elf.elf_class() != kHostClass) {
    error = std::string(elf.elf_class() == ELFCLASS32 ? "a 32-bit" : "a 64-bit") +
            " ELF file; this host loads " + (kHostClass == ELFCLASS64 ? "64-bit" : "32-bit") +
            " modules";
    return false;
  }
  std::string section;
  bool found;
  if (!elf.section(".modname", section, found, error)) return false;
  section.resize(strnlen(section.c_str(), section.size()));
  if (section.empty()) {
    error = "empty .modname section";
    return false;
  }
  elf_symbols syms;
  if (!elf.symbols(syms, error)) return false;
  if (!defines(syms, "kelb_mod_init") || !defines(syms, "kelb_mod_fini")) {
    error = "kelb_mod_init or kelb_mod_fini missing";
    return false;
  }
  name = section;
  return true;
}

}  // namespace

bool inspect_module(const void *bytes, size_t size, const std::string &path, std::string &name,
                    std::string &error) {
  if (check_module(bytes, size, name, error)) return true;
  error = "'" + path + "': " + error;
  return false;
}

kelb_module *load_module(const std::string &path) {
  std::string bytes, name, error;
  int err;
  if (!read_file(path, bytes, error, err)) {
    kelb_error(err == ENOENT || err == EACCES ? KELB_ERR_FILE_NOT_FOUND : KELB_ERR_BAD_MODULE,
               "cannot load module %s", error.c_str());
    return nullptr;
  }
  // Nothing of a file that fails these checks is mapped or run.
  if (!inspect_module(bytes.data(), bytes.size(), path, name, error)) {
    kelb_error(KELB_ERR_BAD_MODULE, "cannot load module %s", error.c_str());
    return nullptr;
  }

  // RTLD_NOW: a module calling a service the host lacks fails here, not in
  // the middle of a walk.
  void *dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!dl) {
    kelb_error(KELB_ERR_BAD_MODULE, "cannot load module '%s': %s", path.c_str(), dlerror());
    return nullptr;
  }
  auto init = reinterpret_cast<mod_init_fn>(dlsym(dl, "kelb_mod_init"));
  auto fini = reinterpret_cast<mod_fini_fn>(dlsym(dl, "kelb_mod_fini"));
  if (!init || !fini) {
    dlclose(dl);
    kelb_error(KELB_ERR_BAD_MODULE,
               "cannot load module '%s': kelb_mod_init or kelb_mod_fini missing", path.c_str());
    return nullptr;
  }

  kelb_module *m = new kelb_module();
  m->dl = dl;
  m->info.path = path;
  m->info.name = name;
  std::vector<kelb_partition_map *> before;
  for (kelb_partition_map *p = maps(); p; p = p->next) before.push_back(p);
  init(m);
  for (kelb_partition_map *p = maps(); p; p = p->next)
    if (std::find(before.begin(), before.end(), p) == before.end()) m->info.maps.push_back(p);

  // A map with a slot missing would crash whoever calls it: refused before
  // any of its operations runs.
  for (const kelb_partition_map *map : m->info.maps) {
    if (const char *missing = incomplete(map)) {
      const std::string label = map->name && *map->name
                                    ? "partition map '" + std::string(map->name) + "'"
                                    : std::string("a partition map");
      kelb_error(KELB_ERR_BAD_MODULE, "cannot load module '%s': %s with %s", path.c_str(),
                 label.c_str(), missing);
      const std::string message = error_message();
      unload_module(m);
      kelb_error(KELB_ERR_BAD_MODULE, "%s", message.c_str());
      return nullptr;
    }
  }
  return m;
}

void unload_module(kelb_module *module) {
  if (!module) return;
  auto fini = reinterpret_cast<mod_fini_fn>(dlsym(module->dl, "kelb_mod_fini"));
  if (fini) fini();
  // A map left in the list would point into unmapped memory after dlclose.
  for (kelb_partition_map *map : module->info.maps) kelb_partition_map_unregister(map);
  dlclose(module->dl);
  delete module;
}

const module_info &module_of(const kelb_module *module) { return module->info; }

std::vector<std::string> module_files(const std::string &dir) {
  std::vector<std::string> files;
  DIR *d = opendir(dir.c_str());
  if (!d) return files;
  while (const dirent *e = readdir(d)) {
    const std::string n = e->d_name;
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".mod") == 0) files.push_back(dir + "/" + n);
  }
  closedir(d);
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> default_module_dirs() {
  std::vector<std::string> dirs;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return dirs;
  self[n] = '\0';
  std::string dir(self);
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
