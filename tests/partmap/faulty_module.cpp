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
 *   "sun_partition_map", as the sun module does; KELB_FAULT_NODELETE_TWIN
 *   the same, linked so that it cannot be unloaded, and
 *   KELB_FAULT_UNIQUE_TWIN the same with a template's static member, which
 *   GCC makes a unique symbol (STB_GNU_UNIQUE) that keeps the module
 *   loaded.
 * - KELB_FAULT_LIBC_CALL: a sound map whose kelb_mod_init calls the C
 *   library's write, which no boot loader offers.
 * - KELB_FAULT_NUMBERED: a sound module named "numbered_0000" registering
 *   "numbered_map_0000", digits a test rewrites in copies of the file to
 *   make as many distinct modules as it needs. */
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
#elif defined(KELB_FAULT_NODELETE_TWIN)
KELB_MOD_NAME("nodelete_twin");
const char kMapName[] = "sun_partition_map";
#elif defined(KELB_FAULT_UNIQUE_TWIN)
KELB_MOD_NAME("unique_twin");
const char kMapName[] = "sun_partition_map";
#elif defined(KELB_FAULT_LIBC_CALL)
KELB_MOD_NAME("libc_call");
const char kMapName[] = "libc_map";
#elif defined(KELB_FAULT_NUMBERED)
KELB_MOD_NAME("numbered_0000");
const char kMapName[] = "numbered_map_0000";
#else
#error "faulty_module.cpp: choose a KELB_FAULT_ variant"
#endif

#if defined(KELB_FAULT_UNIQUE_TWIN)
}  // namespace

template <int N>
struct __attribute__((visibility("default"))) twin_walks {
  static int count;
};
template <int N>
int twin_walks<N>::count = 0;

namespace {

kelb_err_t faulty_for_each(kelb_disk *, kelb_partition_hook_t, void *) {
  twin_walks<0>::count++;
  return KELB_ERR_NONE;
}
#elif !defined(KELB_FAULT_SILENT_FAILURE)
kelb_err_t faulty_for_each(kelb_disk *, kelb_partition_hook_t, void *) { return KELB_ERR_NONE; }
#endif

kelb_partition *faulty_find(kelb_disk *, const char *) { return nullptr; }

char *faulty_name(const kelb_partition *partition) { return partmap_number_name(partition); }

kelb_partition_map faulty_map = {kMapName, faulty_for_each, faulty_find, faulty_name, nullptr};

}  // namespace

#if defined(KELB_FAULT_LIBC_CALL)
extern "C" long write(int fd, const void *buf, unsigned long n);

KELB_EXTERN_C KELB_EXPORT void kelb_mod_init(kelb_module_t) {
  write(2, "libc_call ran\n", 14);
  kelb_partition_map_register(&faulty_map);
}
KELB_EXTERN_C KELB_EXPORT void kelb_mod_fini(void) { kelb_partition_map_unregister(&faulty_map); }
#else
KELB_PARTMAP_ENTRY_POINTS(faulty, faulty_map)
#endif

#endif
