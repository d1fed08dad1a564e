// SPDX-License-Identifier: MIT
// kelb-probe end to end on module files crafted from built ones (through
// libelf, the layout kept), and on setups where the usual way of loading is
// barred: no /proc, in-memory files barred from running, a file-size limit,
// a descriptor limit below the number of modules, an address-space limit.
#include "testdata/disk_labels.h"
#include "tests/partmap/probe_run.h"
#include "tests/support/file_bytes.h"

#include <gelf.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace kelb_test;

namespace {

const std::string kModules = KELB_MODULE_DIR;
const std::string kFaulty = KELB_FAULTY_MODULE_DIR;
const std::string kUnshare = "/usr/bin/unshare";  // util-linux

// How many times `what` occurs in `text`.
size_t Count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

class ProbeLoadingTest : public ProbeRunTest {
 protected:
  void SetUp() override {
    img_ = dir_ + "/sample.img";
    ASSERT_TRUE(WriteFileBytes(img_, SunSample()));
    mods_ = dir_ + "/mods";
    ASSERT_EQ(mkdir(mods_.c_str(), 0755), 0);
  }

  // Copies module file `from` into the module folder as `name`.
  std::string Put(const std::string &name, const std::string &from) {
    const std::string to = mods_ + "/" + name;
    EXPECT_TRUE(WriteFileBytes(to, ReadFileBytes(from)));
    return to;
  }

  // Copies `from` into the module folder as `name` and applies `change` to
  // the copy through libelf, the file's layout kept as it is.
  std::string Patch(const std::string &name, const std::string &from,
                    const std::function<bool(Elf *)> &change) {
    const std::string to = Put(name, from);
    elf_version(EV_CURRENT);
    const int fd = open(to.c_str(), O_RDWR);
    Elf *elf = fd >= 0 ? elf_begin(fd, ELF_C_RDWR, nullptr) : nullptr;
    bool done = elf && elf_flagelf(elf, ELF_C_SET, ELF_F_LAYOUT) && change(elf) &&
                elf_update(elf, ELF_C_WRITE) >= 0;
    if (elf) elf_end(elf);
    if (fd >= 0) close(fd);
    EXPECT_TRUE(done) << to << ": " << elf_errmsg(-1);
    return to;
  }

  // The probe's run on the sample disk with the module folder, modules'
  // debug lines on.
  ProgramRun Run(const RunOptions &options = {}, std::vector<std::string> before = {}) {
    before.insert(before.end(), {KELB_PROBE, "--debug=modules", "--modules", mods_, img_});
    return RunProgram(before, options);
  }

