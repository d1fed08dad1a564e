// SPDX-License-Identifier: MIT
// The stand-in kelb loader: the host side of partmap/kelb.h.
//
// It serves the kelb_ services to the modules over a disk image or a block
// device, loads modules with dlopen and keeps the list of registered
// partition maps. kelb-probe drives it through the functions below. What
// only the tests and fuzz targets use (memory disks, handles on a partition,
// a debug-line sink, the knobs that make reads and allocations fail and the
// counters they check) is in host/kelb_host_faults.h, built only into the
// tests' copy of the host (kelb_host_faults).
//
// Nothing here is thread-safe: the loader is single-threaded by design.
#ifndef KELB_HOST_H
#define KELB_HOST_H

#include "partmap/kelb.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kelb_host {

// ---- Disks ----------------------------------------------------------------

// Opens an image file or block device read-only, without waiting on a FIFO
// or device. Its size is cut down to whole 512-byte sectors. Null on failure
// with kelb_errno KELB_ERR_FILE_NOT_FOUND and the message "cannot open
// 'PATH': REASON": the system's text when the open or fstat fails, "is a
// directory", or "not a regular file or block device" for anything else
// (character device, FIFO, socket); KELB_ERR_READ_ERROR ("cannot find the
// size of 'PATH': REASON") when its size cannot be read.
kelb_disk *open_image(const std::string &path);

// Closes a handle. The device goes with the last handle that uses it.
void close_disk(kelb_disk *disk);

// ---- Errors -----------------------------------------------------------------

// The message of the last kelb_error ("" when none was set).
const std::string &error_message();
// Sets kelb_errno to 0 and empties the message.
void clear_error();

// ---- Debug output -----------------------------------------------------------

// Conditions for kelb_real_dprintf: a comma list, or "all"; "" for none.
// Until this is called the KELB_DEBUG environment variable decides.
void set_debug(const std::string &conditions);
// Whether debug lines of `condition` are printed. They go to standard
// error as "file:line: text", through printable() (each line's closing
// newline kept).
bool debug_enabled(const char *condition);

// ---- Partition maps ---------------------------------------------------------

// Head of the list of registered maps, linked through `next`.
kelb_partition_map *maps();

// ---- Modules ----------------------------------------------------------------

struct module_info {
  std::string path;
  std::string name;                        // from the .modname section
  std::vector<kelb_partition_map *> maps;  // what its kelb_mod_init registered
};

// Loads the module file `path`: opens it once, reads it whole through that
// descriptor, checks the bytes read (inspect_module) and
// dlopens them, so what runs is exactly what was checked, whatever happens
// to the file or its name meanwhile: a sealed in-memory copy through /proc;
// where that cannot be made or reached (no /proc, in-memory files barred
// from running, a file-size limit below the module's size), a copy in a
// fresh folder of a temporary folder that lets programs run, only this user
// writing it, removed once open; failing that, the file itself through the
// descriptor read, when only its owner, this user or the administrator, may
// write it. No descriptor stays open once the module is loaded. Then it
// calls kelb_mod_init with the handle.
//
// A file loaded already (the same file through another name or link) is not
// loaded again: the call returns the module holding it, and each call that
// returns a module takes one unload_module.
//
// Null on failure, with kelb_errno and a message "cannot load module 'PATH':
// reason":
// - KELB_ERR_FILE_NOT_FOUND when the file cannot be opened;
// - KELB_ERR_MODULE_CONFLICT when another file of the same .modname is
//   loaded ("module 'NAME' is loaded already from 'OTHER'"), or when its
//   kelb_mod_init registers a map named as one registered already
//   ("partition map 'MAP' is registered already by 'OTHER'"); the module
//   loaded first stays as it is;
// - KELB_ERR_BAD_MODULE otherwise: a file that is not a regular file, is
//   larger than any module (16 MiB), does not start as an ELF file or
//   cannot be read whole ("'PATH': REASON"), or that inspect_module
//   refuses; one no way above can load ("no way to load the
//   bytes checked (in-memory copy: WHY; private copy: WHY; the file itself:
//   WHY)"); one dlopen refuses; or one whose kelb_mod_init registers no map,
//   or a map without a name, for_each_partition, find_partition or
//   partition_name.
// A module loaded writes the debug line "module 'NAME' loaded from 'PATH'
// WAY" under the condition "modules", WAY one of "through a sealed
// in-memory copy", "through a private copy in TMP" (the temporary folder it
// was made in) or "from the file itself (only its owner may write it)".
// Memory running out is KELB_ERR_OUT_OF_MEMORY ("out of memory"), never an
// exception.
// A module refused after it was mapped is unloaded again (kelb_mod_fini,
// dlclose) before any operation of its maps is called.
kelb_module *load_module(const std::string &path);
// Gives back one load_module of `module`. The last one runs kelb_mod_fini,
// unlinks the maps the module left registered, and dlcloses it.
void unload_module(kelb_module *module);
const module_info &module_of(const kelb_module *module);

// The module files (*.mod) in `dir`, sorted by name, in `files`. False with
// `error` ("cannot read module folder 'DIR': the system's text") when the
// folder cannot be read.
bool module_files(const std::string &dir, std::vector<std::string> &files, std::string &error);

// The directories searched for modules when none is named, all from the running
// program's own location (/proc/self/exe, or without /proc the path it was
// started by): the installed module folder relative to it (bin/../lib/kelb),
// the program's directory, and ../partmap beside it (a build tree's host/ and
// partmap/). No build path is compiled in. Empty when the program's location
// cannot be read.
std::vector<std::string> default_module_dirs();

// ---- Module checks --------------------------------------------------------

// Whether a module may import `name`: the services the boot loader offers
// (the kelb_ names of partmap/kelb.h, memcpy, memmove, memset and memcmp),
// and in a sanitized host its sanitizer runtime's entries.
bool is_loader_service(const std::string &name);
// Checks a module file held in memory before anything of it is loaded, on what
// the dynamic loader uses (host/elf_image.h): an ELF shared object of the
// host's own class, byte order and machine (else "built for PowerPC (32-bit,
// big-endian); this host loads x86-64 modules"), the machine being the running
// program's own, read from its ELF header in memory, so that it is known, and
// checked, under an emulator and without /proc too; every loadable segment
// within the file and none both writable and executable, no executable stack; a
// dynamic section inside a loaded segment whose symbol, string and hash tables
// lie there too; no library needed and no text relocations; a non-empty
// .modname section; imports only among is_loader_service; and kelb_mod_init and
// kelb_mod_fini defined, each a function (STT_FUNC) lying within the file's
// bytes of an executable segment. True with `name` set to the text of .modname
// (up to its first NUL); otherwise false with `error` "'PATH': reason", `path`
// naming the file in messages only.
bool inspect_module(const void *bytes, size_t size, const std::string &path, std::string &name,
                    std::string &error);

// ---- Text for a terminal ------------------------------------------------------

// Length of the well-formed UTF-8 sequence that starts at text[at] (1 to 4),
// or 0 when none does: a stray continuation byte, an overlong form, a
// surrogate, a code point above U+10FFFF or a sequence cut short.
size_t utf8_length(const std::string &text, size_t at);

// `text` made safe to show on a terminal, as `ls -b` does: printable ASCII
// and well-formed UTF-8 characters from U+00A0 on as they are, a backslash
// as "\\", and every other byte as "\xHH" (control bytes below 0x20, DEL,
// the C1 controls U+0080 to U+009F, and bytes that are not well-formed
// UTF-8), so names read from a disk never send escape sequences.
std::string printable(const std::string &text);

}  // namespace kelb_host

#endif  // KELB_HOST_H
