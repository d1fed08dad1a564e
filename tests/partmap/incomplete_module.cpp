// SPDX-License-Identifier: MIT
/* A module whose registered record lacks one slot, chosen at build time
 * (KELB_LACKS_NAME, _EMPTY_NAME, _FOR_EACH, _FIND, _PARTITION_NAME): the
 * host must refuse it. Its operations set an error the tests look for, so a
 * host that called one before refusing the module is seen. */
#include "partmap/partmap_common.h"

KELB_MOD_NAME("incomplete");

namespace {

[[maybe_unused]] kelb_err_t incomplete_for_each(kelb_disk *, kelb_partition_hook_t, void *) {
  return kelb_error(KELB_ERR_BAD_ARGUMENT, "an operation of an incomplete map ran");
}

[[maybe_unused]] kelb_partition *incomplete_find(kelb_disk *, const char *) {
  kelb_error(KELB_ERR_BAD_ARGUMENT, "an operation of an incomplete map ran");
  return nullptr;
}

[[maybe_unused]] char *incomplete_name(const kelb_partition *) {
  kelb_error(KELB_ERR_BAD_ARGUMENT, "an operation of an incomplete map ran");
  return nullptr;
}

kelb_partition_map incomplete_map = {
#if defined(KELB_LACKS_NAME)
    nullptr,
#elif defined(KELB_LACKS_EMPTY_NAME)
    "",
#else
    "incomplete_map",
#endif
#ifdef KELB_LACKS_FOR_EACH
    nullptr,
#else
    incomplete_for_each,
#endif
#ifdef KELB_LACKS_FIND
    nullptr,
#else
    incomplete_find,
#endif
#ifdef KELB_LACKS_PARTITION_NAME
    nullptr,
#else
    incomplete_name,
#endif
    nullptr};

}  // namespace

KELB_PARTMAP_ENTRY_POINTS(incomplete, incomplete_map)
