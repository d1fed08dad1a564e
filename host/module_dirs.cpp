// SPDX-License-Identifier: MIT
// Where modules are found: the module files of a folder, and the folders
// searched by default, from the running program's own location.

#include "host/kelb_host.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/auxv.h>
#include <unistd.h>

namespace kelb_host {

bool module_files(const std::string &dir, std::vector<std::string> &files, std::string &error) {
  files.clear();
  DIR *d = opendir(dir.c_str());
  if (!d) {
    error = "cannot read module folder '" + dir + "': " + strerror(errno);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent *e = readdir(d);
    if (!e) break;
    const std::string n = e->d_name;
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".mod") == 0) files.push_back(dir + "/" + n);
  }
  const int err = errno;
  closedir(d);
  if (err != 0) {
    error = "cannot read module folder '" + dir + "': " + strerror(err);
    files.clear();
    return false;
  }
  std::sort(files.begin(), files.end());
  return true;
}

std::vector<std::string> default_module_dirs() {
  std::vector<std::string> dirs;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir;
  if (n > 0) {
    dir.assign(self, static_cast<size_t>(n));
  } else {
    // Without /proc (a chroot), the path the program was started by.
    const char *started = reinterpret_cast<const char *>(getauxval(AT_EXECFN));
    if (!started || !strchr(started, '/')) return dirs;
    dir = started;
  }
  dir.erase(dir.find_last_of('/'));
  // Installed: bin/kelb-probe finds lib/kelb (or the multiarch library
  // folder) through the path between the two, whatever the prefix.
  dirs.push_back(dir + "/" KELB_INSTALLED_MODULE_DIR);
  // In a build tree the program lies in host/ and the modules in partmap/
  // beside it. No build path is compiled in: an installed copy must hold
  // nothing of the machine it was built on.
  dirs.push_back(dir);
  dirs.push_back(dir + "/../partmap");
  return dirs;
}

}  // namespace kelb_host
