// SPDX-License-Identifier: MIT
// Reading a module file's ELF image as the dynamic loader does.

#include "host/elf_image.h"

#include <cstring>
#include <elf.h>

namespace kelb_host {

namespace {

std::string hex(uint64_t v) {
  char text[24];
  snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
  return text;
}

std::string symbol_kind(unsigned type) {
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

// Whether the machine's ABI puts the procedure linkage table, which the
// dynamic loader writes, among the data and runs it there: SPARC's does, so
// its loader maps every module's data segment writable and executable.
bool plt_in_data(unsigned machine) {
  return machine == EM_SPARC || machine == EM_SPARC32PLUS || machine == EM_SPARCV9;
}

}  // namespace

bool elf_image::segments(std::string &error) {
  if (eh_.e_type != ET_DYN) return refuse("not a shared object", error);
  size_t n = 0;
  if (elf_getphdrnum(elf_, &n) != 0) return fail("damaged program headers", error);
  if (n == 0) return refuse("no program headers", error);
  const size_t entry = gelf_fsize(elf_, ELF_T_PHDR, 1, EV_CURRENT);
  if (eh_.e_phentsize != entry || eh_.e_phoff > copy_.size() ||
      n > (copy_.size() - eh_.e_phoff) / entry)
    return refuse("program headers lie outside the file", error);
  bool dynamic = false;
  std::vector<size_t> writable_code;  // program header numbers
  for (size_t i = 0; i < n; i++) {
    GElf_Phdr p;
    if (!gelf_getphdr(elf_, static_cast<int>(i), &p)) return fail("damaged program headers", error);
    const std::string which = "segment " + std::to_string(i);
    if (p.p_type == PT_GNU_STACK && (p.p_flags & PF_X))
      return refuse("it asks for an executable stack", error);
    if (p.p_type == PT_DYNAMIC) {
      dynamic_ = p;
      dynamic = true;
    }
    if (p.p_type != PT_LOAD) continue;
    if (p.p_offset > copy_.size() || p.p_filesz > copy_.size() - p.p_offset)
      return refuse(which + " (offset " + hex(p.p_offset) + ", " + std::to_string(p.p_filesz) +
                        " bytes) lies outside the file (" + std::to_string(copy_.size()) +
                        " bytes)",
                    error);
    if (p.p_filesz > p.p_memsz)
      return refuse(which + " is larger in the file than in memory", error);
    if ((p.p_flags & (PF_W | PF_X)) == (PF_W | PF_X)) {
      if (!plt_in_data(eh_.e_machine))
        return refuse(which + " is both writable and executable", error);
      writable_code.push_back(i);
    }
    loads_.push_back(p);
  }
  if (loads_.empty()) return refuse("no loadable segment", error);
  if (!dynamic) return refuse("no dynamic segment", error);
  // Where the ABI wants it, one writable and executable segment: the data
  // segment, which holds the dynamic section beside the linkage table.
  for (const size_t i : writable_code) {
    GElf_Phdr p;
    gelf_getphdr(elf_, static_cast<int>(i), &p);
    if (dynamic_.p_vaddr < p.p_vaddr || dynamic_.p_vaddr - p.p_vaddr >= p.p_filesz)
      return refuse("segment " + std::to_string(i) + " is both writable and executable", error);
  }
  uint64_t offset;
  if (!file_offset(dynamic_.p_vaddr, dynamic_.p_filesz, offset) || offset != dynamic_.p_offset)
    return refuse("the dynamic segment lies outside the loaded segments", error);
  return true;
}

bool elf_image::open(std::string &error) {
  if (copy_.size() < SELFMAG || memcmp(copy_.data(), ELFMAG, SELFMAG) != 0) {
    error = "not an ELF file";
    return false;
  }
  if (elf_version(EV_CURRENT) == EV_NONE) return fail("libelf", error);
  // libelf may convert the image in place, so it gets our own copy.
  elf_ = elf_memory(copy_.data(), copy_.size());
  if (!elf_ || elf_kind(elf_) != ELF_K_ELF || gelf_getclass(elf_) == ELFCLASSNONE)
    return fail("damaged ELF header", error);
  if (!gelf_getehdr(elf_, &eh_)) return fail("damaged ELF header", error);
  // A file cut short or whose table points nowhere is damaged, not merely
  // without sections.
  if (elf_getshdrnum(elf_, &count_) != 0) return fail("damaged section table", error);
  // libelf counts no sections at all when the table lies past the end.
  if (count_ == 0 && eh_.e_shnum == 0) return true;  // no sections at all
  if (count_ == 0) return refuse("section table lies outside the file", error);
  const size_t entry = gelf_fsize(elf_, ELF_T_SHDR, 1, EV_CURRENT);
  if (entry == 0 || eh_.e_shentsize != entry)
    return refuse(
        "damaged section table (entries of " + std::to_string(eh_.e_shentsize) + " bytes)", error);
  if (eh_.e_shoff > copy_.size() || count_ > (copy_.size() - eh_.e_shoff) / entry)
    return refuse("section table lies outside the file", error);
  if (elf_getshdrstrndx(elf_, &names_) != 0 || names_ >= count_)
    return fail("damaged section table", error);
  return true;
}

bool elf_image::section(const std::string &name, std::string &out, std::string &error) {
  for (size_t i = 1; i < count_; i++) {
    Elf_Scn *scn = elf_getscn(elf_, i);
    GElf_Shdr sh;
    if (!scn || !gelf_getshdr(scn, &sh)) return fail("damaged section table", error);
    const char *n = elf_strptr(elf_, names_, sh.sh_name);
    if (!n) return fail("damaged section names", error);
    if (name != n) continue;
    Elf_Data *data = sh.sh_type == SHT_NOBITS ? nullptr : elf_getdata(scn, nullptr);
    if (!data || (!data->d_buf && data->d_size)) return fail("damaged section " + name, error);
    out.assign(static_cast<const char *>(data->d_buf), data->d_size);
    return true;
  }
  return refuse("no " + name + " section", error);
}

bool elf_image::refuse(const std::string &why, std::string &error) {
  error = why;
  return false;
}

bool elf_image::fail(const std::string &what, std::string &error) {
  const int code = elf_errno();
  error = what;
  if (code != 0) error += std::string(" (") + elf_errmsg(code) + ")";
  return false;
}

bool elf_image::file_offset(uint64_t addr, uint64_t size, uint64_t &offset) const {
  for (const GElf_Phdr &p : loads_) {
    if (addr < p.p_vaddr || addr - p.p_vaddr > p.p_filesz || size > p.p_filesz - (addr - p.p_vaddr))
      continue;
    offset = p.p_offset + (addr - p.p_vaddr);
    return true;
  }
  return false;
}

uint64_t elf_image::room(uint64_t addr) const {
  for (const GElf_Phdr &p : loads_)
    if (addr >= p.p_vaddr && addr - p.p_vaddr < p.p_filesz) return p.p_filesz - (addr - p.p_vaddr);
  return 0;
}

Elf_Data *elf_image::chunk(uint64_t addr, uint64_t count, Elf_Type type) {
  const size_t each = gelf_fsize(elf_, type, 1, EV_CURRENT);
  uint64_t offset;
  if (each == 0 || count > copy_.size() / each || !file_offset(addr, count * each, offset))
    return nullptr;
  return elf_getdata_rawchunk(elf_, static_cast<int64_t>(offset), count * each, type);
}

bool dynamic_info::note_relocations(int64_t tag, uint64_t v) {
  switch (tag) {
    case DT_RELA:
      rela.addr = v, rela.present = true;
      return true;
    case DT_RELASZ:
      rela.size = v;
      return true;
    case DT_REL:
      rel.addr = v, rel.present = true, rel.rela = false;
      return true;
    case DT_RELSZ:
      rel.size = v;
      return true;
    case DT_JMPREL:
      plt.addr = v, plt.present = true;
      return true;
    case DT_PLTRELSZ:
      plt.size = v;
      return true;
    case DT_PLTREL:
      plt.rela = v == DT_RELA;
      return true;
    default:
      return false;
  }
}

void dynamic_info::note(int64_t tag, uint64_t v) {
  if (note_relocations(tag, v)) return;
  switch (tag) {
    case DT_NEEDED:
      needed.push_back(v);
      break;
    case DT_SYMTAB:
      symtab = v, has_symtab = true;
      break;
    case DT_STRTAB:
      strtab = v, has_strtab = true;
      break;
    case DT_STRSZ:
      strsz = v;
      break;
    case DT_SYMENT:
      syment = v;
      break;
    case DT_HASH:
      hash = v, has_hash = true;
      break;
    case DT_GNU_HASH:
      gnu_hash = v, has_gnu_hash = true;
      break;
    case DT_TEXTREL:
      textrel = true;
      break;
    case DT_FLAGS:
      if (v & DF_TEXTREL) textrel = true;
      break;
    default:
      break;
  }
}

bool elf_image::dynamic_entries(std::string &error) {
  const size_t each = gelf_fsize(elf_, ELF_T_DYN, 1, EV_CURRENT);
  Elf_Data *d = chunk(dynamic_.p_vaddr, dynamic_.p_filesz / each, ELF_T_DYN);
  if (!d) return fail("damaged dynamic section", error);
  const size_t n = dynamic_.p_filesz / each;
  size_t i = 0;
  for (; i < n; i++) {
    GElf_Dyn e;
    if (!gelf_getdyn(d, static_cast<int>(i), &e)) return fail("damaged dynamic section", error);
    const uint64_t v = e.d_un.d_val;
    if (e.d_tag == DT_NULL) break;
    dyn_.note(e.d_tag, v);
  }
  if (i == n) return refuse("damaged dynamic section (no end)", error);
  if (!dyn_.has_symtab || !dyn_.has_strtab)
    return refuse("no dynamic symbol table in the dynamic section", error);
  if (dyn_.syment != gelf_fsize(elf_, ELF_T_SYM, 1, EV_CURRENT))
    return refuse("damaged dynamic symbols (entries of " + std::to_string(dyn_.syment) + " bytes)",
                  error);
  uint64_t offset;
  if (dyn_.strsz == 0 || !file_offset(dyn_.strtab, dyn_.strsz, offset))
    return refuse("the dynamic string table lies outside the loaded segments", error);
  strings_ = copy_.data() + offset;
  return true;
}

bool elf_image::name_at(uint64_t offset, std::string &out) const {
  if (offset >= dyn_.strsz) return false;
  const char *s = strings_ + offset;
  const size_t len = strnlen(s, dyn_.strsz - offset);
  if (len == dyn_.strsz - offset) return false;  // no closing NUL
  out.assign(s, len);
  return true;
}

// The SysV hash table: nbucket, nchain, the buckets and the chains; nchain
// is the number of symbols, and every index in it must lie below.
bool elf_image::sysv_hash_count(uint64_t &count, std::string &error) {
  Elf_Data *head = chunk(dyn_.hash, 2, ELF_T_WORD);
  if (!head) return refuse("the symbol hash table lies outside the loaded segments", error);
  const auto *w = static_cast<const Elf32_Word *>(head->d_buf);
  const uint64_t nbucket = w[0], nchain = w[1];
  Elf_Data *all = chunk(dyn_.hash, 2 + nbucket + nchain, ELF_T_WORD);
  if (!all) return refuse("the symbol hash table lies outside the loaded segments", error);
  const auto *words = static_cast<const Elf32_Word *>(all->d_buf);
  for (uint64_t k = 2; k < 2 + nbucket + nchain; k++)
    if (words[k] >= nchain) return refuse("damaged symbol hash table", error);
  count = nchain;
  return true;
}

// The GNU hash table: nbuckets, symoffset, the Bloom filter's size and
// shift, the filter (words of the file's class), the buckets, then one
// chain word per symbol from symoffset on, the last of each chain marked by
// its low bit. The symbols are those up to the end of the last chain.
bool elf_image::gnu_hash_count(uint64_t &count, std::string &error) {
  const std::string outside = "the symbol hash table lies outside the loaded segments";
  Elf_Data *head = chunk(dyn_.gnu_hash, 4, ELF_T_WORD);
  if (!head) return refuse(outside, error);
  const auto *w = static_cast<const Elf32_Word *>(head->d_buf);
  const uint64_t nbuckets = w[0], symoffset = w[1], bloom = w[2];
  const uint64_t word = elf_class() == ELFCLASS64 ? 8 : 4;
  if (bloom > copy_.size() / word) return refuse(outside, error);
  const uint64_t buckets_at = dyn_.gnu_hash + 16 + bloom * word;
  Elf_Data *buckets = chunk(buckets_at, nbuckets, ELF_T_WORD);
  if (!buckets && nbuckets) return refuse(outside, error);
  uint64_t last = 0;
  for (uint64_t b = 0; b < nbuckets; b++) {
    const uint64_t first = static_cast<const Elf32_Word *>(buckets->d_buf)[b];
    if (first != 0 && first < symoffset) return refuse("damaged symbol hash table", error);
    if (first > last) last = first;
  }
  count = symoffset;
  if (last == 0) return true;
  // The last chain, read as far as its segment's bytes go.
  const uint64_t at = buckets_at + nbuckets * 4 + (last - symoffset) * 4;
  const uint64_t words = room(at) / 4;
  Elf_Data *c = words ? chunk(at, words, ELF_T_WORD) : nullptr;
  for (uint64_t k = 0; c && k < words; k++) {
    if (static_cast<const Elf32_Word *>(c->d_buf)[k] & 1) {
      count = last + k + 1;
      return true;
    }
  }
  return refuse(outside, error);
}

bool elf_image::symbol_count(uint64_t &count, std::string &error) {
  // The loader looks names up through the GNU table where there is one.
  if (dyn_.has_gnu_hash) return gnu_hash_count(count, error);
  if (dyn_.has_hash) return sysv_hash_count(count, error);
  return refuse("no symbol hash table in the dynamic section", error);
}

bool elf_image::relocations_within(const dynamic_info::relocations &table, uint64_t count,
                                   std::string &error) {
  if (!table.present || table.size == 0) return true;
  const Elf_Type type = table.rela ? ELF_T_RELA : ELF_T_REL;
  const size_t each = gelf_fsize(elf_, type, 1, EV_CURRENT);
  Elf_Data *d =
      each && table.size % each == 0 ? chunk(table.addr, table.size / each, type) : nullptr;
  if (!d) return refuse("the relocations lie outside the loaded segments", error);
  for (uint64_t i = 0; i < table.size / each; i++) {
    GElf_Rela rela{};
    GElf_Rel rel{};
    const bool read = table.rela ? gelf_getrela(d, static_cast<int>(i), &rela) != nullptr
                                 : gelf_getrel(d, static_cast<int>(i), &rel) != nullptr;
    if (!read) return fail("damaged relocations", error);
    const uint64_t sym = GELF_R_SYM(table.rela ? rela.r_info : rel.r_info);
    if (sym >= count)
      return refuse("a relocation binds symbol " + std::to_string(sym) + ", beyond the " +
                        std::to_string(count) + " the hash table covers",
                    error);
  }
  return true;
}

bool elf_image::read_dynamic(std::string &error) {
  if (!dynamic_entries(error)) return false;
  for (uint64_t at : dyn_.needed) {
    std::string lib;
    if (!name_at(at, lib)) return refuse("damaged dynamic string table", error);
    needed_.push_back(lib);
  }
  uint64_t count;
  if (!symbol_count(count, error)) return false;
  // The loader finds the symbol a relocation binds by its index, not through
  // the hash table: one beyond the symbols judged here would go unchecked.
  for (const auto *table : {&dyn_.rela, &dyn_.rel, &dyn_.plt})
    if (!relocations_within(*table, count, error)) return false;
  Elf_Data *d = count ? chunk(dyn_.symtab, count, ELF_T_SYM) : nullptr;
  if (count && !d) return refuse("the dynamic symbols lie outside the loaded segments", error);
  // On SPARC a file declares the application registers it uses in symbols
  // of a type of their own (STT_SPARC_REGISTER): not names to resolve.
  const bool sparc =
      eh_.e_machine == EM_SPARC || eh_.e_machine == EM_SPARCV9 || eh_.e_machine == EM_SPARC32PLUS;
  for (uint64_t k = 1; k < count; k++) {
    GElf_Sym sym;
    if (!gelf_getsym(d, static_cast<int>(k), &sym)) return fail("damaged dynamic symbols", error);
    const unsigned bind = GELF_ST_BIND(sym.st_info);
    if (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE) continue;
    if (sparc && GELF_ST_TYPE(sym.st_info) == STT_SPARC_REGISTER) continue;
    dynamic_symbol s{std::string(), sym};
    if (!name_at(sym.st_name, s.name)) return refuse("damaged dynamic symbol names", error);
    symbols_.push_back(std::move(s));
  }
  return true;
}

bool elf_image::entry_point(const char *name, std::string &error) const {
  bool found = false;
  for (const dynamic_symbol &s : symbols_) {
    if (s.name != name || s.sym.st_shndx == SHN_UNDEF) continue;
    found = true;
    const unsigned type = GELF_ST_TYPE(s.sym.st_info);
    if (type != STT_FUNC)
      return refuse(std::string(name) + " is " + symbol_kind(type) + ", not a function", error);
    bool code = false;
    for (const GElf_Phdr &p : loads_)
      code = code || ((p.p_flags & (PF_X | PF_W)) == PF_X && s.sym.st_value >= p.p_vaddr &&
                      s.sym.st_value - p.p_vaddr < p.p_filesz);
    if (!code)
      return refuse(std::string(name) + " lies outside the module's executable segments", error);
  }
  if (!found) return refuse(std::string(name) + " missing", error);
  return true;
}

}  // namespace kelb_host
