/* The apple module: the Apple partition map, one entry per sector from
 * sector 1 on. Built freestanding; it calls only the loader's kelb_ services. */
#include "kelb.h"

KELB_MOD_NAME("apple");

namespace {

/* Numbers are big-endian; block numbers count 512-byte sectors from the start
 * of the whole disk. */

constexpr uint64_t kFirstEntryPosition = KELB_SECTOR_SIZE;  /* sector 1 */
constexpr size_t kEntrySize = KELB_SECTOR_SIZE;

constexpr size_t kSignatureOffset = 0;
constexpr uint32_t kSignature = 0x504D;
constexpr size_t kFirstBlockOffset = 8;
constexpr size_t kBlockCountOffset = 12;
constexpr size_t kNameOffset = 16;
constexpr size_t kTypeOffset = 48;
constexpr size_t kTextFieldSize = 32;

/* The map ends after the entry whose partition starts at this block. */
constexpr uint32_t kLastEntryFirstBlock = 1024;

constexpr char kSource[] = "partmap/apple";
constexpr char kCondition[] = "partition";

constexpr size_t kNameSize = 13;

extern kelb_partition_map apple_partition_map;

uint32_t read_be16(const uint8_t *p) {
  return (uint32_t(p[0]) << 8) | uint32_t(p[1]);
}

uint32_t read_be32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) |
         (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

/* A text field of the entry up to its first NUL and never past its 32 bytes,
 * as a NUL-terminated string the printer cannot read beyond. */
void copy_text_field(char (&out)[kTextFieldSize + 1], const uint8_t *field) {
  size_t n = 0;
  while (n < kTextFieldSize && field[n] != 0) {
    out[n] = char(field[n]);
    n++;
  }
  out[n] = 0;
}

kelb_err_t apple_for_each_partition(kelb_disk *disk, kelb_partition_hook_t hook,
                                    void *hook_data) {
  kelb_disk whole = *disk;
  whole.partition = nullptr;

  uint64_t position = kFirstEntryPosition;
  uint32_t counter = 0;
  uint8_t entry[kEntrySize];
  for (;;) {
    if (kelb_disk_read(&whole, position / KELB_SECTOR_SIZE,
                       position % KELB_SECTOR_SIZE, kEntrySize,
                       entry) != KELB_ERR_NONE)
      return kelb_errno;

    const uint32_t signature = read_be16(entry + kSignatureOffset);
    if (signature != kSignature) {
      kelb_real_dprintf(kSource, __LINE__, kCondition,
                        "partition %d: bad magic (found 0x%x; wanted 0x%x\n",
                        int(counter), unsigned(signature), unsigned(kSignature));
      if (position == kFirstEntryPosition)
        return kelb_error(KELB_ERR_BAD_PART_TABLE,
                          "Apple partition map not found.");
      return KELB_ERR_NONE;
    }

    const uint32_t first_block = read_be32(entry + kFirstBlockOffset);
    const uint32_t block_count = read_be32(entry + kBlockCountOffset);

    kelb_partition part;
    part.start = first_block;
    part.length = block_count;
    part.offset = position;
    part.index = int32_t(counter);
    part.data = nullptr;
    part.map = &apple_partition_map;

    char name[kTextFieldSize + 1];
    char type[kTextFieldSize + 1];
    copy_text_field(name, entry + kNameOffset);
    copy_text_field(type, entry + kTypeOffset);
    kelb_real_dprintf(kSource, __LINE__, kCondition,
                      "partition %d: name %s, type %s, start 0x%x, len 0x%x\n",
                      int(counter), name, type, unsigned(first_block),
                      unsigned(block_count));

    if (hook(disk, &part, hook_data) != 0)
      return kelb_errno;

    /* The first block, not the map's entry count, ends the walk. */
    if (first_block == kLastEntryFirstBlock)
      return KELB_ERR_NONE;

    position += kEntrySize;
    counter++;
  }
}

struct lookup {
  int32_t wanted;
  kelb_partition *found;
};

int apple_lookup_hook(kelb_disk *, const kelb_partition *partition,
                      void *data) {
  lookup *state = static_cast<lookup *>(data);
  if (partition->index != state->wanted)
    return 0;
  state->found = static_cast<kelb_partition *>(kelb_malloc(sizeof *partition));
  if (state->found)
    kelb_memmove(state->found, partition, sizeof *partition);
  return 1;
}

kelb_partition *apple_find_partition(kelb_disk *disk, const char *name) {
  /* kelb_errno is not cleared first: an error left from earlier work also
   * refuses the name. */
  const unsigned long number = kelb_strtoul(name, nullptr, 10);
  if (kelb_errno != KELB_ERR_NONE) {
    kelb_error(KELB_ERR_BAD_PARTITION, "invalid partition");
    return nullptr;
  }
  /* A number beyond 32 bits names no partition; wrapping it would turn
   * "4294967297" into partition 1. */
  if (number > 0xFFFFFFFFul)
    return nullptr;
  lookup state = {int32_t(uint32_t(number) - 1u), nullptr};
  if (apple_for_each_partition(disk, apple_lookup_hook, &state) !=
      KELB_ERR_NONE) {
    kelb_free(state.found);
    return nullptr;
  }
  return state.found;
}

char *apple_partition_name(const kelb_partition *partition) {
  char *name = static_cast<char *>(kelb_malloc(kNameSize));
  if (!name)
    return nullptr;
  kelb_sprintf(name, "%d", int32_t(uint32_t(partition->index) + 1u));
  return name;
}

}  // namespace

KELB_EXTERN_C KELB_EXPORT void kelb_mod_init(kelb_module_t) {
  kelb_partition_map_register(&apple_partition_map);
}

KELB_EXTERN_C KELB_EXPORT void kelb_mod_fini(void) {
  kelb_partition_map_unregister(&apple_partition_map);
}

KELB_EXTERN_C KELB_EXPORT void kelb_apple_partition_map_init(void) {
  kelb_mod_init(nullptr);
}

KELB_EXTERN_C KELB_EXPORT void kelb_apple_partition_map_fini(void) {
  kelb_mod_fini();
}

namespace {

kelb_partition_map apple_partition_map = {
    "apple_partition_map", apple_for_each_partition, apple_find_partition,
    apple_partition_name, nullptr};

}  // namespace
