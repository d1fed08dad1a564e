// SPDX-License-Identifier: MIT
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/posix/posix_internal.h"

namespace {

struct Search {
  DIR* dir = nullptr;
  std::string namePattern;
};

// '*' and '?' matching, iterative with one backtrack point, so that no
// pattern can make it take exponential time.
bool GlobMatch(const char* pattern, std::size_t patternLength, const char* name) {
  std::size_t p = 0, n = 0;
  std::size_t starP = std::string::npos, starN = 0;
  const std::size_t nameLength = std::strlen(name);
  while (n < nameLength) {
    if (p < patternLength && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < patternLength && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (starP != std::string::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < patternLength && pattern[p] == '*') ++p;
  return p == patternLength;
}

// The Win32 rules on top of plain globbing: a trailing ".*" may also match
// nothing (so "*.*" matches a name without a dot) and a trailing "." matches a
// name that has no dot.
bool WildcardMatch(const std::string& pattern, const char* name) {
  if (GlobMatch(pattern.data(), pattern.size(), name)) return true;
  const std::size_t length = pattern.size();
  if (length >= 2 && pattern[length - 2] == '.' && pattern[length - 1] == '*')
    return GlobMatch(pattern.data(), length - 2, name);
  if (length >= 1 && pattern[length - 1] == '.' && std::strchr(name, '.') == nullptr)
    return GlobMatch(pattern.data(), length - 1, name);
  return false;
}

void Describe(DIR* dir, const dirent* entry, WIN32_FIND_DATAA* data) {
  const char* name = entry->d_name;
  std::memset(data, 0, sizeof *data);
  const std::size_t nameLength = std::min(std::strlen(name), sizeof data->cFileName - 1);
  std::memcpy(data->cFileName, name, nameLength);
  struct stat own;
  struct stat target;
  const int fd = dirfd(dir);
  const bool haveOwn = fstatat(fd, name, &own, AT_SYMLINK_NOFOLLOW) == 0;
  // A link to a directory counts as a directory; a dangling link as a file.
  const bool haveTarget = fstatat(fd, name, &target, 0) == 0;
  const struct stat* info = haveTarget ? &target : (haveOwn ? &own : nullptr);
  DWORD attributes = 0;
  if (info != nullptr) {
    if (S_ISDIR(info->st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if ((info->st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    const std::uint64_t size = static_cast<std::uint64_t>(info->st_size);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
  }
  if (haveOwn && S_ISLNK(own.st_mode)) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  if (!haveOwn) {
    // In a folder that may be read but not entered no entry can be asked
    // about; the entry's own type still tells folders (".", ".." among
    // them) from files, so that no folder is taken for a file to delete.
    if (entry->d_type == DT_DIR) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (entry->d_type == DT_LNK) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  }
  if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
  data->dwFileAttributes = attributes;
}

// The next entry of the search that matches, described into data.
BOOL NextMatch(Search* search, WIN32_FIND_DATAA* data) {
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(search->dir);
    if (entry == nullptr) return FailWith(errno != 0 ? errno : ERROR_NO_MORE_FILES);
    if (WildcardMatch(search->namePattern, entry->d_name)) {
      Describe(search->dir, entry, data);
      return TRUE;
    }
  }
}

}  // namespace

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) {
  if (pattern == nullptr || data == nullptr) {
    FailWith(EINVAL);
    return INVALID_HANDLE_VALUE;
  }
  const std::string whole(pattern);
  const std::size_t slash = whole.rfind('/');
  std::string directory = ".";
  std::string namePattern = whole;
  if (slash != std::string::npos) {
    directory = whole.substr(0, slash + 1);
    namePattern = whole.substr(slash + 1);
  }
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) {
    FailWithErrno();
    return INVALID_HANDLE_VALUE;
  }
  Search* search = new Search{dir, namePattern};
  if (!NextMatch(search, data)) {
    // Nothing matched: the directory search cannot start.
    const DWORD code = GetLastError();
    closedir(dir);
    delete search;
    FailWith(code == ERROR_NO_MORE_FILES ? ENOENT : static_cast<int>(code));
    return INVALID_HANDLE_VALUE;
  }
  return search;
}

BOOL FindNextFileA(HANDLE handle, WIN32_FIND_DATAA* data) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || data == nullptr)
    return FailWith(EINVAL);
  return NextMatch(static_cast<Search*>(handle), data);
}

BOOL FindClose(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return FailWith(EINVAL);
  Search* search = static_cast<Search*>(handle);
  closedir(search->dir);
  delete search;
  return TRUE;
}
