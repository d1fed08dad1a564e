// SPDX-License-Identifier: MIT
// A module file read once and whole through one descriptor, its identity
// kept, so that what is checked and loaded is what was read.

#include "host/module_bytes.h"

#include <cerrno>
#include <cstring>
#include <elf.h>
#include <fcntl.h>

namespace kelb_host {

namespace {

// Far beyond any module (ours are tens of KiB, sanitized ones some
// hundreds); a file this large is refused rather than read.
constexpr off_t kMaxModuleFile = 16 << 20;

// Reads `size` bytes from the start of `fd` into `out`. False with `err`
// set (0: the file ended early).
bool read_all(int fd, char *out, size_t size, int &err) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(fd, out + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : 0;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool read_module(const std::string &path, module_file &file, std::string &error, int &err) {
  err = 0;
  const auto refuse = [&](const std::string &why) {
    error = "'" + path + "': " + why;
    return false;
  };
  file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st;
  if (file.fd < 0 || fstat(file.fd, &st) != 0) return err = errno, refuse(strerror(err));
  if (!S_ISREG(st.st_mode)) return refuse("not a regular file");
  if (st.st_size > kMaxModuleFile)
    return refuse("too large for a module (" + std::to_string(st.st_size) +
                  " bytes; a module is at most " + std::to_string(kMaxModuleFile >> 20) + " MiB)");
  file.dev = st.st_dev;
  file.ino = st.st_ino;
  file.changed = st.st_ctim;
  file.owner = st.st_uid;
  file.mode = st.st_mode;
  char magic[SELFMAG];
  if (st.st_size < SELFMAG || !read_all(file.fd, magic, SELFMAG, err) ||
      memcmp(magic, ELFMAG, SELFMAG) != 0)
    return refuse(err ? strerror(err) : "not an ELF file");
  file.bytes.resize(static_cast<size_t>(st.st_size));
  if (!read_all(file.fd, file.bytes.data(), file.bytes.size(), err))
    return refuse(err ? strerror(err) : "file shrank while read");
  return true;
}

}  // namespace kelb_host