  std::string img_, mods_;
};

// The first program header of `type` with all of `flags`, updated by
// `change`.
bool ChangeSegment(Elf *elf, unsigned type, unsigned flags,
                   const std::function<void(GElf_Phdr &)> &change) {
  size_t n = 0;
  if (elf_getphdrnum(elf, &n) != 0) return false;
  for (size_t i = 0; i < n; i++) {
    GElf_Phdr p;
    if (!gelf_getphdr(elf, static_cast<int>(i), &p)) return false;
    if (p.p_type != type || (p.p_flags & flags) != flags) continue;
    change(p);
    return gelf_update_phdr(elf, static_cast<int>(i), &p) &&
           elf_flagphdr(elf, ELF_C_SET, ELF_F_DIRTY);
  }
  return false;
}

// The section of `type`, and its index in `index`.
Elf_Scn *SectionOfType(Elf *elf, unsigned type, size_t *index = nullptr) {
  for (Elf_Scn *scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
    GElf_Shdr sh;
    if (gelf_getshdr(scn, &sh) && sh.sh_type == type) {
      if (index) *index = elf_ndxscn(scn);
      return scn;
    }
  }
  return nullptr;
}

// The section table's .dynsym moved to the end of the file and forged
// there: kelb_mod_init and kelb_mod_fini made functions at the start of the
// first executable section. The dynamic section, which the loader reads,
// still points at the true symbols, left where they were.
bool ForgeDynsym(Elf *elf, size_t file_size) {
  size_t text = 0;
  Elf_Scn *dynsym = SectionOfType(elf, SHT_DYNSYM);
  GElf_Shdr sh, text_sh{};
  if (!dynsym || !gelf_getshdr(dynsym, &sh)) return false;
  for (Elf_Scn *scn = elf_nextscn(elf, nullptr); scn && !text; scn = elf_nextscn(elf, scn))
    if (gelf_getshdr(scn, &text_sh) && (text_sh.sh_flags & SHF_EXECINSTR)) text = elf_ndxscn(scn);
  Elf_Data *data = elf_getdata(dynsym, nullptr);
  if (!data || !text) return false;
  for (int i = 1; i < static_cast<int>(sh.sh_size / sh.sh_entsize); i++) {
    GElf_Sym sym;
    if (!gelf_getsym(data, i, &sym)) return false;
    const char *name = elf_strptr(elf, sh.sh_link, sym.st_name);
    if (!name || (strcmp(name, "kelb_mod_init") != 0 && strcmp(name, "kelb_mod_fini") != 0))
      continue;
    sym.st_info = GELF_ST_INFO(GELF_ST_BIND(sym.st_info), STT_FUNC);
    sym.st_shndx = static_cast<Elf64_Section>(text);
    sym.st_value = text_sh.sh_addr;
    if (!gelf_update_sym(data, i, &sym)) return false;
  }
  GElf_Ehdr eh;
  if (!gelf_getehdr(elf, &eh)) return false;
  sh.sh_offset = (std::max<uint64_t>(file_size, eh.e_shoff + eh.e_shnum * eh.e_shentsize) + 15) &
                 ~uint64_t{15};
  return elf_flagdata(data, ELF_C_SET, ELF_F_DIRTY) && gelf_update_shdr(dynsym, &sh);
}

// The symbol hash table made to cover the null symbol only (its buckets
// emptied, the GNU table's first hashed symbol or the SysV table's count
// set to 1): the symbols the relocations bind, imports among them, look
// absent to a look-up by name.
bool HideSymbols(Elf *elf) {
  Elf_Scn *scn = SectionOfType(elf, SHT_GNU_HASH);
  const bool gnu = scn != nullptr;
  if (!gnu) scn = SectionOfType(elf, SHT_HASH);
  Elf_Data *data = scn ? elf_getdata(scn, nullptr) : nullptr;
  if (!data || data->d_size < 16) return false;
  auto *words = static_cast<uint32_t *>(data->d_buf);
  const size_t bloom_bytes = gnu ? words[2] * (gelf_getclass(elf) == ELFCLASS64 ? 8 : 4) : 0;
  uint32_t *buckets = gnu ? words + 4 + bloom_bytes / 4 : words + 2;
  if (static_cast<size_t>(buckets - words + words[0]) * 4 > data->d_size) return false;
  for (uint32_t b = 0; b < words[0]; b++) buckets[b] = 0;
  words[1] = 1;
  return elf_flagdata(data, ELF_C_SET, ELF_F_DIRTY);
}

// What the loader resolves is judged, not the section table: a forged
// .dynsym typing the entry points as code does not hide that they are data.
// Segments must lie within the file and none may be writable and
// executable; relocations may bind no symbol the hash table leaves out
// (an import hidden from the checks). Each is refused naming the file, before anything of it runs,
// and ends the run.
TEST_F(ProbeLoadingTest, RefusesWhatTheDynamicLoaderWouldMap) {
  const size_t amiga_size = ReadFileBytes(kModules + "/amiga.mod").size();
  const struct {
    const char *from;
    std::function<bool(Elf *)> change;
    std::string reason, reason_end;
  } kCases[] = {
      {"data_entries",
       [&](Elf *elf) {
         return ForgeDynsym(elf, ReadFileBytes(kFaulty + "/data_entries.mod").size());
       },
       "kelb_mod_init is a data object, not a function\n", ""},
      {"amiga",
       [&](Elf *elf) {
         return ChangeSegment(elf, PT_LOAD, PF_X, [&](GElf_Phdr &p) {
           p.p_offset = ((amiga_size + 0xFFFF) & ~0xFFFFULL) + 0x10000 + (p.p_vaddr & 0xFFF);
         });
       },
       "segment ", " bytes) lies outside the file (" + std::to_string(amiga_size) + " bytes)\n"},
      {"apple",
       [](Elf *elf) {
         return ChangeSegment(elf, PT_LOAD, PF_X, [](GElf_Phdr &p) { p.p_flags |= PF_W; });
       },
       "segment ", " is both writable and executable\n"},
      {"acorn", HideSymbols, "a relocation binds symbol ",
       ", beyond the 1 the hash table covers\n"}};
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.from);
    const std::string dir = std::string(c.from) == "data_entries" ? kFaulty : kModules;
    const std::string crafted = Patch("crafted.mod", dir + "/" + c.from + ".mod", c.change);
    ProgramRun r = Run();
    EXPECT_EQ(r.signal, 0) << r.err;
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string head = "kelb-probe: cannot load module '" + crafted + "': " + c.reason;
    EXPECT_EQ(r.err.rfind(head, 0), 0u) << r.err;
    if (!c.reason_end.empty()) {
      EXPECT_EQ(r.err.size() - r.err.find(c.reason_end), c.reason_end.size()) << r.err;
    }
    EXPECT_EQ(Count(r.err, "\n"), 1u) << r.err;
    ASSERT_EQ(unlink(crafted.c_str()), 0);
  }
}

