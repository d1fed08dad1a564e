// SPDX-License-Identifier: MIT
// Fuzz target: path qualification (CDiskObject::NormalizeDirectoryPath and
// ResolveRelativePath) on any string, run in a scratch current directory
// three levels down a scratch tree, so that parent steps have somewhere to go.
//
// Checked on every input: the current directory afterwards is the one
// before; a normalized path is absolute and ends with the separator; a
// resolved path is absolute; and when the string, taken relative to the
// current directory, names an existing directory, the qualified path names
// that same directory (parent steps, separators, a leading separator and the
// trailing one added all keep the place the string names).
//
// Input: byte 0 picks the operation (bit 0: ResolveRelativePath alone) and
// the depth of the current directory in the tree (bits 1-2: 0 to 3); the
// rest is the path text, up to its first NUL.
#include "diskobject/DiskObject.h"
#include "fuzz/fuzz_input.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_home;  // the current directory the process started in
std::string g_root;  // the scratch tree: ROOT/a/b/c, ROOT/a/x, ROOT/a/b/y.z, ROOT/f
const char* const kDepth[] = {"", "/a", "/a/b", "/a/b/c"};

std::string Cwd() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string("(unreadable)");
}

bool IsDirectory(const char* p) {
  struct stat st;
  return stat(p, &st) == 0 && S_ISDIR(st.st_mode);
}

bool SameDirectory(const char* a, const char* b) {
  struct stat sa, sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && S_ISDIR(sa.st_mode) && S_ISDIR(sb.st_mode) &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void RemoveTree() {
  if (g_root.empty()) return;
  for (const char* p : {"/a/b/c", "/a/b/y.z", "/a/x", "/a/b", "/a"}) rmdir((g_root + p).c_str());
  unlink((g_root + "/f").c_str());
  rmdir(g_root.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Where the tests make their folders (tests/support/temp_dir.h).
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  std::string tmpl = (ec ? std::string("/tmp") : base.string()) + "/lumvane-paths-XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    std::exit(2);
  }
  g_home = Cwd();
  // The physical name, as getcwd reports it.
  char real[PATH_MAX];
  g_root = realpath(tmpl.c_str(), real) ? real : tmpl;
  for (const char* p : {"/a", "/a/b", "/a/b/c", "/a/x", "/a/b/y.z"})
    if (mkdir((g_root + p).c_str(), 0755) != 0) {
      std::perror("mkdir");
      std::exit(2);
    }
  if (FILE* f = std::fopen((g_root + "/f").c_str(), "w")) std::fclose(f);
  std::atexit(RemoveTree);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t how = in.Byte();
  const bool resolveOnly = how & 1;
  const std::string start = g_root + kDepth[(how >> 1) & 3];
  const std::string text = in.Text(in.Left()).c_str();  // up to the first NUL

  FUZZ_CHECK(chdir(start.c_str()) == 0, "cannot enter %s", start.c_str());
  const std::string before = Cwd();

  CString path(text.c_str());
  CDiskObject disk;
  if (resolveOnly)
    disk.ResolveRelativePath(path);
  else
    disk.NormalizeDirectoryPath(path);
  const std::string result = path.GetString();

  const std::string after = Cwd();
  FUZZ_CHECK(after == before, "current directory moved from %s to %s for '%s'", before.c_str(),
             after.c_str(), text.c_str());
  FUZZ_CHECK(!result.empty() && result[0] == '/', "'%s' gave '%s', not absolute", text.c_str(),
             result.c_str());
  if (!resolveOnly)
    FUZZ_CHECK(result.back() == '/', "'%s' normalized to '%s', without the trailing separator",
               text.c_str(), result.c_str());
  FUZZ_CHECK(disk.m_errorText.IsEmpty(), "qualifying '%s' set an error text", text.c_str());

  // The place named stays the place named (relative names from `before`).
  if (!text.empty() && IsDirectory(text.c_str()))
    FUZZ_CHECK(SameDirectory(text.c_str(), result.c_str()),
               "'%s' names a directory, but its qualified form '%s' does not name it", text.c_str(),
               result.c_str());
  if (text.empty() && !resolveOnly)
    FUZZ_CHECK(SameDirectory(".", result.c_str()), "the empty path gave '%s', not %s",
               result.c_str(), before.c_str());
  // Back home: libFuzzer writes its corpus and artifacts relative to it.
  FUZZ_CHECK(chdir(g_home.c_str()) == 0, "cannot return to %s", g_home.c_str());
  return 0;
}
