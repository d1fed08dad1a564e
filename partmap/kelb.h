// SPDX-License-Identifier: MIT
/* The kelb loader interface: what the loader gives a partition-map module and
 * what a module gives back. Usable from C and C++; the modules include nothing
 * else but freestanding compiler headers. */
#ifndef KELB_H
#define KELB_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define KELB_PRINTF(fmt_arg, first_arg) __attribute__((format(printf, fmt_arg, first_arg)))
#else
#define KELB_PRINTF(fmt_arg, first_arg)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes. The modules raise 7 and 19 themselves; a walk also passes on
 * what the loader's services left in kelb_errno (1 when memory ran out, 4
 * when a read failed, 5 for a read past the disk's end) and what a hook that
 * stopped it left there. */
typedef enum kelb_err {
  KELB_ERR_NONE = 0,
  KELB_ERR_OUT_OF_MEMORY = 1,
  KELB_ERR_BAD_ARGUMENT = 2,
  KELB_ERR_BAD_NUMBER = 3,
  KELB_ERR_READ_ERROR = 4,
  KELB_ERR_OUT_OF_RANGE = 5,
  KELB_ERR_FILE_NOT_FOUND = 6,
  KELB_ERR_BAD_PARTITION = 7, /* a partition name that names no partition */
  KELB_ERR_BAD_MODULE = 8,
  KELB_ERR_MODULE_CONFLICT = 9, /* a module or map of that name is loaded already */
  KELB_ERR_BAD_PART_TABLE = 19  /* not a table of this scheme, or damaged */
} kelb_err_t;

struct kelb_partition_map;
struct kelb_host_device; /* the host's own, opaque to modules */

/* A partition as a map reports it. */
typedef struct kelb_partition {
  uint64_t start;  /* first sector, counted from the start of the whole disk */
  uint64_t length; /* sectors */
  uint64_t offset; /* where the entry describing it lies; per scheme */
  int32_t index;   /* zero-based entry number */
  void *data;      /* null in every module here */
  struct kelb_partition_map *map;
} kelb_partition;

/* The loader's disk handle. Modules touch only `partition`: null for the
 * whole disk, otherwise the partition the handle is opened on, and reads
 * count from its start. */
typedef struct kelb_disk {
  const char *name;
  struct kelb_host_device *device;
  uint64_t total_sectors;
  kelb_partition *partition;
} kelb_disk;

/* Called once per partition of a walk. `partition` lives only during the
 * call; a hook that keeps it copies it. `data` is the caller's own state.
 * A non-zero result stops the walk. */
typedef int (*kelb_partition_hook_t)(kelb_disk *disk, const kelb_partition *partition, void *data);

/* The record each module registers. */
typedef struct kelb_partition_map {
  const char *name;
  /* Hands every partition of `disk` to `hook`; returns an error code. */
  kelb_err_t (*for_each_partition)(kelb_disk *disk, kelb_partition_hook_t hook, void *hook_data);
  /* A new partition the caller frees with kelb_free, or null. */
  kelb_partition *(*find_partition)(kelb_disk *disk, const char *name);
  /* A new text the caller frees with kelb_free, or null. */
  char *(*partition_name)(const kelb_partition *partition);
  struct kelb_partition_map *next; /* the loader's list link */
} kelb_partition_map;

typedef struct kelb_module *kelb_module_t;

#define KELB_SECTOR_SIZE 512

/* Services the loader supplies. */

/* Reads `size` bytes from byte `offset` of `sector` (512-byte sectors; the
 * offset may run past the sector). With `disk->partition` set, sectors count
 * from the partition's start and the read may not pass its end. 0 on
 * success, else an error code with kelb_errno set: KELB_ERR_READ_ERROR when
 * the device failed, KELB_ERR_OUT_OF_RANGE for a read past the end. */
kelb_err_t kelb_disk_read(kelb_disk *disk, uint64_t sector, uint64_t offset, size_t size,
                          void *buf);
/* Null on failure, with kelb_errno set. kelb_free takes null. */
void *kelb_malloc(size_t size);
void kelb_free(void *ptr);
/* Sets kelb_errno to `code` and the message from a printf-style format;
 * returns `code`. */
kelb_err_t kelb_error(kelb_err_t code, const char *fmt, ...) KELB_PRINTF(2, 3);
/* The current error code, 0 when none. */
extern kelb_err_t kelb_errno;
/* Decimal (or other base) text to number; sets kelb_errno
 * (KELB_ERR_BAD_NUMBER) on text that does not start with a digit, and on a
 * number beyond 64 bits, where the result is ULONG_MAX. A number that fits
 * 64 bits but not an unsigned long (on a 32-bit machine) gives ULONG_MAX
 * without an error, so the same texts are refused on every machine. Leaves
 * kelb_errno alone on success. */
unsigned long kelb_strtoul(const char *str, char **end, int base);
int kelb_sprintf(char *str, const char *fmt, ...) KELB_PRINTF(2, 3);
void *kelb_memmove(void *dest, const void *src, size_t n);
int kelb_strcmp(const char *s1, const char *s2);
/* Prints "file:line: " and the text when debugging is enabled for
 * `condition`. */
void kelb_real_dprintf(const char *file, int line, const char *condition, const char *fmt, ...)
    KELB_PRINTF(4, 5);
/* Links `map` at the end of the loader's list; unregister unlinks it. */
void kelb_partition_map_register(kelb_partition_map *map);
void kelb_partition_map_unregister(kelb_partition_map *map);

#ifdef __cplusplus
}
#endif

/* Module side: the entries a module exports and the section naming it. */
#if defined(__GNUC__)
#define KELB_EXPORT __attribute__((visibility("default")))
#else
#define KELB_EXPORT
#endif

#ifdef __cplusplus
#define KELB_EXTERN_C extern "C"
#else
#define KELB_EXTERN_C
#endif

/* Places the module's name in its .modname section. */
#define KELB_MOD_NAME(name_text) \
  __attribute__((section(".modname"), used)) static const char kelb_modname_[] = name_text

#endif /* KELB_H */