// A module calling what no boot loader offers (the C library's write) is
// refused before it runs, naming the symbol.
TEST_F(ProbeLoadingTest, OffersOnlyTheBootLoadersServices) {
  const std::string libc = Put("libc.mod", kFaulty + "/libc_call.mod");
  ProgramRun r = Run();
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "kelb-probe: cannot load module '" + libc +
                       "': it imports 'write', which the boot loader does not offer\n");
}

// Modules that cannot be unloaded (linked so, or holding a unique symbol),
// refused for their map's name, stay mapped; the next module still loads
// and the run goes on with the first.
TEST_F(ProbeLoadingTest, AModuleThatStaysMappedDoesNotStopTheNext) {
  Put("a.mod", kModules + "/sun.mod");
  const std::string nodelete = Put("b.mod", kFaulty + "/nodelete_twin.mod");
  const std::string unique = Put("c.mod", kFaulty + "/unique_twin.mod");
  const std::string next = Put("d.mod", kModules + "/amiga.mod");
  Put("e.mod", kModules + "/apple.mod");
  ProgramRun r = Run();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Table(r.out, "sun_partition_map").size(), 2u) << r.out;
  for (const std::string &twin : {nodelete, unique})
    EXPECT_NE(r.err.find("kelb-probe: cannot load module '" + twin +
                         "': partition map 'sun_partition_map' is registered already by '" + mods_ +
                         "/a.mod'\n"),
              std::string::npos)
        << r.err;
  EXPECT_NE(r.err.find("module 'amiga' loaded from '" + next + "'"), std::string::npos) << r.err;
  EXPECT_EQ(Count(r.err, "loaded from"), 3u) << r.err;
  EXPECT_EQ(Count(r.err, "kelb-probe: "), 2u) << r.err;
}

