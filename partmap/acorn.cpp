// SPDX-License-Identifier: MIT
/* The acorn module: Linux partition maps on Acorn ADFS discs.
 *
 * The ADFS boot block in sector 6, accepted when its partition type is Linux
 * (9) and its checksum byte matches, gives the disc's geometry and the
 * cylinder where the Linux map starts. The map holds up to 42 entries of 12
 * bytes, each marked by one of two magics and placing its partition in
 * sectors from the map's start; the first unmarked entry ends it. Every
 * multi-byte field is little-endian. */

#include "partmap/partmap_common.h"

KELB_MOD_NAME("acorn");

KELB_PARTMAP_ENTRY_POINTS(acorn, acorn_partition_map)

namespace {

/* The ADFS boot block. */
constexpr uint64_t kBootBlockSector = 6;
constexpr size_t kBootBlockSize = 512;
constexpr size_t kSectorsPerTrackOffset = 449;
constexpr size_t kHeadsOffset = 450;
constexpr size_t kLowSectorOffset = 456;
constexpr uint8_t kLowSectorExtraHead = 0x40;
constexpr size_t kFlagsOffset = 508;
constexpr uint8_t kPartitionTypeMask = 0x0F;
constexpr uint8_t kPartitionTypeLinux = 9;
constexpr size_t kStartCylinderOffset = 509;
constexpr size_t kChecksumOffset = 511;

/* The Linux partition map: 42 entries of 12 bytes from byte 0 of its sector. */
constexpr unsigned kMapEntries = 42;
constexpr size_t kMapEntrySize = 12;
constexpr size_t kMapSize = kMapEntries * kMapEntrySize;
constexpr size_t kEntryMagicOffset = 0;
constexpr size_t kEntryStartOffset = 4;
constexpr size_t kEntrySizeOffset = 8;
constexpr uint32_t kEntryMagicA = 0xDEAFA1DE;
constexpr uint32_t kEntryMagicB = 0xDEAFAB1E;

/* Each byte before the checksum byte is added with the carry of the previous
 * addition folded back in; the carry of the last addition is dropped. */
bool checksum_ok(const uint8_t *boot) {
  uint32_t sum = 0;
  for (size_t i = 0; i < kChecksumOffset; i++) sum = (sum & 0xFF) + (sum >> 8) + boot[i];
  return (sum & 0xFF) == boot[kChecksumOffset];
}

kelb_err_t not_found() {
  return kelb_error(KELB_ERR_BAD_PART_TABLE, "Linux/ADFS partition map not found.");
}

/* Reads the boot block and the map it points to into `map`, and sets
 * `map_sector`. */
kelb_err_t locate_map(kelb_disk *whole, uint8_t (&map)[kMapSize], uint64_t *map_sector) {
  uint8_t boot[kBootBlockSize];
  kelb_err_t err = kelb_disk_read(whole, kBootBlockSector, 0, kBootBlockSize, boot);
  if (err != KELB_ERR_NONE) return err;
  if ((boot[kFlagsOffset] & kPartitionTypeMask) != kPartitionTypeLinux) return not_found();
  if (!checksum_ok(boot)) return not_found();

  const uint32_t per_track = boot[kSectorsPerTrackOffset];
  uint32_t heads = boot[kHeadsOffset];
  if (boot[kLowSectorOffset] & kLowSectorExtraHead) heads++;
  /* At most 65535 x 255 x 256, which fits in 32 bits. */
  const uint32_t cylinder = read_le16(boot + kStartCylinderOffset);
  *map_sector = uint64_t(cylinder * per_track * heads);

  return kelb_disk_read(whole, *map_sector, 0, kMapSize, map);
}

bool entry_in_use(const uint8_t *entry) {
  const uint32_t magic = read_le32(entry + kEntryMagicOffset);
  return magic == kEntryMagicA || magic == kEntryMagicB;
}

void fill_partition(kelb_partition *part, const uint8_t *entry, uint64_t map_sector,
                    unsigned index) {
  partmap_fill_partition(part, &acorn_partition_map,
                         map_sector + read_le32(entry + kEntryStartOffset),
                         read_le32(entry + kEntrySizeOffset), kBootBlockSector, int32_t(index));
}

kelb_err_t acorn_for_each_partition(kelb_disk *disk, kelb_partition_hook_t hook, void *hook_data) {
  kelb_disk whole = partmap_whole_disk(disk);

  uint8_t map[kMapSize];
  uint64_t map_sector = 0;
  kelb_err_t err = locate_map(&whole, map, &map_sector);
  if (err != KELB_ERR_NONE) return err;

  for (unsigned i = 0; i < kMapEntries; i++) {
    const uint8_t *entry = map + i * kMapEntrySize;
    /* The first entry not in use ends the map. */
    if (!entry_in_use(entry)) return KELB_ERR_NONE;
    kelb_partition part;
    fill_partition(&part, entry, map_sector, i);
    if (hook(disk, &part, hook_data) != 0) return kelb_errno;
  }
  return KELB_ERR_NONE;
}

kelb_partition *acorn_find_partition(kelb_disk *disk, const char *name) {
  kelb_disk whole = partmap_whole_disk(disk);

  /* The range alone judges the number; kelb_errno is not consulted. A number
   * beyond 32 bits is out of range too, rather than wrapping "4294967297"
   * round to partition 1. */
  const unsigned long number = kelb_strtoul(name, nullptr, 10);
  const uint32_t wanted = uint32_t(number) - 1u;
  if (number > 0xFFFFFFFFul || wanted >= kMapEntries) {
    kelb_error(KELB_ERR_BAD_PARTITION, "invalid partition");
    return nullptr;
  }

  uint8_t map[kMapSize];
  uint64_t map_sector = 0;
  if (locate_map(&whole, map, &map_sector) != KELB_ERR_NONE) return nullptr;

  /* The entry is looked at directly, so one after an unused entry is found
   * although the walk stops before it. */
  const uint8_t *entry = map + wanted * kMapEntrySize;
  if (!entry_in_use(entry)) {
    kelb_error(KELB_ERR_BAD_PARTITION, "invalid partition");
    return nullptr;
  }
  kelb_partition *part = static_cast<kelb_partition *>(kelb_malloc(sizeof(kelb_partition)));
  if (!part) return nullptr;
  fill_partition(part, entry, map_sector, wanted);
  return part;
}

/* The only record name that is a phrase rather than an identifier. */
kelb_partition_map acorn_partition_map = {"Linux/ADFS partition map", acorn_for_each_partition,
                                          acorn_find_partition, partmap_number_name, nullptr};

}  // namespace
