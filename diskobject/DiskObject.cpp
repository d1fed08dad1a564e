// SPDX-License-Identifier: MIT
#include "diskobject/DiskObject.h"

#include "platform/path_traits.h"

namespace {

const char kSeparator = PathTraits::kPreferredSeparator;

// Spells every separator of path the preferred way.
void UsePreferredSeparators(CString& path) {
  if (PathTraits::kAlternateSeparator != PathTraits::kPreferredSeparator)
    path.Replace(PathTraits::kAlternateSeparator, PathTraits::kPreferredSeparator);
}

bool StartsWithParentStep(const CString& dir) {
  return dir.GetLength() > 2 && dir.GetAt(0) == '.' && dir.GetAt(1) == '.' &&
         dir.GetAt(2) == kSeparator;
}

// Splits a qualified directory path into the root its tree is built from
// and the levels below it: the root is the drive, or "\\server" for a UNC
// path, of which the share is the first level (empty on POSIX); the last
// level is the name part, empty after qualifying, so that the last level
// tried is the whole path with its trailing separator.
void SplitLevels(const CString& path, CString& root, CStringArray& levels) {
  CString drive, dir, name;
  AfxSplitPath(path, &drive, &dir, &name, nullptr);
  root = drive;
  if (PathTraits::kHasUnc && drive.IsEmpty() && dir.GetLength() > 2 && dir.GetAt(0) == kSeparator &&
      dir.GetAt(1) == kSeparator) {
    // The server is never entered or made.
    dir = dir.Mid(2);
    const int end = dir.Find(kSeparator);
    root = CString(kSeparator, 2) + (end < 0 ? dir : dir.Left(end));
    dir = end < 0 ? CString() : dir.Mid(end + 1);
  }
  dir.TrimLeft(CString(kSeparator));
  for (int start = 0;;) {
    const int end = dir.Find(kSeparator, start);
    if (end < 0) {
      if (start < dir.GetLength()) levels.Add(dir.Mid(start));
      break;
    }
    levels.Add(dir.Mid(start, end - start));
    start = end + 1;
  }
  levels.Add(name);
}

}  // namespace

CDiskObject::CDiskObject(CWnd* statusWnd) : m_pStatusWnd(statusWnd) {}

void CDiskObject::ShowStatus(const CString& text) {
  if (m_pStatusWnd != nullptr) m_pStatusWnd->SetWindowTextA(text);
}

void CDiskObject::ResetErrorText() { m_errorText.Empty(); }

void CDiskObject::ReportInternalError() {
  m_errorText = "CDiskObject internal error";
  ShowStatus(m_errorText);
}

void CDiskObject::ReportSystemError(DWORD code, const CString& path) {
  char* message = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&message),
      0, nullptr);
  if (length != 0 && message != nullptr) {
    m_errorText = CString(message, static_cast<int>(length));
  } else {
    m_errorText.Format("System error %lu", static_cast<unsigned long>(code));
  }
  m_errorText.Trim();
  if (!path.IsEmpty()) {
    m_errorText += ' ';
    m_errorText += path;
  }
  ShowStatus(m_errorText);
  if (message != nullptr) LocalFree(message);
}

void CDiskObject::NormalizeDirectoryPath(CString& path) {
  UsePreferredSeparators(path);
  if (!path.IsEmpty() && path.GetAt(path.GetLength() - 1) != kSeparator) path += kSeparator;
  // A UNC name is complete as it stands; the current directory has no say.
  if (PathTraits::IsUnc(path)) return;
  ResolveRelativePath(path);
}

