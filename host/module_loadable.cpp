// SPDX-License-Identifier: MIT
// The checked bytes of a module handed to dlopen: a sealed in-memory copy,
// else a private copy in a fresh folder, else the file itself when only its
// owner may write it.

#include "host/module_bytes.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/statvfs.h>

#ifndef MFD_EXEC  // Linux 6.3; older C libraries lack the name
#define MFD_EXEC 0x0010U
#endif

namespace kelb_host {

namespace {

// A name for the object at `file` (a descriptor's /proc/self/fd/N, or a
// path), unique in this process: the dynamic loader knows objects by the
// name they were opened with and hands back one still mapped (a module that
// cannot be unloaded) for a name reused. The serial number is spelt in
// "./" and "/" steps that the system reads as nothing.
std::string unique_name(const std::string &folder, const std::string &file) {
  static unsigned long serial = 0;
  std::string name = folder + "/";
  for (unsigned long s = ++serial; s; s >>= 1) name += s & 1 ? "./" : "/";
  return name + file;
}

// A path under which dlopen finds the object of descriptor `fd` through
// /proc, or "" when /proc does not show it (not mounted, as in a chroot).
std::string proc_name(int fd) {
  const std::string name = unique_name("/proc/self/fd", std::to_string(fd));
  struct stat via, held;
  if (stat(name.c_str(), &via) != 0 || fstat(fd, &held) != 0 || via.st_dev != held.st_dev ||
      via.st_ino != held.st_ino)
    return std::string();
  return name;
}

// Writes `bytes` to `fd` whole. A file-size limit makes the write fail
// rather than end the process: a program that only reads must not die
// writing its copy. The reason in `error` on failure.
bool write_copy(int fd, const std::string &bytes, std::string &error) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      bytes.size() > limit.rlim_cur) {
    error = "the file-size limit (" + std::to_string(limit.rlim_cur) + " bytes) is below its size";
    return false;
  }
  struct sigaction ignore = {}, old;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &old);
  size_t done = 0;
  int err = 0;
  while (done < bytes.size() && err == 0) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n == 0 || errno != EINTR)
      err = n < 0 ? errno : EIO;
  }
  sigaction(SIGXFSZ, &old, nullptr);
  if (err != 0) error = strerror(err);
  return err == 0;
}

// A sealed in-memory file holding the bytes, its name `label` (what
// /proc/self/maps shows): no one can change, grow or shrink it.
bool in_memory(const module_file &src, const std::string &label, loadable &out,
               std::string &error) {
  // Where memfd files are made non-executable unless asked, the copy must
  // say it is code; kernels that predate the flag refuse it.
  out.fd = memfd_create(label.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING | MFD_EXEC);
  if (out.fd < 0 && errno == EINVAL)
    out.fd = memfd_create(label.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (out.fd < 0) return error = strerror(errno), false;
  if (!write_copy(out.fd, src.bytes, error)) return false;
  if (fcntl(out.fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
    return error = std::string("cannot seal it: ") + strerror(errno), false;
  out.name = proc_name(out.fd);
  if (out.name.empty()) return error = "/proc does not show it", false;
  out.way = "through a sealed in-memory copy";
  return true;
}

// A copy in a folder of its own that only this user can write, in the
// first temporary folder that takes one and lets programs run from it.
bool private_copy(const module_file &src, const std::string &label, loadable &out,
                  std::string &error) {
  const char *env = getenv("TMPDIR");
  for (const std::string base : {env && *env ? env : "/tmp", "/var/tmp", "/dev/shm"}) {
    struct statvfs fs;
    if (statvfs(base.c_str(), &fs) != 0 || (fs.f_flag & ST_NOEXEC)) continue;
    std::string folder = base + "/kelb-probe-XXXXXX";
    if (!mkdtemp(folder.data())) continue;
    out.folder = folder;
    const int fd = open((folder + "/" + label).c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0500);
    if (fd < 0) return error = folder + ": " + strerror(errno), false;
    out.file = label;
    const bool written = write_copy(fd, src.bytes, error);
    if (close(fd) != 0 && written) error = strerror(errno);
    if (!written || !error.empty()) return error = folder + ": " + error, false;
    out.name = unique_name(folder, label);
    out.way = "through a private copy in " + base;
    return true;
  }
  return error = "no temporary folder takes one", false;
}

// The module file itself, through the descriptor its bytes were read from,
// when none but its owner, who is this user or the administrator, can
// write it: no one else can change it between the check and the load.
bool file_itself(const module_file &src, loadable &out, std::string &error) {
  if ((src.owner != 0 && src.owner != geteuid()) || (src.mode & (S_IWGRP | S_IWOTH)))
    return error = "others may write it", false;
  out.name = proc_name(src.fd);
  if (out.name.empty()) return error = "/proc does not show it", false;
  out.way = "from the file itself (only its owner may write it)";
  return true;
}

}  // namespace

// Readies the checked bytes of `src` for dlopen, the first way that works;
// null with every way's reason in `error`.
std::unique_ptr<loadable> make_loadable(const module_file &src, const std::string &path,
                                        std::string &error) {
  const std::string label = path.substr(path.find_last_of('/') + 1).substr(0, 200);
  std::string memory, folder, itself;
  auto out = std::make_unique<loadable>();
  if (in_memory(src, label, *out, memory)) return out;
  out = std::make_unique<loadable>();
  if (private_copy(src, label, *out, folder)) return out;
  out = std::make_unique<loadable>();
  if (file_itself(src, *out, itself)) return out;
  error = "no way to load the bytes checked (in-memory copy: " + memory +
          "; private copy: " + folder + "; the file itself: " + itself + ")";
  return nullptr;
}

}  // namespace kelb_host
