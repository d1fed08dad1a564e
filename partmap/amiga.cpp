// SPDX-License-Identifier: MIT
/* The amiga module: Amiga rigid disk blocks.
 *
 * A rigid disk block, marked "RDSK", lies in one of the disk's first 15
 * sectors and links to a chain of partition blocks, one sector each, every
 * block naming the next. Each partition block places its partition by low
 * and high cylinder, in cylinders of surfaces times blocks per track. Every
 * number is a 32-bit big-endian value. */

#include "partmap/partmap_common.h"

KELB_MOD_NAME("amiga");

KELB_PARTMAP_ENTRY_POINTS(amiga, amiga_partition_map)

namespace {

/* Block numbers count 512-byte sectors from the start of the whole disk. */

/* The rigid disk block lies in one of sectors 0 to 14. */
constexpr uint64_t kRdbLastSector = 14;
constexpr size_t kRdbReadSize = 36;
constexpr char kRdbIdentifier[] = "RDSK";
constexpr size_t kRdbPartitionListOffset = 28;

/* The partition block: only its first 176 bytes are read. */
constexpr size_t kPartReadSize = 176;
constexpr size_t kPartNextOffset = 16;
constexpr size_t kPartSurfacesOffset = 140;
constexpr size_t kPartBlocksPerTrackOffset = 148;
constexpr size_t kPartLowCylinderOffset = 164;
constexpr size_t kPartHighCylinderOffset = 168;

/* All ones ends a list. */
constexpr int32_t kEndOfList = -1;

/* The walk remembers every partition block it has read, so that a chain that
 * leads back to one of them, or grows past this many blocks, ends with an
 * error instead of running forever. Real rigid disk blocks chain a few dozen
 * partition blocks at most. */
constexpr unsigned kMaxChainBlocks = 128;

/* A link is a signed 32-bit block number: all ones ends the chain, and any
 * other value widens with its sign to the sector that is read next. */
int32_t read_link(const uint8_t *p) { return int32_t(read_be32(p)); }

uint64_t link_sector(int32_t link) { return uint64_t(int64_t(link)); }

/* Finds the rigid disk block and sets `link` to the first partition block's.
 * A failed read's error, or "not found" when no block in sectors 0 to 14 is
 * one or its list is empty. */
kelb_err_t first_link(kelb_disk *whole, int32_t *link) {
  /* One byte more than is read, so the identifier test always meets a NUL. */
  uint8_t rdb[kRdbReadSize + 1];
  rdb[kRdbReadSize] = 0;
  for (uint64_t sector = 0; sector <= kRdbLastSector; sector++) {
    if (kelb_disk_read(whole, sector, 0, kRdbReadSize, rdb) != KELB_ERR_NONE) return kelb_errno;
    /* Compared as a string: byte 4, the top byte of the block size, must be
     * 0 as it is in every real rigid disk block. */
    if (kelb_strcmp(reinterpret_cast<const char *>(rdb), kRdbIdentifier) == 0) {
      *link = read_link(rdb + kRdbPartitionListOffset);
      break;
    }
  }
  if (*link == kEndOfList)
    return kelb_error(KELB_ERR_BAD_PART_TABLE, "Amiga partition map not found.");
  return KELB_ERR_NONE;
}

/* The error of a chain that reaches `link` after the `count` blocks `seen`:
 * one of them again, or one block too many; none otherwise. */
kelb_err_t chain_error(const int32_t *seen, unsigned count, int32_t link) {
  for (unsigned i = 0; i < count; i++)
    if (seen[i] == link)
      return kelb_error(KELB_ERR_BAD_PART_TABLE,
                        "Amiga partition map: the partition block chain "
                        "loops back to block %u.",
                        unsigned(uint32_t(link)));
  if (count == kMaxChainBlocks)
    return kelb_error(KELB_ERR_BAD_PART_TABLE,
                      "Amiga partition map: the partition block chain is "
                      "longer than %u blocks.",
                      kMaxChainBlocks);
  return KELB_ERR_NONE;
}

kelb_err_t amiga_for_each_partition(kelb_disk *disk, kelb_partition_hook_t hook, void *hook_data) {
  kelb_disk whole = partmap_whole_disk(disk);
  int32_t link = kEndOfList;
  if (first_link(&whole, &link) != KELB_ERR_NONE) return kelb_errno;

  int32_t seen[kMaxChainBlocks];
  uint8_t block[kPartReadSize];
  for (unsigned count = 0;; count++) {
    if (chain_error(seen, count, link) != KELB_ERR_NONE) return kelb_errno;
    seen[count] = link;
    if (kelb_disk_read(&whole, link_sector(link), 0, kPartReadSize, block) != KELB_ERR_NONE)
      return kelb_errno;

    /* Products in 32-bit arithmetic, as the geometry fields are. */
    const uint32_t surfaces = read_be32(block + kPartSurfacesOffset);
    const uint32_t per_track = read_be32(block + kPartBlocksPerTrackOffset);
    const uint32_t low = read_be32(block + kPartLowCylinderOffset);
    const uint32_t high = read_be32(block + kPartHighCylinderOffset);

    kelb_partition part;
    partmap_fill_partition(&part, &amiga_partition_map, uint32_t(low * surfaces * per_track),
                           uint32_t((high - low + 1u) * surfaces * per_track),
                           uint64_t(int64_t(link) * KELB_SECTOR_SIZE), int32_t(count));
    if (hook(disk, &part, hook_data) != 0) return kelb_errno;

    link = read_link(block + kPartNextOffset);
    if (link == kEndOfList) return KELB_ERR_NONE;
  }
}

kelb_partition_map amiga_partition_map = {"amiga_partition_map", amiga_for_each_partition,
                                          partmap_find_through_walk<amiga_for_each_partition>,
                                          partmap_number_name, nullptr};

}  // namespace
