// SPDX-License-Identifier: MIT
/* The sun module: Sun disk labels.
 *
 * One 512-byte label in sector 0 describes up to eight partitions, each
 * placed by start cylinder and sized in sectors. Every multi-byte field is
 * big-endian. The label is accepted when its magic is 0xDABE and the XOR of
 * its 256 16-bit words is 0. */

#include "partmap/partmap_common.h"

KELB_MOD_NAME("sun");

KELB_PARTMAP_ENTRY_POINTS(sun, sun_partition_map)

namespace {

constexpr size_t kLabelSize = 512;
constexpr unsigned kEntries = 8;

constexpr size_t kTypeIdOffset = 143; /* + 4*i: second byte of the type record */
constexpr size_t kTypeRecordSize = 4;
constexpr size_t kTracksPerCylOffset = 436;
constexpr size_t kSectorsPerTrackOffset = 438;
constexpr size_t kPlacementOffset = 444; /* + 8*i: start cylinder, then sector count */
constexpr size_t kPlacementSize = 8;
constexpr size_t kMagicOffset = 508;

constexpr uint16_t kMagic = 0xDABE;
constexpr uint8_t kTypeUnused = 0;
constexpr uint8_t kTypeWholeDisk = 5;

/* The XOR of every 16-bit word, checksum word included, is 0 in a sound label. */
bool checksum_ok(const uint8_t *label) {
  uint16_t sum = 0;
  for (size_t i = 0; i < kLabelSize; i += 2) sum ^= read_be16(label + i);
  return sum == 0;
}

kelb_err_t sun_for_each_partition(kelb_disk *disk, kelb_partition_hook_t hook, void *hook_data) {
  /* Sector numbers count from the start of the whole disk. */
  kelb_disk whole = partmap_whole_disk(disk);

  /* One record per walk, reused for every entry; a hook that keeps an entry
   * copies it. */
  kelb_partition *record = static_cast<kelb_partition *>(kelb_malloc(sizeof(kelb_partition)));
  if (!record) return kelb_errno;

  uint8_t label[kLabelSize];
  if (kelb_disk_read(&whole, 0, 0, kLabelSize, label) != KELB_ERR_NONE) {
    kelb_free(record);
    return kelb_errno;
  }
  if (read_be16(label + kMagicOffset) != kMagic) {
    kelb_error(KELB_ERR_BAD_PART_TABLE, "not a sun partition table");
    kelb_free(record);
    return kelb_errno;
  }
  if (!checksum_ok(label)) {
    kelb_error(KELB_ERR_BAD_PART_TABLE, "invalid checksum");
    kelb_free(record);
    return kelb_errno;
  }

  const uint64_t tracks_per_cyl = read_be16(label + kTracksPerCylOffset);
  const uint64_t sectors_per_track = read_be16(label + kSectorsPerTrackOffset);
  for (unsigned i = 0; i < kEntries; i++) {
    const uint8_t type = label[kTypeIdOffset + kTypeRecordSize * i];
    if (type == kTypeUnused || type == kTypeWholeDisk) continue;
    const uint8_t *placement = label + kPlacementOffset + kPlacementSize * i;
    /* Widened before the first product: at most 0xFFFFFFFF * 0xFFFF * 0xFFFF,
     * which fits in 64 bits. */
    const uint64_t start =
        static_cast<uint64_t>(read_be32(placement)) * tracks_per_cyl * sectors_per_track;
    partmap_fill_partition(record, &sun_partition_map, start, read_be32(placement + 4), 0,
                           static_cast<int32_t>(i));
    if (record->length == 0) continue;
    if (hook(disk, record, hook_data)) break;
  }

  kelb_free(record);
  return kelb_errno;
}

/* Unlike the other schemes, an error left from earlier work does not refuse
 * the name: kelb_errno is cleared before the number is read. */
kelb_partition *sun_find_partition(kelb_disk *disk, const char *name_text) {
  kelb_errno = KELB_ERR_NONE;
  return partmap_find_by_walk(disk, name_text, sun_for_each_partition);
}

kelb_partition_map sun_partition_map = {"sun_partition_map", sun_for_each_partition,
                                        sun_find_partition, partmap_number_name, nullptr};

}  // namespace
