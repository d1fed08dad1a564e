// SPDX-License-Identifier: MIT
/* The apple module: Apple partition maps.
 *
 * The map fills one 512-byte entry per sector from sector 1 on, each
 * signed 0x504D ("PM") and giving its partition's first block and block
 * count, a name and a type. The first entry without the signature ends the
 * map, as does the entry whose partition starts at block 1024. Every number
 * is big-endian. */

#include "partmap/partmap_common.h"

KELB_MOD_NAME("apple");

KELB_PARTMAP_ENTRY_POINTS(apple, apple_partition_map)

namespace {

/* Block numbers count 512-byte sectors from the start of the whole disk. */

constexpr uint64_t kFirstEntryPosition = KELB_SECTOR_SIZE; /* sector 1 */
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

kelb_err_t apple_for_each_partition(kelb_disk *disk, kelb_partition_hook_t hook, void *hook_data) {
  kelb_disk whole = partmap_whole_disk(disk);

  uint64_t position = kFirstEntryPosition;
  uint32_t counter = 0;
  uint8_t entry[kEntrySize];
  for (;;) {
    if (kelb_disk_read(&whole, position / KELB_SECTOR_SIZE, position % KELB_SECTOR_SIZE, kEntrySize,
                       entry) != KELB_ERR_NONE)
      return kelb_errno;

    const uint32_t signature = read_be16(entry + kSignatureOffset);
    if (signature != kSignature) {
      kelb_real_dprintf(kSource, __LINE__, kCondition,
                        "partition %d: bad magic (found 0x%x; wanted 0x%x\n", int(counter),
                        unsigned(signature), unsigned(kSignature));
      if (position == kFirstEntryPosition)
        return kelb_error(KELB_ERR_BAD_PART_TABLE, "Apple partition map not found.");
      return KELB_ERR_NONE;
    }

    const uint32_t first_block = read_be32(entry + kFirstBlockOffset);
    const uint32_t block_count = read_be32(entry + kBlockCountOffset);

    kelb_partition part;
    partmap_fill_partition(&part, &apple_partition_map, first_block, block_count, position,
                           int32_t(counter));

    char name[kTextFieldSize + 1];
    char type[kTextFieldSize + 1];
    copy_text_field(name, entry + kNameOffset);
    copy_text_field(type, entry + kTypeOffset);
    kelb_real_dprintf(kSource, __LINE__, kCondition,
                      "partition %d: name %s, type %s, start 0x%x, len 0x%x\n", int(counter), name,
                      type, unsigned(first_block), unsigned(block_count));

    if (hook(disk, &part, hook_data) != 0) return kelb_errno;

    /* The first block, not the map's entry count, ends the walk. */
    if (first_block == kLastEntryFirstBlock) return KELB_ERR_NONE;

    position += kEntrySize;
    counter++;
  }
}

kelb_partition_map apple_partition_map = {"apple_partition_map", apple_for_each_partition,
                                          partmap_find_through_walk<apple_for_each_partition>,
                                          partmap_number_name, nullptr};

}  // namespace
