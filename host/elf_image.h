// SPDX-License-Identifier: MIT
// A module file's ELF image read through libelf (32- and 64-bit files alike)
// as the dynamic loader reads it: the program headers, and the dynamic
// section with the symbol, string and hash tables it names, the dynamic
// symbols parsed once. The section table serves only for a section by name
// (.modname, which the loader never reads). Every number in the file is
// treated as hostile: a failure is a reason, never a read outside the image.
#ifndef KELB_HOST_ELF_IMAGE_H
#define KELB_HOST_ELF_IMAGE_H

#include <cstdint>
#include <gelf.h>
#include <string>
#include <vector>

namespace kelb_host {

// A global or weak dynamic symbol, as the dynamic loader resolves it.
struct dynamic_symbol {
  std::string name;
  GElf_Sym sym;
};

// What the dynamic section says, in addresses.
struct dynamic_info {
  uint64_t symtab = 0, strtab = 0, strsz = 0, syment = 0, hash = 0, gnu_hash = 0;
  bool has_symtab = false, has_strtab = false, has_hash = false, has_gnu_hash = false;
  bool textrel = false;
  std::vector<uint64_t> needed;  // offsets into the string table
  // The relocation tables: DT_RELA, DT_REL and the PLT's DT_JMPREL.
  struct relocations {
    uint64_t addr = 0, size = 0;
    bool present = false, rela = true;
  } rela, rel, plt;

  // Takes the dynamic entry `tag` of value `v`: what the checks use of it.
  void note(int64_t tag, uint64_t v);

 private:
  // Takes a relocation table's entry; false for any other tag.
  bool note_relocations(int64_t tag, uint64_t v);
};

// An ELF file held in memory (a copy of its bytes), read through libelf.
// Every failure leaves a reason in `error`, without the file's name; call
// open, then segments, then read_dynamic, each only after the one before
// succeeded.
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
  bool open(std::string &error);

  int elf_class() const { return gelf_getclass(elf_); }
  int byte_order() const { return static_cast<unsigned char>(copy_[EI_DATA]); }
  int machine() const { return eh_.e_machine; }

  // The bytes of the section called `name`. False when there is none or it
  // is damaged.
  bool section(const std::string &name, std::string &out, std::string &error);

  // Checks the program headers: a shared object whose loadable segments
  // lie within the file, none both writable and executable (but, on a
  // machine whose ABI keeps the linkage table among the data, the segment
  // holding the dynamic section), with a dynamic segment inside one of them.
  bool segments(std::string &error);

  // Reads the dynamic section and, through it, the dynamic symbols the
  // loader resolves (once; `symbols()` then gives them).
  bool read_dynamic(std::string &error);

  const std::vector<dynamic_symbol> &symbols() const { return symbols_; }
  const std::vector<std::string> &needed() const { return needed_; }
  bool text_relocations() const { return dyn_.textrel; }

  // Whether every definition of `name` is a function lying within the
  // file's bytes of an executable segment that is not writable: what the
  // loader may call.
  bool entry_point(const char *name, std::string &error) const;

 private:
  // `why` in `error`; false.
  static bool refuse(const std::string &why, std::string &error);
  // `what`, with libelf's reason when it gave one.
  static bool fail(const std::string &what, std::string &error);

  // The file offset of the `size` bytes at address `addr`, when they lie
  // within the file's bytes of one loadable segment.
  bool file_offset(uint64_t addr, uint64_t size, uint64_t &offset) const;

  // The file's bytes of the loadable segment holding address `addr` from
  // there to their end; 0 when no segment holds it.
  uint64_t room(uint64_t addr) const;

  // `count` items of `type` at address `addr`, converted to the host's
  // form, or null.
  Elf_Data *chunk(uint64_t addr, uint64_t count, Elf_Type type);

  bool dynamic_entries(std::string &error);
  bool symbol_count(uint64_t &count, std::string &error);
  bool relocations_within(const dynamic_info::relocations &table, uint64_t count,
                          std::string &error);
  bool sysv_hash_count(uint64_t &count, std::string &error);
  bool gnu_hash_count(uint64_t &count, std::string &error);
  bool name_at(uint64_t offset, std::string &out) const;

  std::string copy_;
  Elf *elf_ = nullptr;
  GElf_Ehdr eh_{};
  size_t count_ = 0;  // sections, the null section 0 included
  size_t names_ = 0;  // the section holding the section names
  std::vector<GElf_Phdr> loads_;
  GElf_Phdr dynamic_{};
  dynamic_info dyn_;
  const char *strings_ = nullptr;  // the dynamic string table, strsz bytes
  std::vector<dynamic_symbol> symbols_;
  std::vector<std::string> needed_;
};

}  // namespace kelb_host

#endif  // KELB_HOST_ELF_IMAGE_H
