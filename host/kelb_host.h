// SPDX-License-Identifier: MIT
// The stand-in kelb loader: the host side of partmap/kelb.h.
//
// It serves the kelb_ services to the modules over a disk image, a block
// device or bytes in memory, loads modules with dlopen and keeps the list of
// registered partition maps. kelb-probe and the tests drive it through the
// functions below; the knobs (failing allocation, failing sector, debug
// sink) exist so that every failure path of a module can be reached.
//
// Nothing here is thread-safe: the loader is single-threaded by design.
#ifndef KELB_HOST_H
#define KELB_HOST_H

#include "partmap/kelb.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelb_host {

// ---- Disks ----------------------------------------------------------------

// Opens an image file or block device read-only, without waiting on a FIFO
// or device. Its size is cut down to whole 512-byte sectors. Null on failure
// with kelb_errno KELB_ERR_FILE_NOT_FOUND and the message "cannot open
// 'PATH': REASON": the system's text when the open or fstat fails, "is a
// directory", or "not a regular file or block device" for anything else
// (character device, FIFO, socket).
kelb_disk *open_image(const std::string &path);

// A disk over a copy of `size` bytes, cut down to whole sectors. `name`
// appears in messages.
kelb_disk *open_memory(const void *bytes, size_t size, const std::string &name = "memory disk");

// A new handle on the same device opened on `partition` (a copy is kept):
// reads count from the partition's start and may not pass its end.
kelb_disk *open_partition(kelb_disk *disk, const kelb_partition &partition);

// Closes a handle. The device goes with the last handle that uses it.
void close_disk(kelb_disk *disk);

// Makes every read that touches whole-disk `sector` fail with
// KELB_ERR_READ_ERROR, on every handle of this disk's device.
void fail_reads_at(kelb_disk *disk, uint64_t sector);
void clear_read_failures(kelb_disk *disk);

// Number of kelb_disk_read calls on this device so far.
uint64_t read_count(const kelb_disk *disk);

// ---- Errors -----------------------------------------------------------------

// The message of the last kelb_error ("" when none was set).
const std::string &error_message();
// Sets kelb_errno to 0 and empties the message.
void clear_error();

// ---- Memory -----------------------------------------------------------------

// Makes the n-th kelb_malloc from now fail (1: the next one); 0 turns the
// knob off. The knob fires once.
void fail_nth_malloc(unsigned long n);
// kelb_malloc calls since the last reset_counters().
unsigned long malloc_calls();
// Blocks handed out by kelb_malloc and not yet given to kelb_free.
long live_allocations();
void reset_counters();

// ---- Debug output -----------------------------------------------------------

// Conditions for kelb_real_dprintf: a comma list, or "all"; "" for none.
// Until this is called the KELB_DEBUG environment variable decides.
void set_debug(const std::string &conditions);
// Hands the choice back to KELB_DEBUG, read at each debug call.
void use_debug_environment();
bool debug_enabled(const char *condition);
// Where enabled debug lines go ("file:line: text"); an empty function sends
// them to standard error.
void set_debug_sink(std::function<void(const std::string &)> sink);

// ---- Partition maps ---------------------------------------------------------

// Head of the list of registered maps, linked through `next`.
kelb_partition_map *maps();
// The registered map called `name`, or null.
kelb_partition_map *find_map(const std::string &name);

// ---- Modules ----------------------------------------------------------------

struct module_info {
  std::string path;
  std::string name;                        // from the .modname section
  std::vector<kelb_partition_map *> maps;  // what its kelb_mod_init registered
};

// Checks the module file `path` (inspect_module), dlopens it and calls its
// kelb_mod_init with the handle. Null on failure with kelb_errno
// (KELB_ERR_FILE_NOT_FOUND when the file cannot be opened, else
// KELB_ERR_BAD_MODULE) and a message "cannot load module 'PATH': reason".
// A module that registers a map without a name, for_each_partition,
// find_partition or partition_name is unloaded again (kelb_mod_fini,
// dlclose) before any of the map's operations is called.
kelb_module *load_module(const std::string &path);
// kelb_mod_fini, then dlclose. Maps the module left registered are unlinked.
void unload_module(kelb_module *module);
const module_info &module_of(const kelb_module *module);

// The module files (*.mod) in `dir`, sorted by name.
std::vector<std::string> module_files(const std::string &dir);

// The directories searched for modules when none is named, all from the
// running program's own location (/proc/self/exe): the installed module
// folder relative to it (bin/../lib/kelb), the program's directory, and
// ../partmap beside it (a build tree's host/ and partmap/). No build path is
// compiled in. Empty when the program's location cannot be read.
std::vector<std::string> default_module_dirs();

// ---- ELF inspection (libelf: 32- and 64-bit files alike) --------------------

struct elf_symbols {
  std::vector<std::string> defined;    // global or weak dynamic symbols
  std::vector<std::string> undefined;  // dynamic symbols the file imports
};
// Reads the dynamic symbols of an ELF file. False, with `error` naming the
// path and the reason, when the file cannot be read or is not a sound ELF
// file.
bool read_elf_symbols(const std::string &path, elf_symbols &out, std::string &error);
// The bytes of section `section` of an ELF file. False, with `error` naming
// the path, when the file cannot be read, is damaged or has no such section.
bool read_elf_section(const std::string &path, const std::string &section, std::string &out,
                      std::string &error);
// Checks a module file held in memory before anything of it is loaded: an
// ELF file of the host's own class, whose header and section table lie
// within it, with a non-empty .modname section and sound dynamic symbols
// that define kelb_mod_init and kelb_mod_fini. True with `name` set to the
// text of .modname (up to its first NUL); otherwise false with `error`
// "'PATH': reason", `path` naming the file in messages only.
bool inspect_module(const void *bytes, size_t size, const std::string &path, std::string &name,
                    std::string &error);

}  // namespace kelb_host

#endif  // KELB_HOST_H
