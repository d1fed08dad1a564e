// Module loading (dlopen, kelb_mod_init, kelb_mod_fini, dlclose) and the
// small ELF reader that finds a module's name and its dynamic symbols.

#include "kelb_host.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fstream>
#include <iterator>
#include <unistd.h>

struct kelb_module {
  void *dl = nullptr;
  kelb_host::module_info info;
};

namespace kelb_host {

namespace {

using mod_init_fn = void (*)(kelb_module_t);
using mod_fini_fn = void (*)(void);

struct elf_file {
  std::string bytes;
  const Elf64_Ehdr *eh = nullptr;

  bool load(const std::string &path, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      error = "cannot open '" + path + "': " + strerror(errno);
      return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (bytes.size() < sizeof(Elf64_Ehdr) || memcmp(bytes.data(), ELFMAG, SELFMAG) != 0 ||
        bytes[EI_CLASS] != ELFCLASS64) {
      error = "'" + path + "' is not a 64-bit ELF file";
      return false;
    }
    eh = reinterpret_cast<const Elf64_Ehdr *>(bytes.data());
    if (eh->e_shentsize != sizeof(Elf64_Shdr) || eh->e_shoff > bytes.size() ||
        eh->e_shnum > (bytes.size() - eh->e_shoff) / sizeof(Elf64_Shdr)) {
      error = "'" + path + "' has a damaged section table";
      return false;
    }
    return true;
  }

  const Elf64_Shdr *section(size_t i) const {
    if (i >= eh->e_shnum)
      return nullptr;
    return reinterpret_cast<const Elf64_Shdr *>(bytes.data() + eh->e_shoff) + i;
  }

  bool contents(const Elf64_Shdr *sh, const char **data, size_t *size) const {
    if (sh->sh_type == SHT_NOBITS || sh->sh_offset > bytes.size() ||
        sh->sh_size > bytes.size() - sh->sh_offset)
      return false;
    *data = bytes.data() + sh->sh_offset;
    *size = sh->sh_size;
    return true;
  }

  // A NUL-terminated string at `off` of a string table, or "".
  std::string str(const Elf64_Shdr *table, size_t off) const {
    const char *data;
    size_t size;
    if (!table || !contents(table, &data, &size) || off >= size)
      return std::string();
    return std::string(data + off, strnlen(data + off, size - off));
  }
};

} // namespace

bool read_elf_section(const std::string &path, const std::string &name,
                      std::string &out, std::string &error) {
  elf_file f;
  if (!f.load(path, error))
    return false;
  const Elf64_Shdr *names = f.section(f.eh->e_shstrndx);
  for (size_t i = 0; i < f.eh->e_shnum; i++) {
    const Elf64_Shdr *sh = f.section(i);
    if (f.str(names, sh->sh_name) != name)
      continue;
    const char *data;
    size_t size;
    if (!f.contents(sh, &data, &size)) {
      error = "section " + name + " of '" + path + "' is damaged";
      return false;
    }
    out.assign(data, size);
    return true;
  }
  error = "'" + path + "' has no " + name + " section";
  return false;
}

bool read_elf_symbols(const std::string &path, elf_symbols &out,
                      std::string &error) {
  elf_file f;
  if (!f.load(path, error))
    return false;
  out = elf_symbols();
  for (size_t i = 0; i < f.eh->e_shnum; i++) {
    const Elf64_Shdr *sh = f.section(i);
    if (sh->sh_type != SHT_DYNSYM)
      continue;
    const char *data;
    size_t size;
    if (!f.contents(sh, &data, &size) || sh->sh_entsize != sizeof(Elf64_Sym)) {
      error = "the dynamic symbols of '" + path + "' are damaged";
      return false;
    }
    const Elf64_Shdr *strtab = f.section(sh->sh_link);
    const Elf64_Sym *syms = reinterpret_cast<const Elf64_Sym *>(data);
    for (size_t k = 1; k < size / sizeof(Elf64_Sym); k++) {
      const unsigned bind = ELF64_ST_BIND(syms[k].st_info);
      if (bind != STB_GLOBAL && bind != STB_WEAK)
        continue;
      std::string sym = f.str(strtab, syms[k].st_name);
      if (syms[k].st_shndx == SHN_UNDEF)
        out.undefined.push_back(sym);
      else
        out.defined.push_back(sym);
    }
    return true;
  }
  return true; // no dynamic symbols at all
}

kelb_module *load_module(const std::string &path) {
  if (access(path.c_str(), R_OK) != 0) {
    kelb_error(KELB_ERR_FILE_NOT_FOUND, "cannot load module '%s': %s",
               path.c_str(), strerror(errno));
    return nullptr;
  }
  std::string name, error;
  if (!read_elf_section(path, ".modname", name, error)) {
    kelb_error(KELB_ERR_BAD_MODULE, "cannot load module: %s", error.c_str());
    return nullptr;
  }
  name.resize(strnlen(name.c_str(), name.size()));
  if (name.empty()) {
    kelb_error(KELB_ERR_BAD_MODULE, "cannot load module '%s': empty name",
               path.c_str());
    return nullptr;
  }

  // RTLD_NOW: a module calling a service the host lacks fails here, not in
  // the middle of a walk.
  void *dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!dl) {
    kelb_error(KELB_ERR_BAD_MODULE, "cannot load module '%s': %s", path.c_str(),
               dlerror());
    return nullptr;
  }
  auto init = reinterpret_cast<mod_init_fn>(dlsym(dl, "kelb_mod_init"));
  auto fini = reinterpret_cast<mod_fini_fn>(dlsym(dl, "kelb_mod_fini"));
  if (!init || !fini) {
    dlclose(dl);
    kelb_error(KELB_ERR_BAD_MODULE,
               "cannot load module '%s': kelb_mod_init or kelb_mod_fini missing",
               path.c_str());
    return nullptr;
  }

