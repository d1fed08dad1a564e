// SPDX-License-Identifier: MIT
#include "fuzz/fuzz_input.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void FuzzFail(const char* what, ...) {
  va_list ap;
  va_start(ap, what);
  std::fputs("fuzz check failed: ", stderr);
  std::vfprintf(stderr, what, ap);
  std::fputc('\n', stderr);
  va_end(ap);
  std::fflush(stderr);
  std::abort();
}
