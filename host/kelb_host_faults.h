// SPDX-License-Identifier: MIT
// The stand-in loader's failure knobs and counters, for the tests and the fuzz
// targets: a failing sector, a failing allocation, and the counts of reads,
// allocations and blocks not yet freed, so that every failure path of a
// module can be reached and every block it takes checked back. They exist
// only in the tests' copy of the host (kelb_host_faults, which defines
// KELB_HOST_FAULTS); the installed kelb-probe carries none of them.
#ifndef KELB_HOST_FAULTS_H
#define KELB_HOST_FAULTS_H

#include "host/kelb_host.h"

#ifndef KELB_HOST_FAULTS
#error "the failure knobs are in the tests' host only: link kelb_host_faults"
#endif

#include <cstdint>

namespace kelb_host {

// ---- Disks ----------------------------------------------------------------

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

}  // namespace kelb_host

#endif  // KELB_HOST_FAULTS_H
