// SPDX-License-Identifier: MIT
// Writes the demo sample: junk holding a few pictures of our own.
//   make_sample OUTPUT [COUNT [SEED]]
// Prints each picture's range, "start end", one per line.
// The demo's testdata/sample.bin is: make_sample testdata/sample.bin 5 2026
#include "testdata/pngdraw.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_sample OUTPUT [COUNT [SEED]]\n");
    return 2;
  }
  const unsigned count = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 5;
  const uint32_t seed = argc > 3 ? static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)) : 2026;
  std::vector<pngdraw::Range> ranges;
  const pngdraw::Bytes blob = pngdraw::MakeJunkWithPictures(seed, count, &ranges);
  std::FILE* f = std::fopen(argv[1], "wb");
  if (f == nullptr || std::fwrite(blob.data(), 1, blob.size(), f) != blob.size() ||
      std::fclose(f) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  for (const auto& r : ranges)
    std::printf("%llu %llu\n", static_cast<unsigned long long>(r.start),
                static_cast<unsigned long long>(r.end));
  return 0;
}
