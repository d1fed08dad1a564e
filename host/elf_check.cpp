// SPDX-License-Identifier: MIT
// The checks made on a module file before anything of it is mapped, on what
// the dynamic loader will use (host/elf_image.h): the build it was made for,
// its segments, what it imports and its entry points.

#include "host/elf_image.h"
#include "host/kelb_host.h"

#include <cstring>
#include <elf.h>
#include <link.h>

namespace kelb_host {

namespace {

constexpr int kHostClass = sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32;
constexpr int kHostByteOrder =
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;

// The services the boot loader offers its modules: the kelb_ names of
// partmap/kelb.h, and the four memory functions compilers emit calls to even
// in freestanding code.
const char *const kLoaderServices[] = {"kelb_disk_read",
                                       "kelb_malloc",
                                       "kelb_free",
                                       "kelb_error",
                                       "kelb_errno",
                                       "kelb_strtoul",
                                       "kelb_sprintf",
                                       "kelb_memmove",
                                       "kelb_strcmp",
                                       "kelb_real_dprintf",
                                       "kelb_partition_map_register",
                                       "kelb_partition_map_unregister",
                                       "memcpy",
                                       "memmove",
                                       "memset",
                                       "memcmp"};

// The ELF header of the running program, of the host's own class (defined
// by the linker).
extern "C" const ElfW(Ehdr) __ehdr_start;

// The machine (e_machine) of the running program, which is the machine of
// every module it can load: read from its own ELF header, which the linker
// places in memory (so it holds under an emulator, where /proc/self/exe may
// be the emulator's or unreadable).
int host_machine() { return __ehdr_start.e_machine; }

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

// "MACHINE (32-bit, big-endian)".
std::string build_name(int machine, int elf_class, int order) {
  return machine_name(machine) + " (" + (elf_class == ELFCLASS64 ? "64-bit" : "32-bit") + ", " +
         (order == ELFDATA2MSB ? "big-endian" : "little-endian") + ")";
}

// Whether the module was built for this host's machine, class and byte
// order; the refusal names the machine it was built for.
bool same_build(const elf_image &elf, std::string &error) {
  const int host = host_machine();
  if (elf.machine() == host && elf.elf_class() == kHostClass && elf.byte_order() == kHostByteOrder)
    return true;
  const std::string theirs = build_name(elf.machine(), elf.elf_class(), elf.byte_order());
  const std::string ours = build_name(host, kHostClass, kHostByteOrder);
  // The host's own class and byte order only where the machines' names alone
  // would read the same.
  error = "built for " + theirs + "; this host loads " +
          (elf.machine() == host ? ours : machine_name(host)) + " modules";
  return false;
}

// What a module imports and exports, judged on the symbols the loader uses.
bool check_symbols(const elf_image &elf, std::string &error) {
  if (!elf.needed().empty()) {
    error = "it needs the library '" + elf.needed().front() + "'; a module links against nothing";
    return false;
  }
  if (elf.text_relocations()) {
    error = "it has text relocations (its code would be made writable)";
    return false;
  }
  for (const dynamic_symbol &s : elf.symbols()) {
    if (s.sym.st_shndx != SHN_UNDEF || is_loader_service(s.name)) continue;
    error = "it imports '" + s.name + "', which the boot loader does not offer";
    return false;
  }
  // The loader calls these two: data under their names would be run as code.
  return elf.entry_point("kelb_mod_init", error) && elf.entry_point("kelb_mod_fini", error);
}

// inspect_module without the path: false with the reason in `error`.
bool check_module(const void *bytes, size_t size, std::string &name, std::string &error) {
  elf_image elf(bytes, size);
  if (!elf.open(error) || !same_build(elf, error)) return false;
  if (!elf.segments(error) || !elf.read_dynamic(error)) return false;
  std::string section;
  if (!elf.section(".modname", section, error)) return false;
  section.resize(strnlen(section.c_str(), section.size()));
  if (section.empty()) {
    error = "empty .modname section";
    return false;
  }
  if (!check_symbols(elf, error)) return false;
  name = section;
  return true;
}

}  // namespace

bool is_loader_service(const std::string &name) {
  for (const char *s : kLoaderServices)
    if (name == s) return true;
#ifdef KELB_HOST_SANITIZED
  // An instrumented module calls its sanitizer's runtime, which this
  // instrumented host carries.
  for (const char *prefix : {"__asan_", "__ubsan_", "__sanitizer_", "__sancov_"})
    if (name.rfind(prefix, 0) == 0) return true;
#endif
  return false;
}

bool inspect_module(const void *bytes, size_t size, const std::string &path, std::string &name,
                    std::string &error) {
  if (check_module(bytes, size, name, error)) return true;
  error = "'" + path + "': " + error;
  return false;
}

}  // namespace kelb_host
