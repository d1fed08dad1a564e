// SPDX-License-Identifier: MIT
// The scanning core's byte search, inside png_scan.cpp: the one loop that
// looks at every byte of the input. It tests up to two patterns at once, each
// by its first byte together with one more byte at a fixed distance, many
// positions per step; the core then checks each candidate exactly.
//
// There are three implementations with the same results: 16 bytes at a time
// with SSE2 (every x86-64 build), 32 at a time with AVX2 (x86-64 builds, used
// where the processor has it), and a portable one that tests a machine word
// at a time (every other build: 32-bit, big-endian, other processors). The
// best one is chosen here and nowhere else (BestScanKernel in png_scan.h).
#pragma once

#include <cstddef>

enum class ScanKernel;  // png_scan.h

namespace png_scan_kernels {

// Up to two patterns, by two bytes each: position i is a candidate for
// pattern k when buf[i] == first[k] and buf[i + distance[k]] == second[k]. A
// search for one pattern fills both slots with it.
struct CandidateTest {
  unsigned char first[2];
  unsigned char second[2];
  size_t distance[2];  // 0 to 15
};

// The first candidate in [i, end), or end when there is none. The bytes
// buf[i] .. buf[end - 1 + the larger distance] must be readable; nothing
// else is read.
using FindFn = size_t (*)(const unsigned char* buf, size_t i, size_t end, const CandidateTest& t);

// The find function of kernel; null when this build or processor lacks it.
FindFn KernelFind(ScanKernel kernel);

}  // namespace png_scan_kernels