// A file larger than any module is refused before it is read, one that is
// not ELF after its first bytes, and one read whole that runs the memory
// out is an error: none aborts the run.
TEST_F(ProbeLoadingTest, HugeFilesAreRefusedWithoutRunningOutOfMemory) {
#ifdef KELB_SANITIZED
  GTEST_SKIP() << "a sanitizer's runtime reserves more address space than the limit allows";
#endif
  const std::string junk = dir_ + "/junk/zz.mod", fake = dir_ + "/fake/yy.mod";
  ASSERT_EQ(mkdir((dir_ + "/junk").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir_ + "/fake").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFileBytes(junk, "junk"));
  ASSERT_EQ(truncate(junk.c_str(), 60 << 20), 0);
  ASSERT_TRUE(WriteFileBytes(fake, std::string(ELFMAG) + "junk"));
  ASSERT_EQ(truncate(fake.c_str(), 15 << 20), 0);
  RunOptions limited;
  limited.child_setup = [] {
    const rlimit limit = {100000 * 1024, 100000 * 1024};
    return setrlimit(RLIMIT_AS, &limit) == 0;
  };
  mods_ = dir_ + "/junk";
  ProgramRun r = Run(limited);
  EXPECT_EQ(r.signal, 0) << r.err;
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "kelb-probe: cannot load module '" + junk +
                       "': too large for a module (62914560 bytes; a module is at most 16 MiB)\n");
  mods_ = dir_ + "/fake";
  r = Run(limited);
  EXPECT_EQ(r.signal, 0) << r.err;
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err.rfind("kelb-probe: cannot load module '" + fake + "': damaged ELF header", 0), 0u)
      << r.err;
}

// Memory running out while a module file is read and checked is an error
// naming the file, never an abort: under limits from where the file fits
// in memory to where it does not, each run ends with a message and status
// 1, and the tightest says memory ran out.
TEST_F(ProbeLoadingTest, RunningOutOfMemoryIsAnError) {
#ifdef KELB_SANITIZED
  GTEST_SKIP() << "a sanitizer's runtime reserves more address space than the limit allows";
#endif
  const std::string fake = mods_ + "/yy.mod";
  ASSERT_TRUE(WriteFileBytes(fake, std::string(ELFMAG) + "junk"));
  ASSERT_EQ(truncate(fake.c_str(), 15 << 20), 0);
  const std::string head = "kelb-probe: cannot load module '" + fake + "': ";
  std::string last;
  for (const rlim_t kib : {60000, 40000, 30000, 25000}) {
    SCOPED_TRACE(kib);
    RunOptions limited;
    limited.child_setup = [kib] {
      const rlimit limit = {kib * 1024, kib * 1024};
      return setrlimit(RLIMIT_AS, &limit) == 0;
    };
    const ProgramRun r = Run(limited);
    EXPECT_EQ(r.signal, 0) << r.err;
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.rfind(head, 0), 0u) << r.err;
    last = r.err.substr(std::min(head.size(), r.err.size()));
    EXPECT_TRUE(last.rfind("damaged ELF header", 0) == 0 || last == "out of memory\n") << r.err;
  }
  EXPECT_EQ(last, "out of memory\n");
}

// A module of another machine, class and byte order is refused naming the
// machine it was built for and the host's.
TEST_F(ProbeLoadingTest, RefusalsNameTheMachineAModuleWasBuiltFor) {
#if defined(__powerpc__) && !defined(__powerpc64__)
  const bool powerpc32be = true;
#else
  const bool powerpc32be = false;
#endif
  // A bare ELF header of a PowerPC shared object (or, on PowerPC, an
  // x86-64 one), in its own class and byte order.
  std::string header(powerpc32be ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr), '\0');
  memcpy(header.data(), ELFMAG, SELFMAG);
  header[EI_CLASS] = powerpc32be ? ELFCLASS64 : ELFCLASS32;
  header[EI_DATA] = powerpc32be ? ELFDATA2LSB : ELFDATA2MSB;
  header[EI_VERSION] = EV_CURRENT;
  const auto put16 = [&](size_t at, unsigned v) {
    header[at + (powerpc32be ? 0 : 1)] = static_cast<char>(v & 0xFF);
    header[at + (powerpc32be ? 1 : 0)] = static_cast<char>(v >> 8);
  };
  put16(offsetof(Elf32_Ehdr, e_type), ET_DYN);
  put16(offsetof(Elf32_Ehdr, e_machine), powerpc32be ? EM_X86_64 : EM_PPC);
  header[powerpc32be ? offsetof(Elf64_Ehdr, e_version) : offsetof(Elf32_Ehdr, e_version) + 3] = 1;
  put16(powerpc32be ? offsetof(Elf64_Ehdr, e_ehsize) : offsetof(Elf32_Ehdr, e_ehsize),
        static_cast<unsigned>(header.size()));
  const std::string foreign = mods_ + "/foreign.mod";
  ASSERT_TRUE(WriteFileBytes(foreign, header));
  ProgramRun r = Run();
  EXPECT_EQ(r.status, 1) << r.err;
  const std::string built_for =
      powerpc32be ? "x86-64 (64-bit, little-endian)" : "PowerPC (32-bit, big-endian)";
  EXPECT_EQ(r.err.rfind("kelb-probe: cannot load module '" + foreign + "': built for " + built_for +
                            "; this host loads ",
                        0),
            0u)
      << r.err;
}

