/* The sun module: Sun disk labels.
 *
 * One 512-byte label in sector 0 describes up to eight partitions, each
 * placed by start cylinder and sized in sectors. Every multi-byte field is
 * big-endian. The label is accepted when its magic is 0xDABE and the XOR of
 * its 256 16-bit words is 0. */

#include "kelb.h"

KELB_MOD_NAME("sun");

namespace {

constexpr size_t kLabelSize = 512;
constexpr unsigned kEntries = 8;

constexpr size_t kTypeIdOffset = 143;       /* + 4*i: second byte of the type record */
constexpr size_t kTypeRecordSize = 4;
constexpr size_t kTracksPerCylOffset = 436;
constexpr size_t kSectorsPerTrackOffset = 438;
constexpr size_t kPlacementOffset = 444;    /* + 8*i: start cylinder, then sector count */
constexpr size_t kPlacementSize = 8;
constexpr size_t kMagicOffset = 508;

constexpr uint16_t kMagic = 0xDABE;
constexpr uint8_t kTypeUnused = 0;
constexpr uint8_t kTypeWholeDisk = 5;

constexpr size_t kNameSize = 13; /* any 32-bit decimal and its terminating zero */

uint16_t be16(const uint8_t *p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t be32(const uint8_t *p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

/* The XOR of every 16-bit word, checksum word included, is 0 in a sound label. */
bool checksum_ok(const uint8_t *label) {
  uint16_t sum = 0;
  for (size_t i = 0; i < kLabelSize; i += 2)
    sum ^= be16(label + i);
  return sum == 0;
}

kelb_err_t sun_for_each_partition(kelb_disk *disk, kelb_partition_hook_t hook,
                                  void *hook_data);
kelb_partition *sun_find_partition(kelb_disk *disk, const char *name_text);
char *sun_partition_name(const kelb_partition *partition);

kelb_partition_map sun_partition_map = {
    "sun_partition_map", sun_for_each_partition, sun_find_partition,
    sun_partition_name, nullptr};

kelb_err_t sun_for_each_partition(kelb_disk *disk, kelb_partition_hook_t hook,
                                  void *hook_data) {
  /* Sector numbers count from the start of the whole disk. */
  kelb_disk whole = *disk;
  whole.partition = nullptr;

  /* One record per walk, reused for every entry; a hook that keeps an entry
   * copies it. */
  kelb_partition *record =
      static_cast<kelb_partition *>(kelb_malloc(sizeof(kelb_partition)));
  if (!record)
    return kelb_errno;
  record->offset = 0;
  record->data = nullptr;
  record->map = &sun_partition_map;

  uint8_t label[kLabelSize];
  if (kelb_disk_read(&whole, 0, 0, kLabelSize, label) != KELB_ERR_NONE) {
    kelb_free(record);
    return kelb_errno;
  }
  if (be16(label + kMagicOffset) != kMagic) {
    kelb_error(KELB_ERR_BAD_PART_TABLE, "not a sun partition table");
    kelb_free(record);
    return kelb_errno;
  }
  if (!checksum_ok(label)) {
    kelb_error(KELB_ERR_BAD_PART_TABLE, "invalid checksum");
    kelb_free(record);
    return kelb_errno;
  }

  const uint64_t tracks_per_cyl = be16(label + kTracksPerCylOffset);
  const uint64_t sectors_per_track = be16(label + kSectorsPerTrackOffset);
  for (unsigned i = 0; i < kEntries; i++) {
    const uint8_t type = label[kTypeIdOffset + kTypeRecordSize * i];
    if (type == kTypeUnused || type == kTypeWholeDisk)
      continue;
    const uint8_t *placement = label + kPlacementOffset + kPlacementSize * i;
    /* Widened before the first product: at most 0xFFFFFFFF * 0xFFFF * 0xFFFF,
     * which fits in 64 bits. */
    record->start = static_cast<uint64_t>(be32(placement)) * tracks_per_cyl *
                    sectors_per_track;
    record->length = be32(placement + 4);
    record->index = static_cast<int32_t>(i);
    if (record->length == 0)
      continue;
    if (hook(disk, record, hook_data))
      break;
  }

  kelb_free(record);
  return kelb_errno;
}

/* What a find_partition call shares with its lookup hook. */
struct lookup {
  int32_t wanted;
  kelb_partition *result;
};

int lookup_hook(kelb_disk *, const kelb_partition *partition, void *data) {
  lookup *state = static_cast<lookup *>(data);
  if (partition->index != state->wanted)
    return 0;
  state->result =
      static_cast<kelb_partition *>(kelb_malloc(sizeof(kelb_partition)));
  if (state->result)
    kelb_memmove(state->result, partition, sizeof(kelb_partition));
  return 1;
}

kelb_partition *sun_find_partition(kelb_disk *disk, const char *name_text) {
  kelb_errno = KELB_ERR_NONE;
  const unsigned long n = kelb_strtoul(name_text, nullptr, 10);
  if (kelb_errno != KELB_ERR_NONE) {
    kelb_error(KELB_ERR_BAD_PARTITION, "invalid partition");
    return nullptr;
  }
  /* A number beyond 32 bits names no partition; wrapping it would turn
   * "4294967297" into partition 1. */
  if (n > 0xFFFFFFFFul)
    return nullptr;

  lookup state = {static_cast<int32_t>(static_cast<uint32_t>(n) - 1u), nullptr};
  if (sun_for_each_partition(disk, lookup_hook, &state) != KELB_ERR_NONE) {
    kelb_free(state.result);
    return nullptr;
  }
  return state.result;
}

char *sun_partition_name(const kelb_partition *partition) {
  char *name = static_cast<char *>(kelb_malloc(kNameSize));
  if (!name)
    return nullptr;
  kelb_sprintf(name, "%d",
               static_cast<int>(static_cast<uint32_t>(partition->index) + 1u));
  return name;
}

} // namespace

KELB_EXTERN_C KELB_EXPORT void kelb_mod_init(kelb_module_t) {
  kelb_partition_map_register(&sun_partition_map);
}

KELB_EXTERN_C KELB_EXPORT void kelb_mod_fini(void) {
  kelb_partition_map_unregister(&sun_partition_map);
}

KELB_EXTERN_C KELB_EXPORT void kelb_sun_partition_map_init(void) {
  kelb_mod_init(nullptr);
}

KELB_EXTERN_C KELB_EXPORT void kelb_sun_partition_map_fini(void) {
  kelb_mod_fini();
}
