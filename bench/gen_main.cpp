// SPDX-License-Identifier: MIT
// lumvane-benchgen: writes one benchmark input and its manifest.
//
//   lumvane-benchgen --seed N --size BYTES --images N --image-bytes BYTES
//                    [--spread RATIO] [--junk mixed|random] OUTPUT MANIFEST
//
// --junk random fills the space between the images with uniformly random
// bytes instead of the default mix. The manifest holds a header line
// "# lumvane-bench v1 seed=... size=... images=... image-bytes=...
// spread=..." (with " junk=random" after it for random junk) and then one line "START END" per
// image, in file order (END one past the image's last byte). Both files are
// written under temporary names and renamed when complete, after the input
// has been read back and checked, so an interrupted run leaves no manifest.
#include "bench/workload.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "lumvane-benchgen: %s\n", what.c_str());
  std::exit(1);
}

uint64_t Number(const char* s) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s, &end, 10);
  if (errno || end == s || *end) Die(std::string("not a number: ") + s);
  return v;
}

void WriteAll(int fd, const uint8_t* p, size_t n, const std::string& path) {
  while (n > 0) {
    ssize_t k = ::write(fd, p, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) Die("cannot write " + path + ": " + std::strerror(errno));
    p += k;
    n -= size_t(k);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchgen::Params p;
  std::string out, manifest;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Die("missing value after " + a);
      return argv[++i];
    };
    if (a == "--seed")
      p.seed = Number(value());
    else if (a == "--size")
      p.totalBytes = Number(value());
    else if (a == "--images")
      p.images = uint32_t(Number(value()));
    else if (a == "--image-bytes")
      p.imageBytes = Number(value());
    else if (a == "--spread")
      p.sizeSpread = double(Number(value()));
    else if (a == "--junk") {
      const std::string kind = value();
      if (kind != "mixed" && kind != "random") Die("--junk takes mixed or random, not " + kind);
      p.randomJunk = kind == "random";
    } else if (out.empty())
      out = a;
    else if (manifest.empty())
      manifest = a;
    else
      Die("unexpected argument " + a);
  }
  if (out.empty() || manifest.empty())
    Die("usage: lumvane-benchgen --seed N --size BYTES --images N --image-bytes BYTES "
        "[--spread RATIO] [--junk mixed|random] OUTPUT MANIFEST");

  const std::string outTmp = out + ".part", manTmp = manifest + ".part";
  int fd = ::open(outTmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) Die("cannot create " + outTmp + ": " + std::strerror(errno));
  // Batch the generator's small writes into large ones.
  std::string pending;
  pending.reserve(8 << 20);
  auto sink = [&](const uint8_t* d, size_t n) {
    if (pending.size() + n > pending.capacity()) {
      WriteAll(fd, reinterpret_cast<const uint8_t*>(pending.data()), pending.size(), outTmp);
      pending.clear();
    }
    if (n >= pending.capacity())
      WriteAll(fd, d, n, outTmp);
    else
      pending.append(reinterpret_cast<const char*>(d), n);
  };
  std::vector<benchgen::Range> ranges = benchgen::Generate(p, sink);
  WriteAll(fd, reinterpret_cast<const uint8_t*>(pending.data()), pending.size(), outTmp);
  if (::close(fd) != 0) Die("cannot write " + outTmp + ": " + std::strerror(errno));

  // Read the input back and check it against the ranges.
  fd = ::open(outTmp.c_str(), O_RDONLY);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) Die("cannot reopen " + outTmp);
  size_t size = size_t(st.st_size);
  void* map = size ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
  if (map == MAP_FAILED) Die("cannot map " + outTmp + ": " + std::strerror(errno));
  std::string fault = benchgen::Verify(static_cast<const uint8_t*>(map), size, ranges);
  if (map) ::munmap(map, size);
  ::close(fd);
  if (!fault.empty()) Die("generated input fails its own check: " + fault);

  FILE* m = std::fopen(manTmp.c_str(), "w");
  if (!m) Die("cannot create " + manTmp);
  std::fprintf(m,
               "# lumvane-bench v1 seed=%llu size=%llu images=%u image-bytes=%llu spread=%.0f%s\n",
               (unsigned long long)p.seed, (unsigned long long)p.totalBytes, p.images,
               (unsigned long long)p.imageBytes, p.sizeSpread, p.randomJunk ? " junk=random" : "");
  for (const auto& r : ranges)
    std::fprintf(m, "%llu %llu\n", (unsigned long long)r.start, (unsigned long long)r.end);
  if (std::fclose(m) != 0) Die("cannot write " + manTmp);
  if (std::rename(outTmp.c_str(), out.c_str()) != 0 ||
      std::rename(manTmp.c_str(), manifest.c_str()) != 0)
    Die("cannot rename the finished files into place");
  uint64_t imageBytes = 0;
  for (const auto& r : ranges) imageBytes += r.end - r.start;
  std::printf("%s: %zu bytes, %zu images, %llu image bytes\n", out.c_str(), size, ranges.size(),
              (unsigned long long)imageBytes);
  return 0;
}
