// SPDX-License-Identifier: MIT
// lumvane-floor: the least work any carver must do, with no search.
//
//   lumvane-floor [--copy rw|sendfile] MANIFEST INPUT OUTDIR
//
// Reads INPUT once from start to end in 512 KiB reads, then copies every
// range listed in MANIFEST (lines "START END", '#' lines ignored) into
// OUTDIR/NN.png, numbered from 00 in manifest order. OUTDIR is created if
// missing. The copy goes through a 1 MiB buffer (rw, the default) or through
// sendfile. Both buffers start on a page boundary, as the fastest reads
// need, so that this is a true floor. Exit status 0 on success, 1 on any
// failure.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "lumvane-floor: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

void WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t k = ::write(fd, p, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) Die("write failed");
    p += k;
    n -= size_t(k);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool useSendfile = false;
  int a = 1;
  if (a + 1 < argc && std::strcmp(argv[a], "--copy") == 0) {
    useSendfile = std::strcmp(argv[a + 1], "sendfile") == 0;
    a += 2;
  }
  if (argc - a != 3) {
    std::fprintf(stderr, "usage: lumvane-floor [--copy rw|sendfile] MANIFEST INPUT OUTDIR\n");
    return 1;
  }
  const char* manifest = argv[a];
  const char* input = argv[a + 1];
  const std::string outdir = argv[a + 2];

  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  FILE* m = std::fopen(manifest, "r");
  if (!m) Die(std::string("cannot open ") + manifest);
  char line[256];
  while (std::fgets(line, sizeof line, m)) {
    uint64_t s, e;
    if (line[0] == '#') continue;
    if (std::sscanf(line, "%" SCNu64 " %" SCNu64, &s, &e) != 2 || e < s) Die("bad manifest line");
    ranges.emplace_back(s, e);
  }
  std::fclose(m);

  int in = ::open(input, O_RDONLY);
  if (in < 0) Die(std::string("cannot open ") + input);
  const size_t page = size_t(::sysconf(_SC_PAGESIZE));
  const size_t copySize = size_t(1) << 20, readSize = size_t(512) << 10;
  void* copyMemory = nullptr;
  void* readMemory = nullptr;
  if (::posix_memalign(&copyMemory, page, copySize) != 0 ||
      ::posix_memalign(&readMemory, page, readSize) != 0)
    Die("out of memory");
  char* const copyBuf = static_cast<char*>(copyMemory);
  char* const readBuf = static_cast<char*>(readMemory);

  // One pass of 512 KiB reads, as the locator makes.
  for (;;) {
    ssize_t k = ::read(in, readBuf, readSize);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) Die("read failed");
    if (k == 0) break;
  }

  if (::mkdir(outdir.c_str(), 0755) != 0 && errno != EEXIST) Die("cannot create " + outdir);
  char name[32];
  for (size_t i = 0; i < ranges.size(); ++i) {
    std::snprintf(name, sizeof name, "/%02zu.png", i);
    const std::string path = outdir + name;
    int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) Die("cannot create " + path);
    uint64_t at = ranges[i].first, left = ranges[i].second - ranges[i].first;
    while (left > 0) {
      const uint64_t cap = useSendfile ? (uint64_t(1) << 30) : copySize;
      size_t want = size_t(left < cap ? left : cap);
      ssize_t k;
      if (useSendfile) {
        off_t off = off_t(at);
        k = ::sendfile(out, in, &off, want);
      } else {
        k = ::pread(in, copyBuf, want, off_t(at));
        if (k > 0) WriteAll(out, copyBuf, size_t(k));
      }
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) Die("copy failed for " + path);
      at += uint64_t(k);
      left -= uint64_t(k);
    }
    if (::close(out) != 0) Die("cannot close " + path);
  }
  ::close(in);
  std::free(copyMemory);
  std::free(readMemory);
  return 0;
}
