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
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef MFD_EXEC  // Linux 6.3; older C libraries lack the name
#define MFD_EXEC 0x0010U
#endif

struct kelb_module {
  void *dl = nullptr;
  // The module file, held open so that no other file takes its device and
  // inode while it is loaded: those say whether a path names a loaded file.
  int file_fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  // The sealed copy dlopen mapped, held open so that its name
  // /proc/self/fd/N, which the dynamic loader keeps, is this module's alone.
  int copy_fd = -1;
  unsigned loads = 1;  // load_module calls not yet given back
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

// A module file read whole through one descriptor, which stays open.
struct module_file {
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  std::string bytes;

  module_file() = default;
  module_file(const module_file &) = delete;
  module_file &operator=(const module_file &) = delete;
  ~module_file() {
    if (fd >= 0) close(fd);
  }
};

// Opens the file at `path` without waiting on a FIFO or device and reads it
// whole. False with `error` set ("'PATH': reason") and `err` the system's
// code, or 0.
bool read_file(const std::string &path, module_file &file, std::string &error, int &err) {
  err = 0;
  file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (file.fd < 0) {
    err = errno;
    error = "'" + path + "': " + strerror(err);
    return false;
  }
  struct stat st;
  if (fstat(file.fd, &st) != 0) {
    err = errno;
    error = "'" + path + "': " + strerror(err);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "'" + path + "': not a regular file";
    return false;
  }
  if (st.st_size > kMaxModuleFile) {
    error = "'" + path + "': too large for a module (" + std::to_string(st.st_size) + " bytes)";
    return false;
  }
  file.dev = st.st_dev;
  file.ino = st.st_ino;
  file.bytes.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < file.bytes.size()) {
    const ssize_t n = pread(file.fd, file.bytes.data() + done, file.bytes.size() - done,
                            static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : 0;
      error = "'" + path + "': " + (n < 0 ? strerror(err) : "file shrank while read");
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
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
    machine_ = eh.e_machine;
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
  int byte_order() const { return static_cast<unsigned char>(copy_[EI_DATA]); }
  int machine() const { return machine_; }

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
    std::vector<symbol> all;
    if (!dynamic_symbols(all, error)) return false;
    for (const symbol &s : all)
      (s.sym.st_shndx == SHN_UNDEF ? out.undefined : out.defined).push_back(s.name);
    return true;
  }

  // Whether every definition of `name` among the dynamic symbols is a
  // function lying within an executable section, which is what the loader
  // may call. False with the reason in `error` when one is not, or when
  // there is none.
  bool entry_point(const char *name, std::string &error) {
    std::vector<symbol> all;
    if (!dynamic_symbols(all, error)) return false;
    bool found = false;
    for (const symbol &s : all) {
      if (s.name != name || s.sym.st_shndx == SHN_UNDEF) continue;
      found = true;
      const unsigned type = GELF_ST_TYPE(s.sym.st_info);
      if (type != STT_FUNC) {
        error = std::string(name) + " is " + symbol_kind(type) + ", not a function";
        return false;
      }
      // Reserved indices (absolute, common, extended) name no section here.
      Elf_Scn *scn = s.sym.st_shndx < SHN_LORESERVE ? elf_getscn(elf_, s.sym.st_shndx) : nullptr;
      GElf_Shdr sh;
      if (!scn || !gelf_getshdr(scn, &sh)) {
        error = std::string(name) + " lies in no section of the file";
        return false;
      }
      const char *section = elf_strptr(elf_, names_, sh.sh_name);
      const std::string label =
          section && *section ? section : "section " + std::to_string(s.sym.st_shndx);
      if (sh.sh_type == SHT_NOBITS ||
          (sh.sh_flags & (SHF_ALLOC | SHF_EXECINSTR)) != (SHF_ALLOC | SHF_EXECINSTR)) {
        error = std::string(name) + " lies in " + label + ", which is not executable";
        return false;
      }
      if (s.sym.st_value < sh.sh_addr || s.sym.st_value - sh.sh_addr >= sh.sh_size) {
        error = std::string(name) + " lies outside its section " + label;
        return false;
      }
    }
    if (!found) error = std::string(name) + " missing";
    return found;
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

  // A global or weak dynamic symbol.
  struct symbol {
    std::string name;
    GElf_Sym sym;
  };

  bool dynamic_symbols(std::vector<symbol> &out, std::string &error) {
    out.clear();
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
        out.push_back({name, sym});
      }
      return true;
    }
    return true;  // no dynamic symbols at all
  }

