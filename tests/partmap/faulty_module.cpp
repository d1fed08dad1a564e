// SPDX-License-Identifier: MIT
/* Modules with one fault each, chosen at build time, that the host must
 * refuse or report clearly:
 * - KELB_FAULT_DATA_ENTRIES: kelb_mod_init and kelb_mod_fini are data in
 *   .bss, not code. A constructor calls kelb_malloc, so a test sees whether
 *   anything of the file ran.
 * - KELB_FAULT_NO_MAP: its kelb_mod_init registers nothing.
 * - KELB_FAULT_SILENT_FAILURE: a map whose walk fails with
 *   KELB_ERR_READ_ERROR without a message.
 * - KELB_FAULT_SUN_TWIN: a module of its own name registering a map named
 *   "sun_partition_map", as the sun module does. */
#include "partmap/partmap_common.h"

#if defined(KELB_FAULT_DATA_ENTRIES)

KELB_MOD_NAME("data_entries");

extern "C" {
KELB_EXPORT unsigned char kelb_mod_init[16];
KELB_EXPORT unsigned char kelb_mod_fini[16];
}

namespace {
__attribute__((constructor)) void faulty_constructor() { kelb_free(kelb_malloc(1)); }
}  // namespace

#elif defined(KELB_FAULT_NO_MAP)

KELB_MOD_NAME("no_map");

KELB_EXTERN_C KELB_EXPORT void kelb_mod_init(kelb_module_t) {}
KELB_EXTERN_C KELB_EXPORT void kelb_mod_fini(void) {}

#else

namespace {

#if defined(KELB_FAULT_SILENT_FAILURE)
KELB_MOD_NAME("silent_failure");
const char kMapName[] = "silent_map";

kelb_err_t faulty_for_each(kelb_disk *, kelb_partition_hook_t, void *) {
  kelb_errno = KELB_ERR_READ_ERROR;
  return KELB_ERR_READ_ERROR;
}
#elif defined(KELB_FAULT_SUN_TWIN)
KELB_MOD_NAME("sun_twin");
const char kMapName[] = "sun_partition_map";

kelb_err_t faulty_for_each(kelb_disk *, kelb_partition_hook_t, void *) { return KELB_ERR_NONE; }
#else
#error "faulty_module.cpp: choose a KELB_FAULT_ variant"
#endif

kelb_partition *faulty_find(kelb_disk *, const char *) { return nullptr; }

char *faulty_name(const kelb_partition *partition) { return partmap_number_name(partition); }

kelb_partition_map faulty_map = {kMapName, faulty_for_each, faulty_find, faulty_name, nullptr};

}  // namespace

KELB_PARTMAP_ENTRY_POINTS(faulty, faulty_map)

#endif