  kelb_module *m = new kelb_module();
  m->dl = dl;
  m->info.path = path;
  m->info.name = name;
  std::vector<kelb_partition_map *> before;
  for (kelb_partition_map *p = maps(); p; p = p->next)
    before.push_back(p);
  init(m);
  for (kelb_partition_map *p = maps(); p; p = p->next)
    if (std::find(before.begin(), before.end(), p) == before.end())
      m->info.maps.push_back(p);
  return m;
}

void unload_module(kelb_module *module) {
  if (!module)
    return;
  auto fini = reinterpret_cast<mod_fini_fn>(dlsym(module->dl, "kelb_mod_fini"));
  if (fini)
    fini();
  // A map left in the list would point into unmapped memory after dlclose.
  for (kelb_partition_map *map : module->info.maps)
    kelb_partition_map_unregister(map);
  dlclose(module->dl);
  delete module;
}

const module_info &module_of(const kelb_module *module) { return module->info; }

std::vector<std::string> module_files(const std::string &dir) {
  std::vector<std::string> files;
  DIR *d = opendir(dir.c_str());
  if (!d)
    return files;
  while (const dirent *e = readdir(d)) {
    const std::string n = e->d_name;
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".mod") == 0)
      files.push_back(dir + "/" + n);
  }
  closedir(d);
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> default_module_dirs() {
  std::vector<std::string> dirs;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0)
    return dirs;
  self[n] = '\0';
  std::string dir(self);
  dir.erase(dir.find_last_of('/'));
#ifdef KELB_INSTALLED_MODULE_DIR
  // Installed: bin/kelb-probe finds lib/kelb (or the multiarch library
  // folder) through the path between the two, whatever the prefix.
  dirs.push_back(dir + "/" KELB_INSTALLED_MODULE_DIR);
#endif
  dirs.push_back(dir);
  dirs.push_back(dir + "/../partmap");
#if defined(KELB_BUILD_MODULE_DIR) && defined(KELB_BUILD_ROOT)
  // The build tree's modules serve only programs built and run in that tree;
  // an installed copy must not pick up a stale build lying elsewhere.
  const std::string root = KELB_BUILD_ROOT "/";
  if (dir.compare(0, root.size(), root) == 0)
    dirs.push_back(KELB_BUILD_MODULE_DIR);
#endif
  return dirs;
}

} // namespace kelb_host
