// SPDX-License-Identifier: MIT
// What the tests and the fuzz targets add to the stand-in loader: disks in
// memory and handles on a partition; the debug lines caught; a failing
// sector, a failing allocation, and the counts of reads, allocations and
// blocks not yet freed, so that every failure path of a module can be
// reached and every block it takes checked back; and the look-up of a map
// by name. They exist only in the tests' copy of the host (kelb_host_faults,
// which defines KELB_HOST_FAULTS); the installed kelb-probe carries none of
// them.
#ifndef KELB_HOST_FAULTS_H
#define KELB_HOST_FAULTS_H

#include "host/kelb_host.h"

#ifndef KELB_HOST_FAULTS
#error "the failure knobs are in the tests' host only: link kelb_host_faults"
#endif

#include <cstdint>
#include <functional>
#include <string>

namespace kelb_host {

// ---- Disks ----------------------------------------------------------------

// A disk over a copy of `size` bytes, cut down to whole sectors, read as an
// image file is (an in-memory file); `name` appears in messages. Null, with
// the reason, when the system cannot make the file.
kelb_disk *open_memory(const void *bytes, size_t size, const std::string &name = "memory disk");

// A new handle on the same device opened on `partition` (a copy is kept):
// reads count from the partition's start and may not pass its end.
kelb_disk *open_partition(kelb_disk *disk, const kelb_partition &partition);

// Makes every read that touches whole-disk `sector` fail with
// KELB_ERR_READ_ERROR, on every handle of this disk's device.
void fail_reads_at(kelb_disk *disk, uint64_t sector);
void clear_read_failures(kelb_disk *disk);

// Number of kelb_disk_read calls on this device so far.
uint64_t read_count(const kelb_disk *disk);

// ---- Memory -----------------------------------------------------------------

// Makes the n-th kelb_malloc from now fail (1: the next one); 0 turns the
// knob off. The knob fires once.
void fail_nth_malloc(unsigned long n);
// kelb_malloc calls since the last reset_counters().
unsigned long malloc_calls();
// Blocks handed out by kelb_malloc and not yet given to kelb_free.
long live_allocations();
void reset_counters();

// ---- Debug lines and maps ---------------------------------------------------

// Where enabled debug lines go ("file:line: text"), as the module wrote
// them, instead of standard error; an empty function sends them there again.
void set_debug_sink(std::function<void(const std::string &)> sink);

// The registered map called `name`, or null.
kelb_partition_map *find_map(const std::string &name);

}  // namespace kelb_host

#endif  // KELB_HOST_FAULTS_H