  static std::string symbol_kind(unsigned type) {
    switch (type) {
      case STT_NOTYPE:
        return "a symbol without a type";
      case STT_OBJECT:
        return "a data object";
      case STT_TLS:
        return "thread-local data";
      case STT_GNU_IFUNC:
        return "an indirect function";
      default:
        return "a symbol of type " + std::to_string(type);
    }
  }

  std::string copy_;
  Elf *elf_ = nullptr;
  int machine_ = EM_NONE;
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
  module_file file;
  int err;
  if (!read_file(path, file, error, err)) return false;
  elf_image elf(file.bytes.data(), file.bytes.size());
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

// The ELF header of the running program (defined by the linker), declared
// without a size so that the compiler takes no length for it.
extern "C" const unsigned char __ehdr_start[];

namespace {

constexpr int kHostByteOrder =
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;

// The machine (e_machine) of the running program, which is the machine of
// every module it can load: read from its own ELF header, which the linker
// places in memory and names __ehdr_start (so it holds under an emulator,
// where /proc/self/exe may be the emulator's or unreadable).
int host_machine() {
  return __ehdr_start[EI_CLASS] == ELFCLASS64
             ? reinterpret_cast<const Elf64_Ehdr *>(__ehdr_start)->e_machine
             : reinterpret_cast<const Elf32_Ehdr *>(__ehdr_start)->e_machine;
}

std::string machine_name(int machine) {
  static const struct {
    int machine;
    const char *name;
  } kNames[] = {{EM_386, "i386"},        {EM_X86_64, "x86-64"},      {EM_ARM, "ARM"},
                {EM_AARCH64, "AArch64"}, {EM_RISCV, "RISC-V"},       {EM_PPC, "PowerPC"},
                {EM_PPC64, "PowerPC64"}, {EM_S390, "S/390"},         {EM_MIPS, "MIPS"},
                {EM_SPARC, "SPARC"},     {EM_SPARCV9, "SPARC V9"},   {EM_IA_64, "IA-64"},
                {EM_68K, "m68k"},        {EM_SH, "SuperH"},          {EM_PARISC, "PA-RISC"},
                {EM_ALPHA, "Alpha"},     {EM_LOONGARCH, "LoongArch"}};
  for (const auto &k : kNames)
    if (k.machine == machine) return k.name;
  return "machine " + std::to_string(machine);
}

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
  if (elf.byte_order() != kHostByteOrder) {
    const auto order = [](int data) {
      return data == ELFDATA2MSB ? "big-endian" : "little-endian";
    };
    error = std::string("a ") + order(elf.byte_order()) + " ELF file; this host loads " +
            order(kHostByteOrder) + " modules";
    return false;
  }
  const int host = host_machine();
  if (elf.machine() != host) {
    error = "built for " + machine_name(elf.machine()) + "; this host loads " + machine_name(host) +
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
  // The loader calls these two: data under their names would be run as code.
  if (!elf.entry_point("kelb_mod_init", error) || !elf.entry_point("kelb_mod_fini", error))
    return false;
  name = section;
  return true;
}

// Every module loaded and not yet unloaded, in load order.
std::vector<kelb_module *> g_loaded;

// A sealed in-memory file holding `bytes`, its name `label` (what
// /proc/self/maps shows): no one can change, grow or shrink it. -1 with
// `error` set on failure.
int sealed_copy(const std::string &bytes, const std::string &label, std::string &error) {
  // Where memfd files are made non-executable unless asked, the copy must
  // say it is code; kernels that predate the flag refuse it.
  int fd = memfd_create(label.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING | MFD_EXEC);
  if (fd < 0 && errno == EINVAL) fd = memfd_create(label.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) {
    error = std::string("cannot make an in-memory copy: ") + strerror(errno);
    return -1;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = std::string("cannot make an in-memory copy: ") + strerror(n < 0 ? errno : EIO);
      close(fd);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  if (fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    error = std::string("cannot seal the in-memory copy: ") + strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
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

}  // namespace

bool inspect_module(const void *bytes, size_t size, const std::string &path, std::string &name,
                    std::string &error) {
  if (check_module(bytes, size, name, error)) return true;
  error = "'" + path + "': " + error;
  return false;
}

kelb_module *load_module(const std::string &path) {
  module_file file;
  std::string name, error;
  int err;
  if (!read_file(path, file, error, err)) {
    kelb_error(err == ENOENT || err == EACCES ? KELB_ERR_FILE_NOT_FOUND : KELB_ERR_BAD_MODULE,
               "cannot load module %s", error.c_str());
    return nullptr;
  }
  for (kelb_module *m : g_loaded) {
    if (m->dev == file.dev && m->ino == file.ino) {  // the same file by another name
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
  const std::string base = path.substr(path.find_last_of('/') + 1);
  const int copy = sealed_copy(file.bytes, base.substr(0, 200), error);
  if (copy < 0) {
    kelb_error(KELB_ERR_BAD_MODULE, "cannot load module '%s': %s", path.c_str(), error.c_str());
    return nullptr;
  }
  const std::string opened = "/proc/self/fd/" + std::to_string(copy);
  // The dynamic loader knows objects by the name they were opened with; one
  // still mapped under this name would be handed back instead of the copy.
  if (void *stale = dlopen(opened.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    dlclose(stale);
    close(copy);
    kelb_error(KELB_ERR_BAD_MODULE, "cannot load module '%s': %s names an object still loaded",
               path.c_str(), opened.c_str());
    return nullptr;
  }
  // RTLD_NOW: a module calling a service the host lacks fails here, not in
  // the middle of a walk.
  void *dl = dlopen(opened.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!dl) {
    const std::string why = load_error(opened);
    close(copy);
    kelb_error(KELB_ERR_BAD_MODULE, "cannot load module '%s': %s", path.c_str(), why.c_str());
    return nullptr;
  }
  auto init = reinterpret_cast<mod_init_fn>(dlsym(dl, "kelb_mod_init"));
  auto fini = reinterpret_cast<mod_fini_fn>(dlsym(dl, "kelb_mod_fini"));
  if (!init || !fini) {
    dlclose(dl);
    close(copy);
    kelb_error(KELB_ERR_BAD_MODULE,
               "cannot load module '%s': kelb_mod_init or kelb_mod_fini missing", path.c_str());
    return nullptr;
  }

  kelb_module *m = new kelb_module();
  m->dl = dl;
  m->copy_fd = copy;
  m->file_fd = file.fd;
  file.fd = -1;
  m->dev = file.dev;
  m->ino = file.ino;
  m->info.path = path;
  m->info.name = name;
  std::vector<kelb_partition_map *> before;
  for (kelb_partition_map *p = maps(); p; p = p->next) before.push_back(p);
  init(m);
  for (kelb_partition_map *p = maps(); p; p = p->next)
    if (std::find(before.begin(), before.end(), p) == before.end()) m->info.maps.push_back(p);

  std::string why;
  kelb_err_t code;
  if (refused(m, why, code)) {
    unload_module(m);
    kelb_error(code, "cannot load module '%s': %s", path.c_str(), why.c_str());
    return nullptr;
  }
  g_loaded.push_back(m);
  kelb_real_dprintf("host/modules", __LINE__, "modules", "module '%s' loaded from '%s'\n",
                    name.c_str(), path.c_str());
  return m;
}

void unload_module(kelb_module *module) {
  if (!module || --module->loads > 0) return;
  auto fini = reinterpret_cast<mod_fini_fn>(dlsym(module->dl, "kelb_mod_fini"));
  if (fini) fini();
  // A map left in the list would point into unmapped memory after dlclose.
  for (kelb_partition_map *map : module->info.maps) kelb_partition_map_unregister(map);
  dlclose(module->dl);
  close(module->copy_fd);
  close(module->file_fd);
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
