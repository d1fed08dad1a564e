// SPDX-License-Identifier: MIT
// Fuzz target: the host's checks on a module file, run on any bytes before
// anything of the file is loaded (kelb_host::inspect_module, through
// libelf). Truncated files, the wrong ELF class, byte order or machine,
// section tables, segments, dynamic sections and the tables they name lying
// outside the file, writable code, missing or empty .modname sections,
// damaged dynamic symbols, imports the boot loader does not offer and entry
// points that are no function in an executable segment must each be refused
// with a message naming the file, and never crash.
//
// Input: the module file itself.
//
// Checked on every input: a refusal says why, after the file's name; an
// accepted file has a non-empty name without a NUL.
#include "fuzz/fuzz_input.h"
#include "host/kelb_host.h"

#include <string>

namespace {
const char kPath[] = "fuzz.mod";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string name, error;
  const std::string prefix = std::string("'") + kPath + "': ";
  if (kelb_host::inspect_module(data, size, kPath, name, error)) {
    FUZZ_CHECK(!name.empty(), "accepted with an empty name");
    FUZZ_CHECK(name.find('\0') == std::string::npos, "name holds a NUL");
    FUZZ_CHECK(error.empty(), "accepted with an error '%s'", error.c_str());
  } else {
    FUZZ_CHECK(error.compare(0, prefix.size(), prefix) == 0, "refusal '%s' does not name the file",
               error.c_str());
    FUZZ_CHECK(error.size() > prefix.size(), "refusal without a reason");
    FUZZ_CHECK(name.empty(), "refused yet named '%s'", name.c_str());
  }
  return 0;
}
