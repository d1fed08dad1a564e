// SPDX-License-Identifier: MIT
/* Pieces the partition-map modules have in common. Each module compiles its
 * own copy: everything here is static inline or a macro, so no module links
 * against another, and each still exports only its kelb_ entry points. */
#ifndef KELB_PARTMAP_COMMON_H
#define KELB_PARTMAP_COMMON_H

#include "partmap/kelb.h"

/* Numbers as the disk stores them, in the byte order each field names; the
 * bytes are taken one by one, so any alignment will do. */
static inline uint16_t read_be16(const uint8_t *p) {
  return uint16_t((uint32_t(p[0]) << 8) | uint32_t(p[1]));
}

static inline uint32_t read_be32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

static inline uint16_t read_le16(const uint8_t *p) {
  return uint16_t(uint32_t(p[0]) | (uint32_t(p[1]) << 8));
}

static inline uint32_t read_le32(const uint8_t *p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

/* A copy of `disk` opened on the whole disk, so that sectors count from the
 * disk's start whatever partition `disk` is opened on. */
static inline kelb_disk partmap_whole_disk(const kelb_disk *disk) {
  kelb_disk whole = *disk;
  whole.partition = nullptr;
  return whole;
}

/* Fills `part` with one partition of `map`: its first sector and length in
 * sectors, where the entry describing it lies, and its zero-based entry
 * number. Every field is set; `data` is null. */
static inline void partmap_fill_partition(kelb_partition *part, kelb_partition_map *map,
                                          uint64_t start, uint64_t length, uint64_t offset,
                                          int32_t index) {
  part->start = start;
  part->length = length;
  part->offset = offset;
  part->index = index;
  part->data = nullptr;
  part->map = map;
}

/* Any 32-bit decimal and its terminating zero. */
#define KELB_PARTITION_NAME_SIZE 13

/* What a look-up through the walk shares with its hook. */
struct partmap_lookup {
  int32_t wanted;
  kelb_partition *found;
};

/* Keeps a copy of the partition whose index is wanted and stops the walk. */
static inline int partmap_lookup_hook(kelb_disk *, const kelb_partition *partition, void *data) {
  partmap_lookup *state = static_cast<partmap_lookup *>(data);
  if (partition->index != state->wanted) return 0;
  state->found = static_cast<kelb_partition *>(kelb_malloc(sizeof *partition));
  if (state->found) kelb_memmove(state->found, partition, sizeof *partition);
  return 1;
}

/* Finds the partition named by its one-based decimal number with the
 * module's own walk. kelb_errno is not cleared first: an error left from
 * earlier work also refuses the name. */
static inline kelb_partition *partmap_find_by_walk(
    kelb_disk *disk, const char *name,
    kelb_err_t (*for_each_partition)(kelb_disk *, kelb_partition_hook_t, void *)) {
  const unsigned long number = kelb_strtoul(name, nullptr, 10);
  if (kelb_errno != KELB_ERR_NONE) {
    kelb_error(KELB_ERR_BAD_PARTITION, "invalid partition");
    return nullptr;
  }
  /* A number beyond 32 bits names no partition; wrapping it would turn
   * "4294967297" into partition 1. */
  if (number > 0xFFFFFFFFul) return nullptr;
  partmap_lookup state = {int32_t(uint32_t(number) - 1u), nullptr};
  if (for_each_partition(disk, partmap_lookup_hook, &state) != KELB_ERR_NONE) {
    kelb_free(state.found);
    return nullptr;
  }
  return state.found;
}

/* find_partition through the module's own walk `Walk`, by partmap_find_by_walk:
 * one instance per module, as internal as the walk it names. */
template <kelb_err_t (*Walk)(kelb_disk *, kelb_partition_hook_t, void *)>
static inline kelb_partition *partmap_find_through_walk(kelb_disk *disk, const char *name) {
  return partmap_find_by_walk(disk, name, Walk);
}

/* The partition's name: its one-based entry number in decimal. */
static inline char *partmap_number_name(const kelb_partition *partition) {
  char *name = static_cast<char *>(kelb_malloc(KELB_PARTITION_NAME_SIZE));
  if (!name) return nullptr;
  kelb_sprintf(name, "%d", int32_t(uint32_t(partition->index) + 1u));
  return name;
}

/* The module's four exported entry points: kelb_mod_init and kelb_mod_fini,
 * which the loader calls, and kelb_SCHEME_partition_map_init and _fini, which
 * register and unregister `map_record` the same way. It declares the record,
 * which the module defines in its unnamed namespace, last in its file. All four call the
 * module's own internal functions, never each other: a call to an exported
 * name goes through the symbol table, where another module loaded into the
 * same global scope (or linked into the same image) may supply it, and the
 * wrong map would be registered. */
#define KELB_PARTMAP_ENTRY_POINTS(scheme, map_record)                                            \
  namespace {                                                                                    \
  extern kelb_partition_map map_record;                                                          \
  }                                                                                              \
  static void partmap_register_own_map(void) { kelb_partition_map_register(&(map_record)); }     \
  static void partmap_unregister_own_map(void) { kelb_partition_map_unregister(&(map_record)); } \
  KELB_EXTERN_C KELB_EXPORT void kelb_mod_init(kelb_module_t) { partmap_register_own_map(); }    \
  KELB_EXTERN_C KELB_EXPORT void kelb_mod_fini(void) { partmap_unregister_own_map(); }           \
  KELB_EXTERN_C KELB_EXPORT void kelb_##scheme##_partition_map_init(void) {                      \
    partmap_register_own_map();                                                                  \
  }                                                                                              \
  KELB_EXTERN_C KELB_EXPORT void kelb_##scheme##_partition_map_fini(void) {                      \
    partmap_unregister_own_map();                                                                \
  }

#endif /* KELB_PARTMAP_COMMON_H */