// A set-up step limiting the files the program writes to half the sun
// module's size (`limit`, in bytes; `ulimit -f 8` on our x86-64 modules):
// no copy of the module fits.
std::function<bool()> FileSizeLimitBelowTheModule(rlim_t &limit) {
  limit = ReadFileBytes(kModules + "/sun.mod").size() / 2;
  const rlim_t bytes = limit;
  return [bytes] {
    const rlimit l = {bytes, bytes};
    return setrlimit(RLIMIT_FSIZE, &l) == 0;
  };
}

// Whether `unshare` with `args` can run a program here (root, namespaces
// allowed); the reason in `why` when not.
bool CanUnshare(const std::vector<std::string> &args, std::string &why) {
  std::vector<std::string> cmd = {kUnshare};
  cmd.insert(cmd.end(), args.begin(), args.end());
  cmd.push_back("true");
  const ProgramRun r = RunProgram(cmd);
  why =
      "unshare " + args.front() + " fails here (status " + std::to_string(r.status) + "): " + r.err;
  return r.status == 0;
}

// Without /proc (a chroot or a minimal container) the modules load from a
// private copy in a fresh folder, removed once loaded; with a file-size
// limit below a module's size too, no way is left and each module is
// refused saying why, the program never killed for writing.
TEST_F(ProbeLoadingTest, LoadsWithoutProc) {
#ifdef KELB_SANITIZED
  GTEST_SKIP() << "the leak checker fails every program without /proc at its exit (it lists "
                  "/proc/PID/task), and the sanitizers read their options from "
                  "/proc/self/environ, so it cannot be turned off there";
#endif
  std::string why;
  if (!CanUnshare({"--mount", "--propagation", "private"}, why)) GTEST_SKIP() << why;
  Put("sun.mod", kModules + "/sun.mod");
  const std::string tmp = dir_ + "/tmp";
  ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
  RunOptions options;
  options.env = {{"TMPDIR", tmp}};
  const std::vector<std::string> no_proc = {kUnshare,
                                            "--mount",
                                            "--propagation",
                                            "private",
                                            "/bin/sh",
                                            "-c",
                                            "mount -t tmpfs none /proc && exec \"$0\" \"$@\""};
  ProgramRun r = Run(options, no_proc);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Table(r.out, "sun_partition_map").size(), 2u) << r.out;
  EXPECT_NE(r.err.find("module 'sun' loaded from '" + mods_ +
                       "/sun.mod' through a private copy in " + tmp + "\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(RunProgram({"/usr/bin/find", tmp, "-mindepth", "1"}).out, "") << "copies left behind";

  rlim_t limit;
  options.child_setup = FileSizeLimitBelowTheModule(limit);
  r = Run(options, no_proc);
  EXPECT_EQ(r.signal, 0) << r.err;
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("kelb-probe: cannot load module '" + mods_ +
                       "/sun.mod': no way to load the bytes checked (in-memory copy: the "
                       "file-size limit (" +
                       std::to_string(limit) + " bytes) is below its size; private copy: "),
            std::string::npos)
      << r.err;
}