void CDiskObject::ResolveRelativePath(CString& path) {
  UsePreferredSeparators(path);
  CString drive, dir, name, ext;
  AfxSplitPath(path, &drive, &dir, &name, &ext);
  if (!drive.IsEmpty()) return;

  const CString entryDir = AfxGetCurrentDirectory();
  if (entryDir.IsEmpty()) return;

  if (StartsWithParentStep(dir)) {
    // Let the system walk up, so that surplus steps stop at the root. The
    // way back is held by handle: the entry path may not lead back (too long
    // for one path, a folder above it no longer searchable).
    CSavedCurrentDirectory saved;
    if (!saved.IsSaved()) {
      ReportSystemError(GetLastError(), entryDir);
      m_bQualifyFailed = TRUE;
      return;
    }
    while (StartsWithParentStep(dir)) {
      SetCurrentDirectoryA("..");
      dir = dir.Mid(3);
    }
    const CString reached = AfxGetCurrentDirectory();
    const DWORD readError = GetLastError();
    if (!GoBack(saved, entryDir)) return;
    if (reached.IsEmpty()) {
      // Left relative, the steps would later be taken from the root.
      ReportSystemError(readError, entryDir);
      m_bQualifyFailed = TRUE;
      return;
    }
    path = reached + kSeparator + dir + name + ext;
  } else if (!dir.IsEmpty() && dir.GetAt(0) == kSeparator) {
    CString entryDrive;
    AfxSplitPath(entryDir, &entryDrive, nullptr, nullptr, nullptr);
    path = entryDrive + path;
  } else {
    path = entryDir + kSeparator + path;
  }
}

BOOL CDiskObject::Qualify(CString& path) {
  m_bQualifyFailed = FALSE;
  NormalizeDirectoryPath(path);
  return m_bQualifyFailed ? FALSE : TRUE;
}

BOOL CDiskObject::GoBack(CSavedCurrentDirectory& saved, const CString& path) {
  if (saved.Restore()) return TRUE;
  ReportSystemError(GetLastError(), path);
  m_bQualifyFailed = TRUE;
  m_bLostCurrentDirectory = TRUE;
  m_lostText = m_errorText;
  return FALSE;
}

BOOL CDiskObject::RefuseWhenLost() {
  if (!m_bLostCurrentDirectory) return FALSE;
  m_errorText = m_lostText;
  ShowStatus(m_errorText);
  return TRUE;
}

BOOL CDiskObject::HasLostCurrentDirectory() const { return m_bLostCurrentDirectory; }

BOOL CDiskObject::MakeDirectoryTree(const CString& directory) {
  ResetErrorText();
  if (RefuseWhenLost()) return FALSE;
  CString path(directory);
  if (path.IsEmpty()) {
    ReportInternalError();
    return FALSE;
  }
  if (!Qualify(path)) return FALSE;

  // Without the current directory's path a relative path could not have
  // been qualified; without its handle the process could not come back
  // from the levels it enters.
  const CString savedDir = AfxGetCurrentDirectory();
  if (savedDir.IsEmpty()) {
    ReportSystemError(GetLastError(), path);
    return FALSE;
  }
  CSavedCurrentDirectory saved;
  if (!saved.IsSaved()) {
    ReportSystemError(GetLastError(), savedDir);
    return FALSE;
  }
  CString root;
  CStringArray levels;
  SplitLevels(path, root, levels);
  const BOOL result = EnterOrCreateLevels(root, levels);
  // Going on from another folder would make every relative path name
  // something else: a failed return fails the operation whatever the levels
  // did.
  if (!GoBack(saved, savedDir)) return FALSE;
  return result;
}

BOOL CDiskObject::EnterOrCreateLevels(const CString& root, CStringArray& levels) {
  CString level = root;
  for (INT_PTR i = 0; i < levels.GetSize(); ++i) {
    level += kSeparator;
    level += levels[i];
    ShowStatus(level);
    if (SetCurrentDirectoryA(level)) continue;
    if (CreateDirectoryA(level, nullptr)) continue;
    ReportSystemError(GetLastError(), level);
    return FALSE;
  }
  return TRUE;
}

BOOL CDiskObject::DeleteDirectoryFiles(const CFolder& folder) {
  ResetErrorText();
  if (RefuseWhenLost()) return FALSE;
  CString prefix = folder.GetPath();
  if (prefix.IsEmpty() || prefix.GetAt(prefix.GetLength() - 1) != kSeparator) prefix += kSeparator;

  CStringArray names;
  if (!folder.ListFiles(names)) {
    ReportSystemError(GetLastError(), prefix + "*.*");
    return FALSE;
  }
  for (INT_PTR i = 0; i < names.GetSize(); ++i) ShowStatus(CFolder::DisplayName(names[i]));
  for (INT_PTR i = 0; i < names.GetSize(); ++i) {
    ShowStatus(CFolder::DisplayName(names[i]));
    if (!folder.DeleteFile(names[i])) {
      ReportSystemError(GetLastError(), prefix + CFolder::DisplayName(names[i]));
      return FALSE;
    }
  }
  return TRUE;
}
