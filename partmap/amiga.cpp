/* The amiga module: the Amiga rigid disk block and its chain of partition
 * blocks. Built freestanding; it calls only the loader's kelb_ services. */
#include "kelb.h"

KELB_MOD_NAME("amiga");

namespace {

/* Every number on disk is a 32-bit big-endian value; block numbers count
 * 512-byte sectors from the start of the whole disk. */

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

constexpr size_t kNameSize = 13;

extern kelb_partition_map amiga_partition_map;

uint32_t read_be32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) |
         (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

/* A link is a signed 32-bit block number: all ones ends the chain, and any
 * other value widens with its sign to the sector that is read next. */
int32_t read_link(const uint8_t *p) { return int32_t(read_be32(p)); }

uint64_t link_sector(int32_t link) { return uint64_t(int64_t(link)); }

kelb_err_t amiga_for_each_partition(kelb_disk *disk, kelb_partition_hook_t hook,
                                    void *hook_data) {
  kelb_disk whole = *disk;
  whole.partition = nullptr;

  int32_t link = kEndOfList;
  /* One byte more than is read, so the identifier test always meets a NUL. */
  uint8_t rdb[kRdbReadSize + 1];
  rdb[kRdbReadSize] = 0;
  for (uint64_t sector = 0; sector <= kRdbLastSector; sector++) {
    if (kelb_disk_read(&whole, sector, 0, kRdbReadSize, rdb) != KELB_ERR_NONE)
      return kelb_errno;
    /* Compared as a string: byte 4, the top byte of the block size, must be
     * 0 as it is in every real rigid disk block. */
    if (kelb_strcmp(reinterpret_cast<const char *>(rdb), kRdbIdentifier) == 0) {
      link = read_link(rdb + kRdbPartitionListOffset);
      break;
    }
  }
  if (link == kEndOfList)
    return kelb_error(KELB_ERR_BAD_PART_TABLE, "Amiga partition map not found.");

  int32_t seen[kMaxChainBlocks];
  unsigned count = 0;
  uint8_t block[kPartReadSize];
  for (;;) {
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
    seen[count] = link;

    if (kelb_disk_read(&whole, link_sector(link), 0, kPartReadSize, block) !=
        KELB_ERR_NONE)
      return kelb_errno;

    /* Products in 32-bit arithmetic, as the geometry fields are. */
    const uint32_t surfaces = read_be32(block + kPartSurfacesOffset);
    const uint32_t per_track = read_be32(block + kPartBlocksPerTrackOffset);
    const uint32_t low = read_be32(block + kPartLowCylinderOffset);
    const uint32_t high = read_be32(block + kPartHighCylinderOffset);

    kelb_partition part;
    part.start = uint32_t(low * surfaces * per_track);
    part.length = uint32_t((high - low + 1u) * surfaces * per_track);
    part.offset = uint64_t(int64_t(link) * KELB_SECTOR_SIZE);
    part.index = int32_t(count);
    part.data = nullptr;
    part.map = &amiga_partition_map;
    if (hook(disk, &part, hook_data) != 0)
      return kelb_errno;

    link = read_link(block + kPartNextOffset);
    count++;
    if (link == kEndOfList)
      return KELB_ERR_NONE;
  }
}

struct lookup {
  int32_t wanted;
  kelb_partition *found;
};

int amiga_lookup_hook(kelb_disk *, const kelb_partition *partition,
                      void *data) {
  lookup *state = static_cast<lookup *>(data);
  if (partition->index != state->wanted)
    return 0;
  state->found = static_cast<kelb_partition *>(kelb_malloc(sizeof *partition));
  if (state->found)
    kelb_memmove(state->found, partition, sizeof *partition);
  return 1;
}

kelb_partition *amiga_find_partition(kelb_disk *disk, const char *name) {
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
  if (amiga_for_each_partition(disk, amiga_lookup_hook, &state) !=
      KELB_ERR_NONE) {
    kelb_free(state.found);
    return nullptr;
  }
  return state.found;
}

char *amiga_partition_name(const kelb_partition *partition) {
  char *name = static_cast<char *>(kelb_malloc(kNameSize));
  if (!name)
    return nullptr;
  kelb_sprintf(name, "%d", int32_t(uint32_t(partition->index) + 1u));
  return name;
}

}  // namespace

KELB_EXTERN_C KELB_EXPORT void kelb_mod_init(kelb_module_t) {
  kelb_partition_map_register(&amiga_partition_map);
}

KELB_EXTERN_C KELB_EXPORT void kelb_mod_fini(void) {
  kelb_partition_map_unregister(&amiga_partition_map);
}

KELB_EXTERN_C KELB_EXPORT void kelb_amiga_partition_map_init(void) {
  kelb_mod_init(nullptr);
}

KELB_EXTERN_C KELB_EXPORT void kelb_amiga_partition_map_fini(void) {
  kelb_mod_fini();
}

namespace {

kelb_partition_map amiga_partition_map = {
    "amiga_partition_map", amiga_for_each_partition, amiga_find_partition,
    amiga_partition_name, nullptr};

}  // namespace