// Where in-memory files may not run (vm.memfd_noexec=2, set in a pid
// namespace of its own), a private copy serves.
TEST_F(ProbeLoadingTest, LoadsWhereInMemoryFilesMayNotRun) {
  if (access("/proc/sys/vm/memfd_noexec", F_OK) != 0)
    GTEST_SKIP() << "this kernel has no vm.memfd_noexec";
  std::string why;
  if (!CanUnshare({"--pid", "--fork", "--mount-proc"}, why)) GTEST_SKIP() << why;
  Put("sun.mod", kModules + "/sun.mod");
  ProgramRun r = Run({}, {kUnshare, "--pid", "--fork", "--mount-proc", "/bin/sh", "-c",
                          "echo 2 >/proc/sys/vm/memfd_noexec && exec \"$0\" \"$@\""});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Table(r.out, "sun_partition_map").size(), 2u) << r.out;
  EXPECT_NE(r.err.find("module 'sun' loaded from '" + mods_ + "/sun.mod' through a private copy"),
            std::string::npos)
      << r.err;
}

// Under a file-size limit below a module's size no copy can be written:
// the module file itself is loaded, through the descriptor its bytes were
// read from, since only its owner may write it; the program that only reads
// is never killed for writing.
TEST_F(ProbeLoadingTest, LoadsUnderAFileSizeLimit) {
  const std::string sun = Put("sun.mod", kModules + "/sun.mod");
  ASSERT_EQ(chmod(sun.c_str(), 0644), 0);
  RunOptions limited;
  rlim_t limit;
  limited.child_setup = FileSizeLimitBelowTheModule(limit);
  ProgramRun r = Run(limited);
  EXPECT_EQ(r.signal, 0) << r.err;
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Table(r.out, "sun_partition_map").size(), 2u) << r.out;
  EXPECT_NE(r.err.find("module 'sun' loaded from '" + sun +
                       "' from the file itself (only its owner may write it)\n"),
            std::string::npos)
      << r.err;

  // A file others may write is not loaded that way.
  ASSERT_EQ(chmod(sun.c_str(), 0666), 0);
  r = Run(limited);
  EXPECT_EQ(r.signal, 0) << r.err;
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("; the file itself: others may write it)"), std::string::npos) << r.err;
}

// More modules than half the descriptors a process may hold load, each
// module's descriptors closed once it is loaded.
TEST_F(ProbeLoadingTest, ManyModulesLoadUnderADescriptorLimit) {
  constexpr int kCount = 600;
  const std::string numbered = ReadFileBytes(kFaulty + "/numbered.mod");
  const size_t name_at = numbered.find("numbered_0000"),
               map_at = numbered.find("numbered_map_0000");
  ASSERT_NE(name_at, std::string::npos);
  ASSERT_NE(map_at, std::string::npos);
  for (int i = 0; i < kCount; i++) {
    char digits[8];
    snprintf(digits, sizeof digits, "%04d", i);
    std::string copy = numbered;
    copy.replace(name_at + 9, 4, digits);
    copy.replace(map_at + 13, 4, digits);
    ASSERT_TRUE(WriteFileBytes(mods_ + "/n" + digits + ".mod", copy));
  }
  Put("sun.mod", kModules + "/sun.mod");
  RunOptions limited;
  limited.timeout_seconds = 600;
  limited.child_setup = [] {
    const rlimit limit = {1024, 1024};
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
  };
  ProgramRun r = Run(limited);
  EXPECT_EQ(r.status, 0) << r.err.substr(0, 2000);
  EXPECT_EQ(Count(r.err, "loaded from"), kCount + 1u) << r.err.substr(0, 2000);
  EXPECT_EQ(r.err.find("kelb-probe: "), std::string::npos) << r.err.substr(0, 2000);
  EXPECT_EQ(Table(r.out, "sun_partition_map").size(), 2u);
}

// Nothing for tests in the installed program: the failure knobs and
// counters are not in kelb-probe at all.
TEST_F(ProbeLoadingTest, TheProbeCarriesNoFaultKnobs) {
  const std::string program = ReadFileBytes(KELB_PROBE);
  ASSERT_FALSE(program.empty());
  for (const char *knob : {"fail_reads_at", "fail_nth_malloc", "live_allocations",
                           "clear_read_failures", "malloc_calls"})
    EXPECT_EQ(program.find(knob), std::string::npos) << knob;
}

}  // namespace
