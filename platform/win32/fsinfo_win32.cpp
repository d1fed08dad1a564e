// SPDX-License-Identifier: MIT
#include "platform/fsinfo.h"

#include <string>

#include "platform/win32/win32_internal.h"

namespace {

// A handle on the file or directory that path leads to, following links;
// FILE_FLAG_BACKUP_SEMANTICS lets a directory be opened too. Asks for no
// access, so files that others hold open can still be asked about.
class CIdentityHandle {
 public:
  explicit CIdentityHandle(LPCTSTR path)
      : m_handle(path == nullptr
                     ? INVALID_HANDLE_VALUE
                     : CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)) {
    if (path == nullptr) SetLastError(ERROR_INVALID_PARAMETER);
  }
  ~CIdentityHandle() {
    if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
  }
  CIdentityHandle(const CIdentityHandle&) = delete;
  CIdentityHandle& operator=(const CIdentityHandle&) = delete;

  bool IsValid() const { return m_handle != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return m_handle; }

 private:
  HANDLE m_handle;
};

bool InfoOf(LPCTSTR path, BY_HANDLE_FILE_INFORMATION* info) {
  CIdentityHandle handle(path);
  return handle.IsValid() && GetFileInformationByHandle(handle.Get(), info);
}

bool SameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// The length of the root of a full path: "C:\" or "\\server\share\".
std::size_t RootLength(const std::string& path) {
  if (path.size() >= 3 && path[1] == ':' && path[2] == '\\') return 3;
  if (path.rfind("\\\\", 0) == 0) {
    const std::size_t server = path.find('\\', 2);
    if (server == std::string::npos) return path.size();
    const std::size_t share = path.find('\\', server + 1);
    return share == std::string::npos ? path.size() : share + 1;
  }
  return 0;
}

}  // namespace

BOOL AfxResolveRealPath(LPCTSTR path, CString& realPath) {
  CIdentityHandle handle(path);
  std::string text;
  if (!handle.IsValid() || !win32::FinalPathOf(handle.Get(), text)) return FALSE;
  realPath = CString(text);
  return TRUE;
}

namespace {

// TRUE when the folder of identity target holds the existing file or lies
// above it.
BOOL IsAtOrAbove(const BY_HANDLE_FILE_INFORMATION& target, LPCTSTR file) {
  CString real;
  if (!AfxResolveRealPath(file, real)) return FALSE;
  // Walk up from the file's real location, comparing identities rather than
  // spellings: a second name for the same folder is caught too.
  std::string path = real.str();
  const std::size_t root = RootLength(path);
  while (path.size() > root) {
    std::size_t cut = path.find_last_of('\\');
    if (cut == std::string::npos || cut + 1 < root) break;
    path.erase(cut + 1 <= root ? root : cut);
    BY_HANDLE_FILE_INFORMATION level;
    if (InfoOf(path.c_str(), &level) && SameIdentity(level, target)) return TRUE;
  }
  SetLastError(ERROR_SUCCESS);
  return FALSE;
}

bool InfoOfFolder(const CFolder& folder, BY_HANDLE_FILE_INFORMATION* info) {
  if (!folder.IsOpen()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return GetFileInformationByHandle(reinterpret_cast<HANDLE>(folder.GetNativeHandle()), info);
}

}  // namespace

BOOL AfxIsSameFolder(const CFolder& folder, LPCTSTR path) {
  BY_HANDLE_FILE_INFORMATION held, other;
  if (!InfoOfFolder(folder, &held) || !InfoOf(path, &other)) return FALSE;
  return SameIdentity(held, other) ? TRUE : FALSE;
}

BOOL AfxIsFolderAtOrAbove(const CFolder& folder, LPCTSTR file) {
  BY_HANDLE_FILE_INFORMATION held;
  if (!InfoOfFolder(folder, &held)) return FALSE;
  return IsAtOrAbove(held, file);
}

BOOL AfxCanMakeIn(LPCTSTR path, CString& place) {
  if (path == nullptr || path[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string at(path);
  while (GetFileAttributesA(at.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) return TRUE;
    while (!at.empty() && (at.back() == '\\' || at.back() == '/')) at.pop_back();
    const std::size_t cut = at.find_last_of("\\/:");
    if (cut == std::string::npos) return TRUE;  // relative: the current folder
    at.resize(cut + 1);
  }
  char volume[MAX_PATH + 1];
  DWORD flags = 0;
  if (!GetVolumePathNameA(at.c_str(), volume, sizeof volume) ||
      !GetVolumeInformationA(volume, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
    return TRUE;  // unknown: the writes themselves will tell
  if ((flags & FILE_READ_ONLY_VOLUME) == 0) return TRUE;
  place = at.c_str();
  SetLastError(ERROR_WRITE_PROTECT);
  return FALSE;
}
