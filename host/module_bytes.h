// SPDX-License-Identifier: MIT
// A module file's bytes: read once and whole from one descriptor
// (host/module_file.cpp), and, once checked, handed to dlopen as those very
// bytes (host/module_loadable.cpp). Internal to the host.
#ifndef KELB_HOST_MODULE_BYTES_H
#define KELB_HOST_MODULE_BYTES_H

#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace kelb_host {

// A module file opened once and read whole; closed once the module is
// loaded, its identity kept.
struct module_file {
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  struct timespec changed = {};  // with dev and ino, tells a rewritten file apart
  uid_t owner = 0;
  mode_t mode = 0;
  std::string bytes;

  module_file() = default;
  module_file(const module_file &) = delete;
  module_file &operator=(const module_file &) = delete;
  ~module_file() {
    if (fd >= 0) close(fd);
  }
};

// Opens the file at `path` without waiting on a FIFO or device and reads it
// whole into `file`, refusing before the read a file that is not a regular
// file, is larger than any module (16 MiB) or does not start as an ELF
// file. False with `error` "'PATH': reason" and `err` the system's code, or 0.
bool read_module(const std::string &path, module_file &file, std::string &error, int &err);

// One way of giving dlopen the checked bytes: the name to open, what to
// undo once it is open, and the words --debug=modules uses for it.
struct loadable {
  std::string name;
  int fd = -1;
  std::string folder, file;  // a private copy's, removed once open
  std::string way;

  loadable() = default;
  loadable(const loadable &) = delete;
  loadable &operator=(const loadable &) = delete;
  ~loadable() {
    if (fd >= 0) close(fd);
    if (!file.empty()) unlink((folder + "/" + file).c_str());
    if (!folder.empty()) rmdir(folder.c_str());
  }
};

// Readies the checked bytes of `src` for dlopen, the first way that works;
// null with every way's reason in `error`.
std::unique_ptr<loadable> make_loadable(const module_file &src, const std::string &path,
                                        std::string &error);

}  // namespace kelb_host

#endif  // KELB_HOST_MODULE_BYTES_H
